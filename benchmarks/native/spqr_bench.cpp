// spqr_bench: the native limit for orvex's benchmark suite.
//
// For each operation, the program makes the SPQR/CHOLMOD calls that orvex
// makes for the same Python call (same ordering 7, tolerance -2, default
// workspace settings, same integer interface), on matrices that
// benchmarks/run.py writes in the simple binary format below.  What orvex
// adds on top (input validation, NumPy/SciPy objects, the Python call) is
// exactly what the orvex/native ratio measures.
//
//   spqr_bench info
//   spqr_bench time --matrix A.bin [--dense B.bin] [--qdense C.bin]
//                   [--sparse S.bin] [--minnorm] [--batch 100] --ops a,b,...
//                   [--min-reps 5] [--min-time 0.25] [--max-reps 200]
//                   [--batch-target 0.002]
//   spqr_bench mem  (same inputs) --ops one-operation
//   spqr_bench serve (same inputs)   commands on stdin: setup OP, warm OP,
//                                    rep OP INNER, measure OP, quit
//
// Results are printed as one JSON object per line.
//
// File formats (little-endian):
//   sparse  "ORVXSP01", int64 nrow, ncol, nnz, int32 index bytes (4 or 8),
//           int32 complex (0 or 1), indptr[ncol+1], indices[nnz],
//           values[nnz] (float64, or interleaved complex128)
//   dense   "ORVXDN01", int64 nrow, ncol, int32 complex, int32 0,
//           values column-major
#include <SuiteSparseQR.hpp>

#include <dlfcn.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Complex = std::complex<double>;

[[noreturn]] void fail(const std::string &msg) {
    std::fprintf(stderr, "spqr_bench: %s\n", msg.c_str());
    std::exit(2);
}

// ---- CHOLMOD's two integer interfaces ---------------------------------------------

template <class Int> struct CH;
template <> struct CH<int32_t> {
    static constexpr int itype = CHOLMOD_INT;
    static void start(cholmod_common *c) { cholmod_start(c); }
    static void finish(cholmod_common *c) { cholmod_finish(c); }
    static void free_dense(cholmod_dense **X, cholmod_common *c) { cholmod_free_dense(X, c); }
    static void free_sparse(cholmod_sparse **A, cholmod_common *c) { cholmod_free_sparse(A, c); }
    static void *malloc(size_t n, size_t s, cholmod_common *c) { return cholmod_malloc(n, s, c); }
    static void free(size_t n, size_t s, void *p, cholmod_common *c) { cholmod_free(n, s, p, c); }
    static cholmod_sparse *transpose(cholmod_sparse *A, cholmod_common *c) { return cholmod_transpose(A, 2, c); }
};
template <> struct CH<int64_t> {
    static constexpr int itype = CHOLMOD_LONG;
    static void start(cholmod_common *c) { cholmod_l_start(c); }
    static void finish(cholmod_common *c) { cholmod_l_finish(c); }
    static void free_dense(cholmod_dense **X, cholmod_common *c) { cholmod_l_free_dense(X, c); }
    static void free_sparse(cholmod_sparse **A, cholmod_common *c) { cholmod_l_free_sparse(A, c); }
    static void *malloc(size_t n, size_t s, cholmod_common *c) { return cholmod_l_malloc(n, s, c); }
    static void free(size_t n, size_t s, void *p, cholmod_common *c) { cholmod_l_free(n, s, p, c); }
    static cholmod_sparse *transpose(cholmod_sparse *A, cholmod_common *c) { return cholmod_l_transpose(A, 2, c); }
};

template <class Entry> constexpr int xtype_of() { return std::is_same<Entry, double>::value ? CHOLMOD_REAL : CHOLMOD_COMPLEX; }

void require(bool ok, const char *what, const cholmod_common *cm) {
    if (!ok) fail(std::string(what) + " failed (status " + std::to_string(cm ? cm->status : 0) + ")");
}

// ---- files ----------------------------------------------------------------------------

struct SparseFile {
    int64_t nrow = 0, ncol = 0, nnz = 0;
    int32_t ibytes = 4, complex = 0;
    std::vector<char> p, i, x;
    cholmod_sparse header() {
        cholmod_sparse A{};
        A.nrow = size_t(nrow);
        A.ncol = size_t(ncol);
        A.nzmax = size_t(nnz);
        A.p = p.data();
        A.i = i.data();
        A.x = x.data();
        A.stype = 0;
        A.itype = ibytes == 4 ? CHOLMOD_INT : CHOLMOD_LONG;
        A.xtype = complex ? CHOLMOD_COMPLEX : CHOLMOD_REAL;
        A.dtype = CHOLMOD_DOUBLE;
        A.sorted = 1;
        A.packed = 1;
        return A;
    }
};

struct DenseFile {
    int64_t nrow = 0, ncol = 0;
    int32_t complex = 0;
    std::vector<char> x;
    cholmod_dense header(int64_t cols) {
        cholmod_dense X{};
        X.nrow = size_t(nrow);
        X.ncol = size_t(cols);
        X.nzmax = size_t(nrow * cols);
        X.d = size_t(nrow);
        X.x = x.data();
        X.xtype = complex ? CHOLMOD_COMPLEX : CHOLMOD_REAL;
        X.dtype = CHOLMOD_DOUBLE;
        return X;
    }
};

template <class T> void get(std::ifstream &in, T &v) {
    in.read(reinterpret_cast<char *>(&v), sizeof v);
    if (!in) fail("truncated file");
}
void get_bytes(std::ifstream &in, std::vector<char> &v, size_t n) {
    v.resize(std::max<size_t>(n, 16));  // never a null data pointer
    in.read(v.data(), std::streamsize(n));
    if (!in) fail("truncated file");
}
std::ifstream open_file(const std::string &path, const char *magic) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot open " + path);
    char m[8];
    in.read(m, 8);
    if (!in || std::memcmp(m, magic, 8) != 0) fail(path + ": not a " + magic + " file");
    return in;
}

SparseFile read_sparse(const std::string &path) {
    std::ifstream in = open_file(path, "ORVXSP01");
    SparseFile s;
    get(in, s.nrow), get(in, s.ncol), get(in, s.nnz), get(in, s.ibytes), get(in, s.complex);
    if (s.ibytes != 4 && s.ibytes != 8) fail(path + ": bad index size");
    get_bytes(in, s.p, size_t(s.ncol + 1) * s.ibytes);
    get_bytes(in, s.i, size_t(s.nnz) * s.ibytes);
    get_bytes(in, s.x, size_t(s.nnz) * (s.complex ? 16 : 8));
    return s;
}

DenseFile read_dense(const std::string &path) {
    std::ifstream in = open_file(path, "ORVXDN01");
    DenseFile d;
    int32_t pad;
    get(in, d.nrow), get(in, d.ncol), get(in, d.complex), get(in, pad);
    get_bytes(in, d.x, size_t(d.nrow * d.ncol) * (d.complex ? 16 : 8));
    return d;
}

// ---- measurement ----------------------------------------------------------------------

struct Options {
    int min_reps = 5;
    int max_reps = 200;
    double min_time = 0.25;      // keep repeating fast operations for this long
    double batch_target = 0.002; // time fast operations in loops of at least this long
};

struct Measured {
    double median = 0, min = 0, first = 0;
    long reps = 0, inner = 1;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One warm-up call; an operation whose warm-up took less than 0.1 s gets a
// second call, and if faster than batch_target it is timed in loops of
// `inner` calls (refined on one such loop).  Then at least min_reps
// samples, more while their total stays under min_time (at most max_reps).
// The same rules as benchmarks/timing.py.
Measured warm(const std::function<void()> &call, const Options &o) {
    Measured r;
    auto t0 = std::chrono::steady_clock::now();
    call();
    r.first = seconds_since(t0);
    if (r.first < 0.1) {
        t0 = std::chrono::steady_clock::now();
        call();
        const double per = std::max(std::min(r.first, seconds_since(t0)), 1e-9);
        if (per < o.batch_target) {
            r.inner = std::max<long>(1, std::min<long>(1000000, long(std::ceil(o.batch_target / per))));
            // Refine on one loop of that length (cold first calls mislead).
            t0 = std::chrono::steady_clock::now();
            for (long k = 0; k < r.inner; ++k) call();
            const double refined = std::max(seconds_since(t0) / double(r.inner), 1e-9);
            r.inner = std::max<long>(1, std::min<long>(1000000, long(std::ceil(o.batch_target / refined))));
        }
    }
    return r;
}

// One sample: `inner` calls; returns their total time.
double sample(const std::function<void()> &call, long inner) {
    const auto t0 = std::chrono::steady_clock::now();
    for (long k = 0; k < inner; ++k) call();
    return seconds_since(t0);
}

void summarize(std::vector<double> samples, Measured &r) {
    r.reps = long(samples.size());
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    r.median = n % 2 ? samples[n / 2] : 0.5 * (samples[n / 2 - 1] + samples[n / 2]);
    r.min = samples.front();
}

long maxrss_kb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Reset the peak-RSS mark to the current RSS (Linux >= 4.0), so that the
// next ru_maxrss reports the peak of what follows.
bool reset_peak() {
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

long status_kb(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t k = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, k, key) == 0) return std::atol(line.c_str() + k + 1);
    return -1;
}

std::string json_escape(const std::string &s) {
    std::string o;
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        o += c;
    }
    return o;
}

// Which library the process-wide lookup of a BLAS/LAPACK symbol binds to
// (what SPQR's calls bind to, preloaded libraries first).
std::string binding(const char *symbol) {
    void *p = dlsym(RTLD_DEFAULT, symbol);
    Dl_info info{};
    if (!p || !dladdr(p, &info) || !info.dli_fname) return "";
    return info.dli_fname;
}

// ---- the benchmark ---------------------------------------------------------------------

template <class Entry, class Int> using QRF = SuiteSparseQR_factorization<Entry, Int>;

double frob(const cholmod_dense *X) {
    const bool cplx = X->xtype == CHOLMOD_COMPLEX;
    const double *x = static_cast<const double *>(X->x);
    double s = 0;
    for (size_t c = 0; c < X->ncol; ++c)
        for (size_t r = 0; r < X->nrow * (cplx ? 2 : 1); ++r) {
            const double v = x[c * X->d * (cplx ? 2 : 1) + r];
            s += v * v;
        }
    return std::sqrt(s);
}

template <class Entry, class Int> class Bench {
public:
    Bench(SparseFile &a, DenseFile *b, DenseFile *c, SparseFile *s, bool minnorm, long batch)
        : minnorm_(minnorm), batch_(batch) {
        A_ = a.header();
        if (b) {
            B_ = b->header(b->ncol);
            B1_ = b->header(1);
            has_b_ = true;
        }
        if (c) {
            C_ = c->header(c->ncol);
            has_c_ = true;
        }
        if (s) {
            S_ = s->header();
            has_s_ = true;
        }
        CH<Int>::start(&cm_);
        // The factored matrix: A, or A^H for minimum-norm problems (which
        // orvex users and spqr_solve factor).
        if (minnorm_) {
            AH_ = CH<Int>::transpose(&A_, &cm_);
            require(AH_ != nullptr, "cholmod_transpose", &cm_);
            F_ = AH_;
        } else {
            F_ = &A_;
        }
    }
    ~Bench() {
        SuiteSparseQR_free<Entry, Int>(&qr_, &cm_);
        if (AH_) CH<Int>::free_sparse(&AH_, &cm_);
        CH<Int>::finish(&cm_);
    }

    // Operations that need a factorization of F in qr_.
    void need_symbolic() {
        if (!qr_) {
            qr_ = SuiteSparseQR_symbolic<Entry, Int>(7, 1, F_, &cm_);
            require(qr_ != nullptr, "SuiteSparseQR_symbolic", &cm_);
        }
    }
    void need_numeric() {
        need_symbolic();
        if (!qr_->QRnum) {
            require(SuiteSparseQR_numeric<Entry, Int>(-2, F_, qr_, &cm_) != 0, "SuiteSparseQR_numeric", &cm_);
        }
    }

    // Prepare what `op` needs, outside the timed region.
    void setup(const std::string &op) {
        if (op == "numeric") need_symbolic();
        else if (op == "solve1" || op == "solve100" || op == "solve_sparse" || op == "qmult" || op == "copy")
            need_numeric();
        if ((op == "solve1" || op == "solve100" || op == "spqr_solve") && !has_b_) fail(op + " needs --dense");
        if (op == "qmult" && !has_c_) fail("qmult needs --qdense");
        if (op == "solve_sparse" && !has_s_) fail("solve_sparse needs --sparse");
    }

    // One call of `op`, its result released.  With `want_check`, `check`
    // gets a number that the Python side reproduces with orvex (computed
    // only on the warm-up call, so never inside the timed calls).
    void run(const std::string &op, double &check, bool want_check) {
        if (op == "symbolic") {
            cholmod_common c;
            CH<Int>::start(&c);
            QRF<Entry, Int> *qr = SuiteSparseQR_symbolic<Entry, Int>(7, 1, F_, &c);
            require(qr != nullptr, "SuiteSparseQR_symbolic", &c);
            check = double(qr->QRsym->nf);
            SuiteSparseQR_free<Entry, Int>(&qr, &c);
            CH<Int>::finish(&c);
        } else if (op == "factor") {
            // spqr_factor(A): a new factorization object, analysed and factorized.
            cholmod_common c;
            CH<Int>::start(&c);
            QRF<Entry, Int> *qr = SuiteSparseQR_symbolic<Entry, Int>(7, 1, F_, &c);
            require(qr != nullptr, "SuiteSparseQR_symbolic", &c);
            require(SuiteSparseQR_numeric<Entry, Int>(-2, F_, qr, &c) != 0, "SuiteSparseQR_numeric", &c);
            check = double(qr->rank);
            SuiteSparseQR_free<Entry, Int>(&qr, &c);
            CH<Int>::finish(&c);
        } else if (op == "numeric") {
            require(SuiteSparseQR_numeric<Entry, Int>(-2, F_, qr_, &cm_) != 0, "SuiteSparseQR_numeric", &cm_);
            check = double(qr_->rank);
        } else if (op == "solve1" || op == "solve100") {
            cholmod_dense *X = solve_core(qr_, op == "solve1" ? &B1_ : &B_, minnorm_, &cm_);
            if (want_check) check = frob(X);
            CH<Int>::free_dense(&X, &cm_);
        } else if (op == "solve_sparse") {
            check = solve_sparse(want_check);
        } else if (op == "qmult") {
            cholmod_dense *Y = SuiteSparseQR_qmult<Entry, Int>(SPQR_QTX, qr_, &C_, &cm_);
            require(Y != nullptr, "SuiteSparseQR_qmult", &cm_);
            if (want_check) check = frob(Y);
            CH<Int>::free_dense(&Y, &cm_);
        } else if (op == "spqr_full" || op == "spqr_economic" || op == "spqr_householder") {
            check = explicit_qr(op);
        } else if (op == "spqr_solve") {
            check = spqr_solve(want_check);
        } else if (op == "copy") {
            cholmod_common c;
            CH<Int>::start(&c);
            QRF<Entry, Int> *qr = deep_copy(qr_, &c);
            check = double(qr->rank);
            SuiteSparseQR_free<Entry, Int>(&qr, &c);
            CH<Int>::finish(&c);
        } else {
            fail("unknown operation " + op);
        }
    }

    // Solve with a copy and with the original: the copy must be usable and
    // give the same solution.
    bool copy_selfcheck() {
        need_numeric();
        if (!has_b_) return true;
        cholmod_common c;
        CH<Int>::start(&c);
        QRF<Entry, Int> *qr = deep_copy(qr_, &c);
        cholmod_dense *X = solve_core(qr_, &B1_, minnorm_, &cm_);
        cholmod_dense *Y = solve_core(qr, &B1_, minnorm_, &c);
        const bool same = std::memcmp(X->x, Y->x, X->nrow * sizeof(Entry)) == 0;
        CH<Int>::free_dense(&X, &cm_);
        CH<Int>::free_dense(&Y, &c);
        SuiteSparseQR_free<Entry, Int>(&qr, &c);
        CH<Int>::finish(&c);
        return same;
    }

private:
    // orvex's solve: X = E (R \ (Q^H B)), or for a transposed (minimum-norm)
    // solve X = Q (R^H \ (E^T B)).
    static cholmod_dense *solve_core(QRF<Entry, Int> *qr, cholmod_dense *B, bool transpose, cholmod_common *cm) {
        cholmod_dense *X;
        if (!transpose) {
            cholmod_dense *QtB = SuiteSparseQR_qmult<Entry, Int>(SPQR_QTX, qr, B, cm);
            require(QtB != nullptr, "SuiteSparseQR_qmult", cm);
            X = SuiteSparseQR_solve<Entry, Int>(SPQR_RETX_EQUALS_B, qr, QtB, cm);
            CH<Int>::free_dense(&QtB, cm);
        } else {
            cholmod_dense *Y = SuiteSparseQR_solve<Entry, Int>(SPQR_RTX_EQUALS_ETB, qr, B, cm);
            require(Y != nullptr, "SuiteSparseQR_solve", cm);
            X = SuiteSparseQR_qmult<Entry, Int>(SPQR_QX, qr, Y, cm);
            CH<Int>::free_dense(&Y, cm);
        }
        require(X != nullptr, "solve", cm);
        return X;
    }

    // Sparse right-hand side in batches: scatter a batch into one reused
    // column-major buffer, solve, gather the nonzeros into CSC arrays.
    template <class BInt> double solve_sparse_as(bool want_check) {
        const auto *Bp = static_cast<const BInt *>(S_.p);
        const auto *Bi = static_cast<const BInt *>(S_.i);
        const auto *Bx = static_cast<const Entry *>(S_.x);
        const int64_t M = int64_t(S_.nrow), K = int64_t(S_.ncol);
        const int64_t N = minnorm_ ? int64_t(F_->nrow) : int64_t(F_->ncol);
        const int64_t width = std::min<int64_t>(K, batch_);
        std::vector<Entry> buffer(size_t(M * width));
        std::vector<Int> indptr(size_t(K + 1), 0), indices;
        std::vector<Entry> values;
        for (int64_t first = 0; first < K; first += batch_) {
            const int64_t w = std::min<int64_t>(batch_, K - first);
            std::fill(buffer.begin(), buffer.begin() + M * w, Entry(0));
            for (int64_t c = 0; c < w; ++c)
                for (int64_t k = Bp[first + c]; k < Bp[first + c + 1]; ++k) buffer[size_t(c * M + Bi[k])] += Bx[k];
            cholmod_dense B{};
            B.nrow = size_t(M);
            B.ncol = size_t(w);
            B.nzmax = size_t(M * w);
            B.d = size_t(M);
            B.x = buffer.data();
            B.xtype = xtype_of<Entry>();
            B.dtype = CHOLMOD_DOUBLE;
            cholmod_dense *X = solve_core(qr_, &B, minnorm_, &cm_);
            const auto *x = static_cast<const Entry *>(X->x);
            const size_t d = X->d;
            for (int64_t c = 0; c < w; ++c) {
                for (int64_t r = 0; r < N; ++r) {
                    const Entry v = x[size_t(c) * d + size_t(r)];
                    if (v != Entry(0)) {
                        indices.push_back(Int(r));
                        values.push_back(v);
                    }
                }
                indptr[size_t(first + c + 1)] = Int(indices.size());
            }
            CH<Int>::free_dense(&X, &cm_);
        }
        double s = 0;
        if (want_check)
            for (const Entry &v : values) s += std::norm(v);
        return std::sqrt(s);
    }
    double solve_sparse(bool want_check) {
        return S_.itype == CHOLMOD_INT ? solve_sparse_as<int32_t>(want_check) : solve_sparse_as<int64_t>(want_check);
    }

    // spqr(A, mode): its own workspace; Q, R, H, tau handed over (here:
    // released), E and HPinv kept by the caller.
    double explicit_qr(const std::string &op) {
        cholmod_common c;
        CH<Int>::start(&c);
        const bool econ_mode = op == "spqr_economic";
        const Int econ = Int(econ_mode ? A_.ncol : A_.nrow);
        cholmod_sparse *Q = nullptr, *R = nullptr, *H = nullptr;
        cholmod_dense *tau = nullptr;
        Int *E = nullptr, *HPinv = nullptr;
        Int rank;
        if (op == "spqr_householder")
            rank = SuiteSparseQR<Entry, Int>(7, -2, econ, &A_, &R, &E, &H, &HPinv, &tau, &c);
        else
            rank = SuiteSparseQR<Entry, Int>(7, -2, econ, &A_, &Q, &R, &E, &c);
        require(rank >= 0 && R != nullptr, "SuiteSparseQR", &c);
        const Int *Rp = static_cast<const Int *>(R->p);
        const double check = double(Rp[R->ncol]);  // nnz(R)
        CH<Int>::free_sparse(&Q, &c);
        CH<Int>::free_sparse(&R, &c);
        CH<Int>::free_sparse(&H, &c);
        CH<Int>::free_dense(&tau, &c);
        if (E) CH<Int>::free(A_.ncol, sizeof(Int), E, &c);
        if (HPinv) CH<Int>::free(A_.nrow, sizeof(Int), HPinv, &c);
        CH<Int>::finish(&c);
        return check;
    }

    // spqr_solve(A, b): its own workspace, the factorization with singletons,
    // the solve, then everything but X released.  For a wide A (minimum norm)
    // the factored matrix is A^H, formed inside the call as orvex does.
    double spqr_solve(bool want_check) {
        cholmod_common c;
        CH<Int>::start(&c);
        cholmod_sparse *AH = nullptr, *F = &A_;
        if (minnorm_) {
            AH = CH<Int>::transpose(&A_, &c);
            require(AH != nullptr, "cholmod_transpose", &c);
            F = AH;
        }
        QRF<Entry, Int> *qr = SuiteSparseQR_factorize<Entry, Int>(7, -2, F, &c);
        require(qr != nullptr, "SuiteSparseQR_factorize", &c);
        cholmod_dense *X = solve_core(qr, &B1_, minnorm_, &c);
        SuiteSparseQR_free<Entry, Int>(&qr, &c);
        if (AH) CH<Int>::free_sparse(&AH, &c);
        const double check = want_check ? frob(X) : 0.0;
        CH<Int>::free_dense(&X, &c);
        CH<Int>::finish(&c);
        return check;
    }

    // A deep copy of a factorization into a new workspace: SPQR has no copy
    // routine, so every block of its three records is duplicated through the
    // new workspace's allocator (the least work any deep copy must do).
    template <class T> static T *dup(const T *src, size_t n, cholmod_common *c) {
        if (!src) return nullptr;
        T *p = static_cast<T *>(CH<Int>::malloc(n ? n : 1, sizeof(T), c));
        require(p != nullptr, "cholmod_malloc", c);
        if (n) std::memcpy(p, src, n * sizeof(T));
        return p;
    }
    template <class T> static T *zeros(size_t n, cholmod_common *c) {
        T *p = static_cast<T *>(CH<Int>::malloc(n ? n : 1, sizeof(T), c));
        require(p != nullptr, "cholmod_malloc", c);
        std::memset(static_cast<void *>(p), 0, (n ? n : 1) * sizeof(T));
        return p;
    }
    static QRF<Entry, Int> *deep_copy(const QRF<Entry, Int> *s, cholmod_common *c) {
        auto *d = zeros<QRF<Entry, Int>>(1, c);
        *d = *s;
        if (s->QRsym) {
            const spqr_symbolic<Int> *a = s->QRsym;
            if (a->ntasks > 1 || a->QRgpu) fail("parallel or GPU factorizations are not copied");
            auto *b = zeros<spqr_symbolic<Int>>(1, c);
            *b = *a;
            const size_t m = size_t(a->m), n = size_t(a->n), nf = size_t(a->nf);
            b->Sp = dup(a->Sp, m + 1, c);
            b->Sj = dup(a->Sj, size_t(a->anz), c);
            b->Qfill = dup(a->Qfill, n, c);
            b->PLinv = dup(a->PLinv, m, c);
            b->Sleft = dup(a->Sleft, n + 2, c);
            b->Parent = dup(a->Parent, nf + 1, c);
            b->Child = dup(a->Child, nf + 1, c);
            b->Childp = dup(a->Childp, nf + 2, c);
            b->Super = dup(a->Super, nf + 1, c);
            b->Rp = dup(a->Rp, nf + 1, c);
            b->Rj = dup(a->Rj, size_t(a->rjsize), c);
            b->Post = dup(a->Post, nf + 1, c);
            b->Hip = dup(a->Hip, nf + 1, c);
            b->Fm = dup(a->Fm, nf + 1, c);
            b->Cm = dup(a->Cm, nf + 1, c);
            b->ColCount = dup(a->ColCount, n, c);
            d->QRsym = b;
        }
        if (s->QRnum) {
            const spqr_numeric<Entry, Int> *a = s->QRnum;
            auto *b = zeros<spqr_numeric<Entry, Int>>(1, c);
            *b = *a;
            const size_t ns = size_t(a->ns), nf = size_t(a->nf);
            auto size_of = [&](size_t k) { return size_t(a->Stack_size ? a->Stack_size[k] : a->maxstack); };
            b->Stack_size = dup(a->Stack_size, ns, c);
            if (a->Stacks) {
                b->Stacks = zeros<Entry *>(ns, c);
                for (size_t k = 0; k < ns; ++k) b->Stacks[k] = dup(a->Stacks[k], size_of(k), c);
            }
            if (a->Rblock) {
                b->Rblock = zeros<Entry *>(nf, c);
                for (size_t f = 0; f < nf; ++f) {
                    const Entry *p = a->Rblock[f];
                    if (!p) continue;
                    size_t k = 0;
                    for (; k < ns; ++k) {
                        const Entry *base = a->Stacks[k];
                        if (base && p >= base && p <= base + size_of(k)) break;
                    }
                    if (k == ns) fail("an R block outside every stack");
                    b->Rblock[f] = b->Stacks[k] + (p - a->Stacks[k]);
                }
            }
            b->Rdead = dup(a->Rdead, size_t(a->n), c);
            b->HStair = dup(a->HStair, size_t(a->rjsize), c);
            b->HTau = dup(a->HTau, size_t(a->rjsize), c);
            b->Hii = dup(a->Hii, size_t(a->hisize), c);
            b->HPinv = dup(a->HPinv, size_t(a->m), c);
            b->Hm = dup(a->Hm, nf, c);
            b->Hr = dup(a->Hr, nf, c);
            d->QRnum = b;
        }
        d->R1p = dup(s->R1p, size_t(s->n1rows) + 1, c);
        d->R1j = dup(s->R1j, size_t(s->r1nz), c);
        d->R1x = dup(s->R1x, size_t(s->r1nz), c);
        d->Q1fill = dup(s->Q1fill, size_t(s->nacols + s->bncols), c);
        d->P1inv = dup(s->P1inv, size_t(s->narows), c);
        d->HP1inv = dup(s->HP1inv, size_t(s->narows), c);
        d->Rmap = dup(s->Rmap, size_t(s->nacols), c);
        d->RmapInv = dup(s->RmapInv, size_t(s->nacols), c);
        return d;
    }

    bool minnorm_;
    long batch_;
    cholmod_common cm_;
    cholmod_sparse A_{}, *AH_ = nullptr, *F_ = nullptr, S_{};
    cholmod_dense B_{}, B1_{}, C_{};
    bool has_b_ = false, has_c_ = false, has_s_ = false;
    QRF<Entry, Int> *qr_ = nullptr;
};

// ---- command line -----------------------------------------------------------------------

struct Args {
    std::string mode, matrix, dense, qdense, sparse;
    std::vector<std::string> ops;
    bool minnorm = false;
    long batch = 100;
    Options opt;
};

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) out.push_back(item);
    return out;
}

Args parse(int argc, char **argv) {
    if (argc < 2) fail("usage: spqr_bench info | time ... | mem ...");
    Args a;
    a.mode = argv[1];
    for (int k = 2; k < argc; ++k) {
        std::string key = argv[k];
        auto value = [&]() -> std::string {
            if (k + 1 >= argc) fail("missing value for " + key);
            return argv[++k];
        };
        if (key == "--matrix") a.matrix = value();
        else if (key == "--dense") a.dense = value();
        else if (key == "--qdense") a.qdense = value();
        else if (key == "--sparse") a.sparse = value();
        else if (key == "--ops") a.ops = split(value());
        else if (key == "--minnorm") a.minnorm = true;
        else if (key == "--batch") a.batch = std::atol(value().c_str());
        else if (key == "--min-reps") a.opt.min_reps = std::atoi(value().c_str());
        else if (key == "--max-reps") a.opt.max_reps = std::atoi(value().c_str());
        else if (key == "--min-time") a.opt.min_time = std::atof(value().c_str());
        else if (key == "--batch-target") a.opt.batch_target = std::atof(value().c_str());
        else fail("unknown argument " + key);
    }
    return a;
}

void print_info(long start_maxrss) {
    int v[3];
    SuiteSparseQR_version(v);
    int c[3];
    cholmod_version(c);
    std::string config;
    if (auto *get_config = reinterpret_cast<char *(*)()>(dlsym(RTLD_DEFAULT, "openblas_get_config")))
        config = get_config();
    int threads = -1;
    if (auto *get_threads = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "openblas_get_num_threads")))
        threads = get_threads();
    std::printf("{\"spqr\": \"%d.%d.%d\", \"cholmod\": \"%d.%d.%d\", \"dgemm\": \"%s\", \"dlarfb\": \"%s\", "
                "\"openblas_config\": \"%s\", \"openblas_threads\": %d, \"start_maxrss_kb\": %ld, "
                "\"start_hwm_kb\": %ld}\n",
                v[0], v[1], v[2], c[0], c[1], c[2], json_escape(binding("dgemm_")).c_str(),
                json_escape(binding("dlarfb_")).c_str(), json_escape(config).c_str(), threads, start_maxrss,
                status_kb("VmHWM:"));
}

void print_measured(const std::string &op, const Measured &m, double check) {
    std::printf("{\"op\": \"%s\", \"median\": %.9g, \"min\": %.9g, \"first\": %.9g, \"reps\": %ld, "
                "\"inner\": %ld, \"check\": %.17g}\n",
                op.c_str(), m.median, m.min, m.first, m.reps, m.inner, check);
}

template <class Entry, class Int> struct Session {
    Bench<Entry, Int> &bench;
    const Options &opt;
    std::map<std::string, bool> ready;

    void setup(const std::string &op) {
        if (ready[op]) return;
        bench.setup(op);
        if (op == "copy" && !bench.copy_selfcheck()) fail("the deep copy does not reproduce the solution");
        ready[op] = true;
    }
    // The warm-up call also computes the check value.
    Measured warm_up(const std::string &op, double &check) {
        bool first = true;
        double ignored = 0;
        return warm([&] {
            bench.run(op, first ? check : ignored, first);
            first = false;
        }, opt);
    }
    std::function<void()> plain(const std::string &op) {
        return [this, op] {
            double ignored = 0;
            bench.run(op, ignored, false);
        };
    }
    Measured measure_op(const std::string &op, double &check) {
        Measured r = warm_up(op, check);
        std::vector<double> samples;
        double total = 0;
        auto call = plain(op);
        while (long(samples.size()) < opt.min_reps || (total < opt.min_time && long(samples.size()) < opt.max_reps)) {
            const double dt = sample(call, r.inner);
            samples.push_back(dt / double(r.inner));
            total += dt;
        }
        summarize(samples, r);
        return r;
    }
};

// serve: commands on stdin, one JSON reply per line on stdout, so that the
// harness can alternate the native and the orvex process sample by sample.
//   setup OP | warm OP | rep OP INNER | measure OP | quit
template <class Entry, class Int> void serve(Session<Entry, Int> &s) {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, op;
        long inner = 1;
        in >> cmd >> op >> inner;
        if (cmd == "quit") break;
        s.setup(op);
        double check = 0;
        if (cmd == "setup") {
            std::printf("{\"op\": \"%s\", \"ok\": true}\n", op.c_str());
        } else if (cmd == "warm") {
            Measured m = s.warm_up(op, check);
            std::printf("{\"op\": \"%s\", \"first\": %.9g, \"inner\": %ld, \"check\": %.17g}\n", op.c_str(),
                        m.first, m.inner, check);
        } else if (cmd == "rep") {
            const double dt = sample(s.plain(op), inner);
            std::printf("{\"op\": \"%s\", \"dt\": %.9g, \"inner\": %ld}\n", op.c_str(), dt, inner);
        } else if (cmd == "measure") {
            const Measured m = s.measure_op(op, check);
            print_measured(op, m, check);
        } else {
            fail("unknown command " + cmd);
        }
        std::fflush(stdout);
    }
}

template <class Entry, class Int> int run(Args &a, SparseFile &A, DenseFile *B, DenseFile *C, SparseFile *S) {
    Bench<Entry, Int> bench(A, B, C, S, a.minnorm, a.batch);
    Session<Entry, Int> session{bench, a.opt, {}};
    if (a.mode == "serve") {
        std::printf("{\"ready\": true}\n");
        std::fflush(stdout);
        serve(session);
        return 0;
    }
    for (const std::string &op : a.ops) {
        session.setup(op);
        double check = 0;
        if (a.mode == "time") {
            const Measured m = session.measure_op(op, check);
            print_measured(op, m, check);
        } else {
            const bool reset = reset_peak();
            const long before = maxrss_kb();
            bench.run(op, check, false);
            const long peak = maxrss_kb();
            std::printf("{\"op\": \"%s\", \"base_kb\": %ld, \"peak_kb\": %ld, \"reset\": %s, \"check\": %.17g}\n",
                        op.c_str(), before, peak, reset ? "true" : "false", check);
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const long start_maxrss = maxrss_kb();
    Args a = parse(argc, argv);
    if (a.mode == "info") {
        print_info(start_maxrss);
        return 0;
    }
    if (a.mode != "time" && a.mode != "mem" && a.mode != "serve") fail("unknown mode " + a.mode);
    if (a.matrix.empty()) fail("--matrix is required");
    if (a.mode == "mem" && a.ops.size() != 1) fail("mem measures exactly one operation");
    SparseFile A = read_sparse(a.matrix);
    std::unique_ptr<DenseFile> B, C;
    std::unique_ptr<SparseFile> S;
    if (!a.dense.empty()) B.reset(new DenseFile(read_dense(a.dense)));
    if (!a.qdense.empty()) C.reset(new DenseFile(read_dense(a.qdense)));
    if (!a.sparse.empty()) S.reset(new SparseFile(read_sparse(a.sparse)));
    for (DenseFile *d : {B.get(), C.get()})
        if (d && d->complex != A.complex) fail("dense operand and matrix differ in value type");
    if (S && (S->complex != A.complex)) fail("sparse right-hand side and matrix differ in value type");
    if (A.complex) {
        if (A.ibytes == 4) return run<Complex, int32_t>(a, A, B.get(), C.get(), S.get());
        return run<Complex, int64_t>(a, A, B.get(), C.get(), S.get());
    }
    if (A.ibytes == 4) return run<double, int32_t>(a, A, B.get(), C.get(), S.get());
    return run<double, int64_t>(a, A, B.get(), C.get(), S.get());
}
