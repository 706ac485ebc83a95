// The sparse Householder kernel: see qkernel.hpp.
#include "orvex/spqr/qkernel/qkernel.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

namespace orvex {
namespace qkernel {

namespace {

std::atomic<int> chosen{Auto};

inline double cj(double x) { return x; }
inline Complex cj(const Complex &z) { return std::conj(z); }

// ---- the inner loops ------------------------------------------------------------------
//
// dot(h, x, n) = sum_j conj(h[j]) x[j];  axpy(x, h, s, n): x[j] -= h[j] s.
// The complex ones are written over the real and imaginary parts: no NaN
// recovery of the library's complex product on every entry.  Four partial
// sums keep the adds independent.

inline double dot(const double *h, const double *x, int64_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 += h[j] * x[j];
        s1 += h[j + 1] * x[j + 1];
        s2 += h[j + 2] * x[j + 2];
        s3 += h[j + 3] * x[j + 3];
    }
    for (; j < n; ++j) s0 += h[j] * x[j];
    return (s0 + s1) + (s2 + s3);
}

inline Complex dot(const Complex *hc, const Complex *xc, int64_t n) {
    const double *h = reinterpret_cast<const double *>(hc), *x = reinterpret_cast<const double *>(xc);
    double r0 = 0, i0 = 0, r1 = 0, i1 = 0;
    int64_t j = 0;
    for (; j + 2 <= n; j += 2) {
        const double a = h[2 * j], b = h[2 * j + 1], c = x[2 * j], d = x[2 * j + 1];
        const double e = h[2 * j + 2], f = h[2 * j + 3], g = x[2 * j + 2], k = x[2 * j + 3];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
        r1 += e * g + f * k;
        i1 += e * k - f * g;
    }
    if (j < n) {
        const double a = h[2 * j], b = h[2 * j + 1], c = x[2 * j], d = x[2 * j + 1];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
    }
    return Complex(r0 + r1, i0 + i1);
}

// The same sums taken from the last entry down (Q x applies the reflectors
// last to first: their values are then read as one descending stream).
inline double dot_down(const double *h, const double *x, int64_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t j = n;
    for (; j >= 4; j -= 4) {
        s0 += h[j - 1] * x[j - 1];
        s1 += h[j - 2] * x[j - 2];
        s2 += h[j - 3] * x[j - 3];
        s3 += h[j - 4] * x[j - 4];
    }
    for (; j > 0; --j) s0 += h[j - 1] * x[j - 1];
    return (s0 + s1) + (s2 + s3);
}

inline Complex dot_down(const Complex *hc, const Complex *xc, int64_t n) {
    const double *h = reinterpret_cast<const double *>(hc), *x = reinterpret_cast<const double *>(xc);
    double r0 = 0, i0 = 0, r1 = 0, i1 = 0;
    int64_t j = n;
    for (; j >= 2; j -= 2) {
        const double a = h[2 * j - 2], b = h[2 * j - 1], c = x[2 * j - 2], d = x[2 * j - 1];
        const double e = h[2 * j - 4], f = h[2 * j - 3], g = x[2 * j - 4], k = x[2 * j - 3];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
        r1 += e * g + f * k;
        i1 += e * k - f * g;
    }
    if (j > 0) {
        const double a = h[0], b = h[1], c = x[0], d = x[1];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
    }
    return Complex(r0 + r1, i0 + i1);
}

inline void axpy(double *__restrict__ x, const double *__restrict__ h, double s, int64_t n) {
    for (int64_t j = 0; j < n; ++j) x[j] -= h[j] * s;
}

inline void axpy(Complex *xc, const Complex *hc, Complex s, int64_t n) {
    double *__restrict__ x = reinterpret_cast<double *>(xc);
    const double *__restrict__ h = reinterpret_cast<const double *>(hc);
    const double sr = s.real(), si = s.imag();
    for (int64_t j = 0; j < n; ++j) {
        const double a = h[2 * j], b = h[2 * j + 1];
        x[2 * j] -= a * sr - b * si;
        x[2 * j + 1] -= a * si + b * sr;
    }
}

// The same over x[idx[j]], with the same partial sums: a reflector gives
// the same bits whether its rows are listed or contiguous.
template <class I> inline double dot(const double *h, const I *idx, const double *x, int64_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 += h[j] * x[idx[j]];
        s1 += h[j + 1] * x[idx[j + 1]];
        s2 += h[j + 2] * x[idx[j + 2]];
        s3 += h[j + 3] * x[idx[j + 3]];
    }
    for (; j < n; ++j) s0 += h[j] * x[idx[j]];
    return (s0 + s1) + (s2 + s3);
}

template <class I> inline Complex dot(const Complex *hc, const I *idx, const Complex *xc, int64_t n) {
    const double *h = reinterpret_cast<const double *>(hc), *x = reinterpret_cast<const double *>(xc);
    double r0 = 0, i0 = 0, r1 = 0, i1 = 0;
    int64_t j = 0;
    for (; j + 2 <= n; j += 2) {
        const double *y = x + 2 * size_t(idx[j]), *u = x + 2 * size_t(idx[j + 1]);
        const double a = h[2 * j], b = h[2 * j + 1], c = y[0], d = y[1];
        const double e = h[2 * j + 2], f = h[2 * j + 3], g = u[0], k = u[1];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
        r1 += e * g + f * k;
        i1 += e * k - f * g;
    }
    if (j < n) {
        const double *y = x + 2 * size_t(idx[j]);
        const double a = h[2 * j], b = h[2 * j + 1], c = y[0], d = y[1];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
    }
    return Complex(r0 + r1, i0 + i1);
}

template <class I> inline double dot_down(const double *h, const I *idx, const double *x, int64_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t j = n;
    for (; j >= 4; j -= 4) {
        s0 += h[j - 1] * x[idx[j - 1]];
        s1 += h[j - 2] * x[idx[j - 2]];
        s2 += h[j - 3] * x[idx[j - 3]];
        s3 += h[j - 4] * x[idx[j - 4]];
    }
    for (; j > 0; --j) s0 += h[j - 1] * x[idx[j - 1]];
    return (s0 + s1) + (s2 + s3);
}

template <class I> inline Complex dot_down(const Complex *hc, const I *idx, const Complex *xc, int64_t n) {
    const double *h = reinterpret_cast<const double *>(hc), *x = reinterpret_cast<const double *>(xc);
    double r0 = 0, i0 = 0, r1 = 0, i1 = 0;
    int64_t j = n;
    for (; j >= 2; j -= 2) {
        const double *y = x + 2 * size_t(idx[j - 1]), *u = x + 2 * size_t(idx[j - 2]);
        const double a = h[2 * j - 2], b = h[2 * j - 1], c = y[0], d = y[1];
        const double e = h[2 * j - 4], f = h[2 * j - 3], g = u[0], k = u[1];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
        r1 += e * g + f * k;
        i1 += e * k - f * g;
    }
    if (j > 0) {
        const double *y = x + 2 * size_t(idx[0]);
        const double a = h[0], b = h[1], c = y[0], d = y[1];
        r0 += a * c + b * d;
        i0 += a * d - b * c;
    }
    return Complex(r0 + r1, i0 + i1);
}

template <class I> inline void axpy(double *x, const I *idx, const double *h, double s, int64_t n) {
    for (int64_t j = 0; j < n; ++j) x[idx[j]] -= h[j] * s;
}

template <class I> inline void axpy(Complex *xc, const I *idx, const Complex *hc, Complex s, int64_t n) {
    double *x = reinterpret_cast<double *>(xc);
    const double *h = reinterpret_cast<const double *>(hc);
    const double sr = s.real(), si = s.imag();
    for (int64_t j = 0; j < n; ++j) {
        const double a = h[2 * j], b = h[2 * j + 1];
        double *y = x + 2 * size_t(idx[j]);
        y[0] -= a * sr - b * si;
        y[1] -= a * si + b * sr;
    }
}

// One reflector on `w` columns of Z: z[i0] is the vector's unit entry, the
// other `len` entries are h[j] at z[idx[j]] (or at z[i0 + 1 + j] when idx is
// null: a gathered front).  Returns whether every v^H z was finite.
inline bool finite(double x) { return std::isfinite(x); }
inline bool finite(const Complex &z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

template <class Entry, class I>
inline bool reflect(Entry t, const Entry *h, const I *idx, int64_t len, int64_t i0, Entry *Z, size_t ld, int64_t w,
                    bool down = false) {
    bool ok = true;
    for (int64_t c = 0; c < w; ++c) {
        Entry *z = Z + size_t(c) * ld;
        Entry s = z[i0] + (down ? (idx ? dot_down(h, idx, z, len) : dot_down(h, z + i0 + 1, len))
                                : (idx ? dot(h, idx, z, len) : dot(h, z + i0 + 1, len)));
        ok &= finite(s);
        s *= t;
        z[i0] -= s;
        if (idx) axpy(z, idx, h, s, len);
        else axpy(z + i0 + 1, h, s, len);
    }
    return ok;
}

// ---- the two representations -----------------------------------------------------------
//
// Both apply to Z (mh x w, leading dimension ld) in place: with `adjoint`,
// Q_H^H Z = H_{k-1}^H ... H_0^H Z (reflectors forward, conj(tau)); without,
// Q_H Z = H_0 ... H_{k-1} Z (backward, tau), where Q_H = H_0 H_1 ... H_{k-1}
// and H_j = I - tau_j v_j v_j^H.

template <class Entry, class Int>
void apply_triple(bool adjoint, const cholmod_sparse &H, const Entry *tau, Entry *Z, size_t ld, int64_t w) {
    const Int *Hp = static_cast<const Int *>(H.p), *Hi = static_cast<const Int *>(H.i);
    const Entry *Hx = static_cast<const Entry *>(H.x);
    const int64_t nh = int64_t(H.ncol);
    for (int64_t q = 0; q < nh; ++q) {
        const int64_t k = adjoint ? q : nh - 1 - q;
        const Entry t = adjoint ? cj(tau[k]) : tau[k];
        if (t == Entry(0)) continue;
        const Int p = Hp[k];
        reflect<Entry, Int>(t, Hx + p + 1, Hi + p + 1, int64_t(Hp[k + 1] - p - 1), int64_t(Hi[p]), Z, ld, w, !adjoint);
    }
}

// The same over a triple spqr made, panel by panel (TripleShape): gather
// the panel's rows of Z into L (nr x w), apply its reflectors there, scatter
// back.  H's values are read where the caller holds them, unchecked: a NaN
// or infinity among them makes some v^H z non-finite, unless it is a unit
// entry (never read by the product) or its reflector is skipped (tau 0);
// those are checked here.  Returns false when anything non-finite was met
// (the caller then checks H's values).
template <class Entry, class Int>
bool apply_panels(bool adjoint, const TripleShape<Int> &S, const Entry *Hx, const Entry *tau, Entry *Z, size_t ld,
                  int64_t w, Entry *L) {
    bool ok = true;
    const Int *Hp = S.p.data();
    const int64_t *at = S.at.data();
    const uint32_t *loc = S.loc.data();
    const int64_t np = int64_t(S.first.size()) - 1;
    const size_t parts = sizeof(Entry) / sizeof(double);
    for (int64_t q = 0; q < np; ++q) {
        if (interrupt_requested()) return true;  // run_native raises instead of returning the product
        const int64_t g = adjoint ? q : np - 1 - q;
        const int64_t k0 = S.first[size_t(g)], k1 = S.first[size_t(g) + 1];
        const Int *rows = S.rows.data() + S.rowp[size_t(g)];
        const size_t nr = size_t(S.rowp[size_t(g) + 1] - S.rowp[size_t(g)]);
        for (int64_t c = 0; c < w; ++c) {
            const Entry *z = Z + size_t(c) * ld;
            Entry *l = L + size_t(c) * nr;
            for (size_t i = 0; i < nr; ++i) l[i] = z[rows[i]];
        }
        for (int64_t r = 0; r < k1 - k0; ++r) {
            const int64_t k = adjoint ? k0 + r : k1 - 1 - r;
            const Entry t = adjoint ? cj(tau[k]) : tau[k];
            const Entry *h = Hx + Hp[k] + 1;
            const int64_t len = int64_t(Hp[k + 1] - Hp[k]) - 1;
            if (len < 0) continue;  // no vector (never in SPQR's H)
            if (t == Entry(0)) {
                ok &= !any_nonfinite(h - 1, (len + 1) * int64_t(parts));
                continue;
            }
            ok &= finite(h[-1]);  // the unit entry, never read
            if (at[k] >= 0) {
                ok &= reflect<Entry, uint32_t>(t, h, nullptr, len, at[k], L, nr, w, !adjoint);
            } else {
                const uint32_t *l = loc + (-at[k] - 1);
                ok &= reflect<Entry, uint32_t>(t, h, l + 1, len, int64_t(l[0]), L, nr, w, !adjoint);
            }
        }
        for (int64_t c = 0; c < w; ++c) {
            Entry *z = Z + size_t(c) * ld;
            const Entry *l = L + size_t(c) * nr;
            for (size_t i = 0; i < nr; ++i) z[rows[i]] = l[i];
        }
    }
    return ok;
}

// The Householder vectors of front f, as SPQR finds them in the front's
// block of R and H (the order and layout of spqr_private_get_H_vectors):
// vector h has its unit in the front's row h and its other entries,
// R[start[h] .. end[h]-1], in rows h+1, h+2, ...  Returns their count.
template <class Entry, class Int>
Int front_vectors(Int f, const QRFactor<Entry, Int> *QR, Entry *tau, Int *start, Int *end) {
    const spqr_symbolic<Int> *S = QR->QRsym;
    const spqr_numeric<Entry, Int> *N = QR->QRnum;
    const Int n1cols = QR->n1cols, n = QR->nacols;
    const Int *Rj = S->Rj;
    const Int col1 = S->Super[f], fp = S->Super[f + 1] - col1;
    const Int pr = S->Rp[f], fn = S->Rp[f + 1] - pr;
    const Int *Stair = N->HStair + pr;
    const Entry *Tau = N->HTau + pr;
    const Int fm = N->Hm[f];
    Int h = 0, nh = 0, p = 0, rm = 0;
    for (Int k = 0; k < fn && nh < fm; ++k) {
        Int j;
        const Int t = Stair[k];
        if (k < fp) {
            j = col1 + k;
            if (t == 0) {  // no vector: skip over R
                p += rm;
                continue;
            }
            if (rm < fm) ++rm;
            h = rm;
        } else {
            j = Rj[pr + k];
            h = std::min<Int>(h + 1, fm);
        }
        if (j + n1cols >= n) break;  // a column of appended right-hand sides
        p += rm;
        tau[nh] = Tau[k];
        start[nh] = p;
        p += t - h;
        end[nh] = p;
        ++nh;
        if (h == fm) break;
    }
    return nh;
}

template <class Entry, class Int>
void apply_factor(bool adjoint, const QRFactor<Entry, Int> *QR, Entry *Z, size_t ld, int64_t w, Entry *L, Entry *tau,
                  Int *start, Int *end) {
    const spqr_symbolic<Int> *S = QR->QRsym;
    const spqr_numeric<Entry, Int> *N = QR->QRnum;
    const Int nf = S->nf;
    Entry *Z2 = Z + QR->n1rows;  // singleton rows are not touched
    for (Int q = 0; q < nf; ++q) {
        // An interrupted call leaves the product unfinished: run_native
        // raises instead of returning it.
        if (interrupt_requested()) return;
        const Int f = adjoint ? q : nf - 1 - q;
        const Int nh = front_vectors<Entry, Int>(f, QR, tau, start, end);
        if (nh == 0) continue;
        const Entry *R = N->Rblock[f];
        const Int *Hi = N->Hii + S->Hip[f];
        if (nh == 1) {
            const Entry t = adjoint ? cj(tau[0]) : tau[0];
            if (t != Entry(0))
                reflect<Entry, Int>(t, R + start[0], Hi + 1, int64_t(end[0] - start[0]), int64_t(Hi[0]), Z2, ld, w,
                                    !adjoint);
            continue;
        }
        // Gather the front's rows that its vectors touch, apply the vectors
        // to the contiguous copy, scatter back.
        int64_t rows = 0;
        for (Int h = 0; h < nh; ++h) rows = std::max<int64_t>(rows, int64_t(h) + 1 + int64_t(end[h] - start[h]));
        const size_t lr = size_t(rows);
        for (int64_t c = 0; c < w; ++c) {
            const Entry *z = Z2 + size_t(c) * ld;
            Entry *l = L + size_t(c) * lr;
            for (size_t i = 0; i < lr; ++i) l[i] = z[Hi[i]];
        }
        for (Int r = 0; r < nh; ++r) {
            const Int h = adjoint ? r : nh - 1 - r;
            const Entry t = adjoint ? cj(tau[h]) : tau[h];
            if (t == Entry(0)) continue;
            reflect<Entry, Int>(t, R + start[h], static_cast<const Int *>(nullptr), int64_t(end[h] - start[h]),
                                int64_t(h), L, lr, w, !adjoint);
        }
        for (int64_t c = 0; c < w; ++c) {
            Entry *z = Z2 + size_t(c) * ld;
            const Entry *l = L + size_t(c) * lr;
            for (size_t i = 0; i < lr; ++i) z[Hi[i]] = l[i];
        }
    }
}

// ---- allocation through the call's workspace --------------------------------------------

inline cholmod_dense *allocate_dense(int32_t, size_t m, size_t n, int xtype, cholmod_common *cm) {
    return cholmod_allocate_dense(m, n, m, xtype, cm);
}
inline cholmod_dense *allocate_dense(int64_t, size_t m, size_t n, int xtype, cholmod_common *cm) {
    return cholmod_l_allocate_dense(m, n, m, xtype, cm);
}
inline void too_large(int32_t, cholmod_common *cm) {
    cholmod_error(CHOLMOD_TOO_LARGE, __FILE__, __LINE__, "problem too large", cm);
}
inline void too_large(int64_t, cholmod_common *cm) {
    cholmod_l_error(CHOLMOD_TOO_LARGE, __FILE__, __LINE__, "problem too large", cm);
}
inline void *allocate(int32_t, size_t n, size_t size, cholmod_common *cm) { return cholmod_malloc(n, size, cm); }
inline void *allocate(int64_t, size_t n, size_t size, cholmod_common *cm) { return cholmod_l_malloc(n, size, cm); }

// A block of `count` T from `cm`, freed with it.
template <class T, class Int> class Scratch {
public:
    Scratch(size_t count, cholmod_common *cm)
        : cm_(cm), count_(count), p_(count ? static_cast<T *>(allocate(Int{}, count, sizeof(T), cm)) : nullptr) {}
    ~Scratch() {
        if (p_) Cholmod<Int>::free(count_, sizeof(T), p_, cm_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    T *get() const { return p_; }

private:
    cholmod_common *cm_;
    size_t count_;
    T *p_;
};

bool product_of(size_t a, size_t b, size_t &out) {
    if (b && a > std::numeric_limits<size_t>::max() / b) return false;
    out = a * b;
    return true;
}

// Y = op(Q) X for Q = P^T Q_H, where P is the row permutation (HPinv[i] is
// the row of Q_H that row i of the operand moves to).  The right-hand
// methods work on Z = X^H, so that every method is a left product:
// X Q = (Q^H X^H)^H and X Q^H = (Q X^H)^H.  `apply(adjoint, Z, ld, w, L)`
// applies Q_H^H or Q_H to Z given `scratch` entries of workspace at L.
template <class Entry, class Int, class Apply>
cholmod_dense *product(int method, size_t mh, const Int *HPinv, const cholmod_dense *X, size_t scratch,
                       cholmod_common *cm, Apply apply) {
    const size_t m = X->nrow, n = X->ncol, ldx = X->d;
    const bool left = method == SPQR_QTX || method == SPQR_QX;
    const size_t w = left ? n : m;
    cholmod_dense *Y = allocate_dense(Int{}, m, n, EntryTraits<Entry>::xtype, cm);
    if (!Y) return nullptr;
    size_t zsize = 0, total = 0;
    bool ok = method == SPQR_QTX || product_of(mh, w, zsize);
    ok = ok && zsize <= std::numeric_limits<size_t>::max() - scratch;
    total = zsize + scratch;
    Scratch<Entry, Int> work(ok ? total : 0, cm);
    if (!ok || (total && !work.get())) {
        if (!ok) too_large(Int{}, cm);
        Cholmod<Int>::free_dense(&Y, cm);
        return nullptr;
    }
    const Entry *x = static_cast<const Entry *>(X->x);
    Entry *y = static_cast<Entry *>(Y->x);
    Entry *Z = method == SPQR_QTX ? y : work.get();
    Entry *L = work.get() + zsize;
    auto row = [&](size_t i) { return HPinv ? size_t(HPinv[i]) : i; };
    switch (method) {
    case SPQR_QTX:  // Y(P, :) = X, then Y = Q_H^H Y
        for (size_t c = 0; c < n; ++c)
            for (size_t i = 0; i < m; ++i) y[c * m + row(i)] = x[c * ldx + i];
        apply(true, Z, m, w, L);
        break;
    case SPQR_QX:  // Z = Q_H X, then Y = Z(P, :)
        for (size_t c = 0; c < n; ++c) std::copy(x + c * ldx, x + c * ldx + m, Z + c * mh);
        apply(false, Z, mh, w, L);
        for (size_t c = 0; c < n; ++c)
            for (size_t i = 0; i < m; ++i) y[c * m + i] = Z[c * mh + row(i)];
        break;
    case SPQR_XQ:  // Z(P, :) = X^H, Z = Q_H^H Z, Y = Z^H
        for (size_t k = 0; k < n; ++k)
            for (size_t r = 0; r < m; ++r) Z[r * mh + row(k)] = cj(x[k * ldx + r]);
        apply(true, Z, mh, w, L);
        for (size_t k = 0; k < n; ++k)
            for (size_t r = 0; r < m; ++r) y[k * m + r] = cj(Z[r * mh + k]);
        break;
    default:  // SPQR_XQT: Z = X^H, Z = Q_H Z, Y = Z(P, :)^H
        for (size_t k = 0; k < n; ++k)
            for (size_t r = 0; r < m; ++r) Z[r * mh + k] = cj(x[k * ldx + r]);
        apply(false, Z, mh, w, L);
        for (size_t k = 0; k < n; ++k)
            for (size_t r = 0; r < m; ++r) y[k * m + r] = cj(Z[r * mh + row(k)]);
        break;
    }
    return Y;
}

// Whether SPQR's blocked kernel, applying the reflectors of H forward in
// panels of up to 32 (HCHUNK_DENSE of SuiteSparseQR_qmult), would take an
// entry of H as zero: a vector joining a panel with an entry in the first
// row of an earlier vector of the panel (the strict upper triangle of the
// panel's block, which LAPACK's block reflectors never read).  The panels
// are formed exactly as spqr_happly forms them.  Wmap (nrow entries) and Wi
// (nrow entries) are workspace.
template <class Int> bool hidden_entries(const cholmod_sparse &H, Int *Wmap, Int *Wi) {
    const Int *Hp = static_cast<const Int *>(H.p), *Hi = static_cast<const Int *>(H.i);
    const Int mh = Int(H.nrow), nh = Int(H.ncol), hchunk = std::min<Int>(32, nh);
    std::fill(Wmap, Wmap + mh, Int(-1));
    Int h2 = 0;
    for (Int h1 = 0; h1 < nh; h1 = h2) {
        Int v = 0;
        for (Int p = Hp[h1]; p < Hp[h1 + 1]; ++p) {
            Wmap[Hi[p]] = v;
            Wi[v++] = Hi[p];
        }
        const Int this_vmax = std::min<Int>(2 * v + 8, mh);
        const Int hmax = std::min<Int>(h1 + hchunk, nh);
        bool hidden = false;
        for (h2 = h1 + 1; h2 < hmax; ++h2) {
            Int p = Hp[h2];
            if (h2 - h1 >= v || Wi[h2 - h1] != Hi[p]) break;
            const Int v1 = v;
            bool full = false, hits = false;
            for (; p < Hp[h2 + 1]; ++p) {
                const Int i = Hi[p];
                if (Wmap[i] < 0) {
                    if (v >= this_vmax) {
                        full = true;
                        break;
                    }
                    Wmap[i] = v;
                    Wi[v++] = i;
                } else if (Wmap[i] < h2 - h1) {
                    hits = true;
                }
            }
            if (full) {  // h2 starts the next panel
                for (Int k = v1; k < v; ++k) Wmap[Wi[k]] = -1;
                v = v1;
                break;
            }
            hidden = hidden || hits;
        }
        for (Int k = 0; k < v; ++k) Wmap[Wi[k]] = -1;
        if (hidden) return true;
    }
    return false;
}

// What both representations need of X before orvex's kernel may run in
// place of SPQR's: SPQR's own checks pass, the product is not empty, and
// the width rule (or the override) picks it.
template <class Entry>
bool own_kernel(int method, size_t mh, const cholmod_dense *X, const cholmod_common *cm, int64_t max_width) {
    if (!X || !X->x || X->xtype != EntryTraits<Entry>::xtype || X->dtype != CHOLMOD_DOUBLE || !cm) return false;
    if (method < SPQR_QTX || method > SPQR_XQ || X->d < X->nrow) return false;
    const bool left = method == SPQR_QTX || method == SPQR_QX;
    if ((left ? X->nrow : X->ncol) != mh || X->nrow == 0 || X->ncol == 0) return false;
    const Choice c = choice();
    return c == Own || (c == Auto && width(method, X) <= max_width);
}

}  // namespace

template <class Int> void triple_shape(const cholmod_sparse &H, const Int *perm, TripleShape<Int> &S) {
    const Int *Hp = static_cast<const Int *>(H.p), *Hi = static_cast<const Int *>(H.i);
    const int64_t m = int64_t(H.nrow), nh = int64_t(H.ncol);
    S.m = m;
    S.nh = nh;
    S.nnz = int64_t(Hp[nh]);
    S.p.assign(Hp, Hp + nh + 1);
    S.perm.assign(perm, perm + m);
    S.at.assign(size_t(nh), 0);
    S.first.assign(1, 0);
    S.rowp.assign(1, 0);
    std::vector<int64_t> where(size_t(m), -1);  // a row's position in the panel being formed
    for (int64_t k0 = 0, k1 = 0; k0 < nh; k0 = k1) {
        const size_t base = S.rows.size();
        for (k1 = k0; k1 < nh; ++k1) {
            const Int p0 = Hp[k1], p1 = Hp[k1 + 1];
            if (k1 > k0 && (p0 == p1 || where[size_t(Hi[p0])] < 0)) break;
            const size_t before = S.rows.size();
            for (Int p = p0; p < p1; ++p) {
                int64_t &w = where[size_t(Hi[p])];
                if (w < 0) {
                    w = int64_t(S.rows.size() - base);
                    S.rows.push_back(Hi[p]);
                }
            }
            if (k1 > k0 && int64_t(S.rows.size() - base) > panel_max_rows) {
                for (size_t r = before; r < S.rows.size(); ++r) where[size_t(S.rows[r])] = -1;
                S.rows.resize(before);
                break;
            }
        }
        for (int64_t k = k0; k < k1; ++k) {
            const Int p0 = Hp[k], p1 = Hp[k + 1];
            if (p0 == p1) continue;
            const int64_t a = where[size_t(Hi[p0])];
            bool contiguous = true;
            for (Int p = p0 + 1; p < p1 && contiguous; ++p) contiguous = where[size_t(Hi[p])] == a + (p - p0);
            if (contiguous) {
                S.at[size_t(k)] = a;
                continue;
            }
            S.at[size_t(k)] = -int64_t(S.loc.size()) - 1;
            for (Int p = p0; p < p1; ++p) S.loc.push_back(uint32_t(where[size_t(Hi[p])]));
        }
        for (size_t r = base; r < S.rows.size(); ++r) where[size_t(S.rows[r])] = -1;
        S.first.push_back(k1);
        S.rowp.push_back(int64_t(S.rows.size()));
        S.max_rows = std::max<int64_t>(S.max_rows, int64_t(S.rows.size() - base));
    }
}

template <class Int> bool same_rows(const TripleShape<Int> &S, const Int *Hi) {
    const Int *Hp = S.p.data();
    for (size_t g = 0; g + 1 < S.first.size(); ++g) {
        const Int *rows = S.rows.data() + S.rowp[g];
        for (int64_t k = S.first[g]; k < S.first[g + 1]; ++k) {
            const Int p0 = Hp[k];
            const size_t len = size_t(Hp[k + 1] - p0);
            if (len == 0) continue;
            const int64_t a = S.at[size_t(k)];
            if (a >= 0) {
                if (std::memcmp(rows + a, Hi + p0, len * sizeof(Int)) != 0) return false;
                continue;
            }
            const uint32_t *at = S.loc.data() + (-a - 1);
            bool same = true;
            for (size_t j = 0; j < len; ++j) same &= rows[at[j]] == Hi[size_t(p0) + j];
            if (!same) return false;
        }
    }
    return true;
}

template <class Entry> bool own_triple(int method, size_t mh, const cholmod_dense *X) {
    cholmod_common cm{};  // own_kernel asks only that there is one
    return own_kernel<Entry>(method, mh, X, &cm, triple_max_width);
}

void set_choice(Choice c) { chosen.store(c); }
Choice choice() { return Choice(chosen.load()); }

template <class Entry, class Int>
cholmod_dense *qmult(int method, QRFactor<Entry, Int> *QR, cholmod_dense *X, cholmod_common *cm) {
    const bool usable = QR && QR->QRsym && QR->QRnum && QR->QRnum->Hm && QR->QRnum->Rblock && QR->QRnum->Hii &&
                        QR->QRnum->HStair && QR->QRnum->HTau && QR->QRsym->Hip;
    if (!usable || !own_kernel<Entry>(method, size_t(QR->narows), X, cm, factor_max_width))
        return SuiteSparseQR_qmult<Entry, Int>(method, QR, X, cm);
    cm->status = CHOLMOD_OK;
    const Int *HPinv = QR->n1cols > 0 ? QR->HP1inv : QR->QRnum->HPinv;
    const size_t w = size_t(width(method, X));
    const size_t maxfm = size_t(std::max<Int>(QR->QRnum->maxfm, 1)), maxfn = size_t(std::max<Int>(QR->QRsym->maxfn, 1));
    size_t front = 0;
    if (!product_of(maxfm, w, front) || front > std::numeric_limits<size_t>::max() - maxfn) {
        too_large(Int{}, cm);
        return nullptr;
    }
    Scratch<Int, Int> bounds(2 * maxfn, cm);
    if (!bounds.get()) return nullptr;
    return product<Entry, Int>(method, size_t(QR->narows), HPinv, X, front + maxfn, cm,
                               [&](bool adjoint, Entry *Z, size_t ld, size_t width, Entry *L) {
                                   apply_factor<Entry, Int>(adjoint, QR, Z, ld, int64_t(width), L + maxfn, L,
                                                            bounds.get(), bounds.get() + maxfn);
                               });
}

template <class Entry, class Int>
cholmod_dense *qmult(int method, cholmod_sparse *H, cholmod_dense *Tau, Int *HPinv, cholmod_dense *X,
                     cholmod_common *cm, bool made) {
    const bool usable = H && Tau && H->xtype == EntryTraits<Entry>::xtype && H->dtype == CHOLMOD_DOUBLE &&
                        H->packed && Tau->xtype == EntryTraits<Entry>::xtype && Tau->x;
    if (!usable || !own_kernel<Entry>(method, H->nrow, X, cm, triple_max_width))
        return SuiteSparseQR_qmult<Entry, Int>(method, H, Tau, HPinv, X, cm);
    cm->status = CHOLMOD_OK;
    // Only SPQR's forward panels (Q^H X, X Q) can hide entries; backward
    // ones take a vector in only when its first row is new to the panel.
    if (!made && (method == SPQR_QTX || method == SPQR_XQ)) {
        Scratch<Int, Int> marks(2 * H->nrow, cm);
        if (!marks.get()) return nullptr;
        if (hidden_entries<Int>(*H, marks.get(), marks.get() + H->nrow))
            return SuiteSparseQR_qmult<Entry, Int>(method, H, Tau, HPinv, X, cm);
    }
    const Entry *tau = static_cast<const Entry *>(Tau->x);
    return product<Entry, Int>(method, H->nrow, HPinv, X, 0, cm,
                               [&](bool adjoint, Entry *Z, size_t ld, size_t width, Entry *) {
                                   apply_triple<Entry, Int>(adjoint, *H, tau, Z, ld, int64_t(width));
                               });
}

template <class Entry, class Int>
cholmod_dense *qmult(int method, const TripleShape<Int> &S, const Entry *Hx, const Entry *tau, cholmod_dense *X,
                     cholmod_common *cm, bool &nonfinite) {
    nonfinite = false;
    cm->status = CHOLMOD_OK;
    const size_t w = size_t(width(method, X));
    size_t block = 0;
    if (!product_of(size_t(std::max<int64_t>(S.max_rows, 1)), w, block)) {
        too_large(Int{}, cm);
        return nullptr;
    }
    bool finite = true;
    cholmod_dense *Y = product<Entry, Int>(method, size_t(S.m), S.perm.data(), X, block, cm,
                                           [&](bool adjoint, Entry *Z, size_t ld, size_t width, Entry *L) {
                                               finite = apply_panels<Entry, Int>(adjoint, S, Hx, tau, Z, ld,
                                                                                 int64_t(width), L);
                                           });
    // Something non-finite met: H's values, or a product beyond the range.
    if (Y && !finite &&
        any_nonfinite(Hx, S.nnz * int64_t(sizeof(Entry) / sizeof(double)))) {
        Cholmod<Int>::free_dense(&Y, cm);
        nonfinite = true;
    }
    return Y;
}

#define ORVEX_QKERNEL(Entry, Int)                                                                                    \
    template cholmod_dense *qmult<Entry, Int>(int, QRFactor<Entry, Int> *, cholmod_dense *, cholmod_common *);      \
    template cholmod_dense *qmult<Entry, Int>(int, cholmod_sparse *, cholmod_dense *, Int *, cholmod_dense *,      \
                                              cholmod_common *, bool);                                             \
    template cholmod_dense *qmult<Entry, Int>(int, const TripleShape<Int> &, const Entry *, const Entry *,         \
                                              cholmod_dense *, cholmod_common *, bool &);
ORVEX_QKERNEL(double, int32_t)
ORVEX_QKERNEL(double, int64_t)
ORVEX_QKERNEL(Complex, int32_t)
ORVEX_QKERNEL(Complex, int64_t)
#undef ORVEX_QKERNEL
template void triple_shape<int32_t>(const cholmod_sparse &, const int32_t *, TripleShape<int32_t> &);
template void triple_shape<int64_t>(const cholmod_sparse &, const int64_t *, TripleShape<int64_t> &);
template bool same_rows<int32_t>(const TripleShape<int32_t> &, const int32_t *);
template bool same_rows<int64_t>(const TripleShape<int64_t> &, const int64_t *);
template bool own_triple<double>(int, size_t, const cholmod_dense *);
template bool own_triple<Complex>(int, size_t, const cholmod_dense *);

}  // namespace qkernel

void register_qkernel(nb::module_ &m) {
#ifdef ORVEX_TEST_HOOKS
    m.def(
        "_qkernel",
        [](nb::handle which) {
            static const char *names[] = {"auto", "orvex", "spqr"};
            const char *before = names[qkernel::choice()];
            if (!which.is_none()) {
                int k = 0;
                while (k < 3 && !nb::str(names[k]).equal(which)) ++k;
                if (k == 3) raise(PyExc_ValueError, "the kernel must be 'auto', 'orvex' or 'spqr'");
                qkernel::set_choice(qkernel::Choice(k));
            }
            return nb::str(before);
        },
        nb::arg("which").none() = nb::none(),
        "The kernel of dense products with Q: 'auto' (by operand width), 'orvex' or 'spqr'. Returns the "
        "previous setting; with None, only returns it.");
#else
    (void)m;
#endif
}

}  // namespace orvex
