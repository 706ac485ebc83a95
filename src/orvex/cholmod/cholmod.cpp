#include "orvex/cholmod/cholmod.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>
#include <chrono>
#include <pthread.h>
#include <unistd.h>

namespace orvex {

// ---- errors and buffers ------------------------------------------------------

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise(PyObject *type, const std::string &message) { raise(type, message.c_str()); }

namespace {

// The ndarray whose memory a buffer of `exporter` lies in: the end of the
// chain of ndarray bases, when it owns its data.
PyObject *memory_owner(PyObject *exporter) {
    if (!exporter || !PyArray_Check(exporter)) return nullptr;
    auto *a = reinterpret_cast<PyArrayObject *>(exporter);
    while (PyArray_BASE(a) && PyArray_Check(PyArray_BASE(a))) a = reinterpret_cast<PyArrayObject *>(PyArray_BASE(a));
    return PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA) ? reinterpret_cast<PyObject *>(a) : nullptr;
}

}  // namespace

Buffer::Buffer(nb::handle obj, int flags) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) throw nb::python_error();
    if (PyObject *owner = memory_owner(view_.obj)) {
        PyObject *ref = PyWeakref_NewRef(owner, nullptr);
        if (!ref) {
            PyBuffer_Release(&view_);
            throw nb::python_error();
        }
        pin_ = nb::steal(ref);
    }
    const char *f = view_.format ? view_.format : "B";
    if (*f == '>' || *f == '!') native_ = false;
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    bool complex = false;
    if (*f == 'Z') { complex = true; ++f; }
    if (f[0] != '\0' && f[1] == '\0') {
        switch (*f) {
        case 'e': case 'f': case 'd': case 'g': kind_ = complex ? ComplexFloat : Float; break;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': kind_ = complex ? Other : Signed; break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': kind_ = complex ? Other : Unsigned; break;
        case '?': kind_ = complex ? Other : Bool; break;
        default: break;
        }
    }
}

int64_t Buffer::size() const {
    int64_t n = 1;
    for (int k = 0; k < view_.ndim; ++k) n *= view_.shape[k];
    return n;
}

bool Buffer::f_contiguous() const {
    if (size() == 0) return true;
    Py_ssize_t expected = view_.itemsize;
    for (int k = 0; k < view_.ndim; ++k) {
        if (view_.shape[k] != 1 && view_.strides[k] != expected) return false;
        expected *= view_.shape[k];
    }
    return true;
}

bool Buffer::c_contiguous() const {
    if (size() == 0) return true;
    Py_ssize_t expected = view_.itemsize;
    for (int k = view_.ndim - 1; k >= 0; --k) {
        if (view_.shape[k] != 1 && view_.strides[k] != expected) return false;
        expected *= view_.shape[k];
    }
    return true;
}

// ---- CSC arrays to a CHOLMOD header -------------------------------------------

namespace {

// A Python integer (anything with __index__) as a C integer.
long long as_integer(nb::handle h) {
    nb::object index = nb::steal(PyNumber_Index(h.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    long long v = PyLong_AsLongLong(index.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

int64_t as_dimension(nb::handle h, const char *what) {
    const int64_t v = as_integer(h);
    if (v < 0) raise(PyExc_ValueError, std::string("negative ") + what + " in shape");
    return v;
}

// Column pointers must run from 0 to nnz without decreasing and every row
// index must lie in range; otherwise CHOLMOD and SPQR would read or write
// outside the arrays.
// The loops below run over every entry of a matrix on each call, so they are
// written branch-free (flags or-ed together, no early exit) for the compiler
// to vectorise them; the error is raised after the pass.
template <class Int> void check_structure(const Int *p, const Int *i, int64_t nrow, int64_t ncol) {
    if (p[0] != 0) raise(PyExc_ValueError, "index pointer array must start with 0");
    unsigned decreasing = 0;
    for (int64_t j = 0; j < ncol; ++j) decreasing |= unsigned(p[j + 1] < p[j]);
    if (decreasing) raise(PyExc_ValueError, "index pointer array must not decrease");
    const int64_t nnz = p[ncol];
    const uint64_t limit = uint64_t(nrow);  // a negative index wraps to beyond it
    unsigned outside = 0;
    for (int64_t k = 0; k < nnz; ++k) outside |= unsigned(uint64_t(int64_t(i[k])) >= limit);
    if (outside) raise(PyExc_ValueError, "an entry of the indices array is out of range");
}

}  // namespace

// Whether any of n doubles is NaN or infinite (all exponent bits set).
bool any_nonfinite(const void *data, int64_t n) {
    constexpr uint64_t exponent = 0x7ff0000000000000ull;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    unsigned found = 0;
    for (int64_t k = 0; k < n; ++k) {
        uint64_t bits;
        std::memcpy(&bits, bytes + 8 * k, 8);  // the array need not be aligned
        found |= unsigned((bits & exponent) == exponent);
    }
    return found != 0;
}

void SparseView::fill(nb::handle shape, nb::handle indptr, nb::handle indices, nb::handle data, int stype) {
    if (!PyTuple_Check(shape.ptr()) || PyTuple_Size(shape.ptr()) != 2)
        raise(PyExc_ValueError, "shape must be a tuple of two integers");
    const int64_t nrow = as_dimension(PyTuple_GetItem(shape.ptr(), 0), "row count");
    const int64_t ncol = as_dimension(PyTuple_GetItem(shape.ptr(), 1), "column count");

    auto p = std::make_unique<Buffer>(indptr), i = std::make_unique<Buffer>(indices),
         x = std::make_unique<Buffer>(data);
    const bool int32 = p->holds_index<int32_t>();
    if (!(int32 || p->holds_index<int64_t>()))
        raise(PyExc_TypeError, "indptr must be an int32 or int64 array");
    if (!(int32 ? i->holds_index<int32_t>() : i->holds_index<int64_t>()))
        raise(PyExc_TypeError, "indices must have the same integer type as indptr");
    const bool real = x->holds_entry<double>();
    if (!(real || x->holds_entry<Complex>()))
        raise(PyExc_TypeError, "data must be a float64 or complex128 array");
    if (p->ndim() != 1 || i->ndim() != 1 || x->ndim() != 1 || !p->c_contiguous() || !i->c_contiguous() ||
        !x->c_contiguous())
        raise(PyExc_ValueError, "indptr, indices and data must be contiguous one-dimensional arrays");
    if (p->size() != ncol + 1) raise(PyExc_ValueError, "indptr must have one entry more than there are columns");
    if (int32 && (nrow > std::numeric_limits<int32_t>::max() || ncol > std::numeric_limits<int32_t>::max()))
        raise(PyExc_ValueError, "a matrix with int32 indices must have fewer than 2**31 rows and columns");
    const size_t isize = int32 ? sizeof(int32_t) : sizeof(int64_t);
    if (!p->aligned(isize) || !i->aligned(isize) || !x->aligned(sizeof(double)))
        raise(PyExc_ValueError, "indptr, indices and data must be aligned arrays");
    const int64_t nnz = int32 ? int64_t(static_cast<const int32_t *>(p->data())[ncol])
                              : static_cast<const int64_t *>(p->data())[ncol];
    if (nnz < 0 || nnz > i->size() || nnz > x->size())
        raise(PyExc_ValueError, "indptr[-1] must not exceed the lengths of indices and data");

    hdr_ = cholmod_sparse{};
    hdr_.nrow = size_t(nrow);
    hdr_.ncol = size_t(ncol);
    hdr_.nzmax = size_t(nnz);
    hdr_.p = p->data();
    hdr_.i = i->data();
    hdr_.nz = nullptr;
    hdr_.x = x->data();
    hdr_.z = nullptr;
    hdr_.stype = stype;
    hdr_.itype = int32 ? CHOLMOD_INT : CHOLMOD_LONG;
    hdr_.xtype = real ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    hdr_.dtype = CHOLMOD_DOUBLE;
    hdr_.sorted = 0;
    hdr_.packed = 1;
    p_ = std::move(p);
    i_ = std::move(i);
    x_ = std::move(x);
    filled_ = true;
}

namespace {

// The largest magnitude among n doubles (NaN and infinities count as
// infinite), from the exponent and mantissa bits alone.
double largest_magnitude(const void *data, int64_t n) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint64_t top = 0;
    for (int64_t k = 0; k < n; ++k) {
        uint64_t bits;
        std::memcpy(&bits, bytes + 8 * k, 8);
        bits &= 0x7fffffffffffffffull;
        top = bits > top ? bits : top;
    }
    double d;
    std::memcpy(&d, &top, 8);
    return d;
}

template <class Int> void snapshot(const cholmod_sparse &from, int64_t nnz, std::vector<int64_t> &into, cholmod_sparse &hdr) {
    const size_t ncol = from.ncol, count = ncol + 1 + size_t(nnz);
    into.resize((count * sizeof(Int) + sizeof(int64_t) - 1) / sizeof(int64_t) + 1);
    Int *p = reinterpret_cast<Int *>(into.data()), *i = p + ncol + 1;
    std::memcpy(p, from.p, (ncol + 1) * sizeof(Int));
    if (nnz) std::memcpy(i, from.i, size_t(nnz) * sizeof(Int));
    hdr.p = p;
    hdr.i = i;
}

}  // namespace

void SparseView::capture(bool finite) {
    if (!filled_) raise(PyExc_ValueError, "invalid sparse matrix header");
    const int64_t nrow = int64_t(hdr_.nrow), ncol = int64_t(hdr_.ncol);
    // The caller's arrays as they are now (Python code that ran since the
    // header was filled may have written to them), copied first and checked
    // on the copy: nothing another thread writes later reaches native code.
    cholmod_sparse from = hdr_;
    from.p = p_->data();
    from.i = i_->data();
    const bool int32 = hdr_.itype == CHOLMOD_INT;
    const int64_t nnz = int32 ? int64_t(static_cast<const int32_t *>(from.p)[ncol]) : static_cast<const int64_t *>(from.p)[ncol];
    if (nnz < 0 || uint64_t(nnz) != hdr_.nzmax)
        raise(PyExc_ValueError, "the matrix's index pointers changed after it was validated");
    if (int32) {
        snapshot<int32_t>(from, nnz, index_, hdr_);
        check_structure(static_cast<const int32_t *>(hdr_.p), static_cast<const int32_t *>(hdr_.i), nrow, ncol);
    } else {
        snapshot<int64_t>(from, nnz, index_, hdr_);
        check_structure(static_cast<const int64_t *>(hdr_.p), static_cast<const int64_t *>(hdr_.i), nrow, ncol);
    }
    if (finite) check_values();
}

void SparseView::check_values() {
    max_abs_ = largest_magnitude(hdr_.x, int64_t(hdr_.nzmax) * (hdr_.xtype == CHOLMOD_REAL ? 1 : 2));
    if (!std::isfinite(max_abs_))
        raise(PyExc_ValueError, "the matrix's values changed to NaN or infinity after it was validated");
}

// ---- scaling ---------------------------------------------------------------------------

double scale_for(double max_abs) {
    if (max_abs == 0 || (max_abs <= 0x1p480 && max_abs >= 0x1p-480)) return 1.0;
    int e = 0;
    std::frexp(max_abs, &e);
    return std::ldexp(1.0, -e);
}

void scale_values(cholmod_sparse &A, double s, std::vector<double> &store) {
    const size_t n = A.nzmax * (A.xtype == CHOLMOD_REAL ? 1 : 2);
    const double *x = static_cast<const double *>(A.x);
    store.resize(n + 1);
    for (size_t k = 0; k < n; ++k) store[k] = x[k] * s;
    A.x = store.data();
}

// ---- calls in progress, and interpreter exit ------------------------------------------

namespace {

std::atomic<int64_t> calls_open{0};
std::atomic<bool> draining{false};
std::atomic<unsigned long> drainer{0};  // the thread running the exit hook
thread_local int call_depth = 0;
std::mutex drain_mutex;
std::condition_variable drain_idle;

[[noreturn]] void park() {
    PyEval_SaveThread();
    for (;;) pause();
}

}  // namespace

Call::Call() {
    if (call_depth++ > 0) return;
    calls_open.fetch_add(1);
    if (draining.load() && PyThread_get_thread_ident() != drainer.load()) {
        if (calls_open.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> lock(drain_mutex);
            drain_idle.notify_all();
        }
        park();
    }
}

Call::~Call() {
    if (--call_depth > 0) return;
    if (calls_open.fetch_sub(1) == 1 && draining.load()) {
        std::lock_guard<std::mutex> lock(drain_mutex);
        drain_idle.notify_all();
    }
}

namespace {

void drain_native() {
    drainer.store(PyThread_get_thread_ident());
    draining.store(true);
    Unlocked unlocked;
    std::unique_lock<std::mutex> lock(drain_mutex);
    while (calls_open.load() > 0) drain_idle.wait_for(lock, std::chrono::milliseconds(20));
    lock.unlock();
    unlocked.relock();
}

// A child process has only the thread that forked, which is in no call at
// that moment unless the fork came from Python code that a call runs.
void calls_in_child() { calls_open.store(call_depth > 0 ? 1 : 0); }

}  // namespace

// ---- the headers Python code may fill ----------------------------------------------
//
// `_cholmod_sparse_from_csc` takes a raw address.  It writes only to a header
// that native code of this module is filling at that moment in the calling
// thread (a replacement bound in orvex.spqr's namespace is handed such an
// address), never to an address a caller invents, nor to a header another
// thread is filling: that thread owns the header and reads it as soon as the
// replacement returns.  The registry is guarded by its own mutex (the GIL
// where there is one); no Python code runs while it is held.

namespace {

struct Permit {
    SparseView *view;
    unsigned long thread;
};

struct PermitRegistry {
    nb::ft_mutex mutex;
    std::vector<Permit> permits;
};

PermitRegistry &registry() {
    static auto *r = new PermitRegistry();  // lives as long as the process; no Python code in its constructor
    return *r;
}

SparseView *permitted_view(uintptr_t address) {
    const unsigned long me = PyThread_get_thread_ident();
    PermitRegistry &r = registry();
    nb::ft_lock_guard guard(r.mutex);
    for (const Permit &p : r.permits)
        if (p.thread == me && reinterpret_cast<uintptr_t>(p.view->header()) == address) return p.view;
    return nullptr;
}

}  // namespace

FillPermit::FillPermit(SparseView &view) : view_(&view) {
    PermitRegistry &r = registry();
    nb::ft_lock_guard guard(r.mutex);
    r.permits.push_back({view_, PyThread_get_thread_ident()});
}

FillPermit::~FillPermit() {
    PermitRegistry &r = registry();
    nb::ft_lock_guard guard(r.mutex);
    auto &permits = r.permits;
    for (size_t k = permits.size(); k-- > 0;)
        if (permits[k].view == view_) {
            permits.erase(permits.begin() + std::ptrdiff_t(k));
            break;
        }
}

// ---- dense operands -----------------------------------------------------------------

std::unique_ptr<Buffer> buffer_of(nb::handle obj, const Refusal &refusal) {
    if (PyObject_CheckBuffer(obj.ptr())) {
        try {
            return std::make_unique<Buffer>(obj);
        } catch (nb::python_error &) {  // e.g. datetimes: no buffer format
        }
    }
    raise(refusal.type, refusal.message);
}

void DenseView::capture(nb::handle obj, const DenseRules &rules) { capture(buffer_of(obj, rules.kind), rules); }

void DenseView::capture(std::unique_ptr<Buffer> buffer, const DenseRules &rules) {
    buf_ = std::move(buffer);
    const Buffer &b = *buf_;
    const bool real = b.holds_entry<double>(), complex = b.holds_entry<Complex>();
    const bool typed = rules.xtype == CHOLMOD_REAL ? real : rules.xtype == CHOLMOD_COMPLEX ? complex : real || complex;
    if (b.ndim() != rules.ndim || !typed) raise(rules.kind.type, rules.kind.message);
    if (!(rules.ndim == 1 ? b.c_contiguous() : b.f_contiguous())) raise(rules.layout.type, rules.layout.message);
    if (rules.misaligned && !b.aligned(sizeof(double))) raise(PyExc_ValueError, rules.misaligned);
    if (rules.writable && b.readonly()) {
        PyErr_Format(PyExc_ValueError, "buffer source array '%s' is read-only", rules.writable);
        throw nb::python_error();
    }
    const size_t nrow = size_t(b.shape(0)), ncol = rules.ndim == 1 ? 1 : size_t(b.shape(1));
    void *data = b.data();
    if (!b.aligned(sizeof(double))) {  // a view at an odd offset into some buffer
        const size_t bytes = nrow * ncol * b.itemsize();
        copy_.resize((bytes + sizeof(Complex) - 1) / sizeof(Complex));
        if (bytes) std::memcpy(copy_.data(), data, bytes);
        data = copy_.data();
    }
    if (real) dense_header<double>(data, nrow, ncol, &hdr_);
    else dense_header<Complex>(data, nrow, ncol, &hdr_);
}

void check_finite_operand(const cholmod_dense &X, const char *what) {
    const int64_t per_entry = X.xtype == CHOLMOD_REAL ? 1 : 2;
    const double *x = static_cast<const double *>(X.x);
    bool bad = false;
    for (size_t c = 0; c < X.ncol && !bad; ++c)
        bad = any_nonfinite(x + c * X.d * per_entry, int64_t(X.nrow) * per_entry);
    if (bad) raise(PyExc_ValueError, std::string(what) + " contains NaN or infinite values.");
}

// ---- adopting SPQR's results ------------------------------------------------------

namespace {

// Ownership of one block allocated by SuiteSparse, for a NumPy array's base.
nb::capsule suitesparse_owner(void *p) {
    return nb::capsule(p, [](void *q) noexcept { SuiteSparse_free(q); });
}

// Account for blocks leaving a workspace's care, as CHOLMOD's free would.
void forget(cholmod_common *cm, size_t blocks, size_t bytes) {
    if (!cm) return;
    cm->malloc_count = cm->malloc_count >= blocks ? cm->malloc_count - blocks : 0;
    cm->memory_inuse = cm->memory_inuse >= bytes ? cm->memory_inuse - bytes : 0;
}

// Hand the block `block` points at to a new NumPy array.  The pointer is
// cleared as soon as the array's owner holds the block, so that whoever
// frees what was not adopted never frees it a second time.
template <class T> nb::object adopt_block(void *&block, int ndim, const npy_intp *dims, const npy_intp *strides) {
    nb::capsule owner = suitesparse_owner(block);  // if this fails, the block is still ours
    T *data = static_cast<T *>(block);
    block = nullptr;
    return wrap_array(data, ndim, dims, strides, owner);
}

template <class T> nb::object adopt_vector(void *&block, size_t n) {
    const npy_intp dims[1] = {npy_intp(n)};
    return adopt_block<T>(block, 1, dims, nullptr);
}

template <class Entry> nb::object adopt_dense_values(cholmod_dense *X, bool column) {
    if (column) return adopt_vector<Entry>(X->x, X->nrow);
    const npy_intp dims[2] = {npy_intp(X->nrow), npy_intp(X->ncol)};
    const npy_intp strides[2] = {npy_intp(sizeof(Entry)), npy_intp(X->d * sizeof(Entry))};
    return adopt_block<Entry>(X->x, 2, dims, strides);
}

}  // namespace

nb::object adopt_dense(cholmod_dense *X, cholmod_common *cm, bool column) {
    if (!X) raise(PyExc_RuntimeError, "SPQR returned no result");
    const size_t esize = X->xtype == CHOLMOD_REAL ? sizeof(double) : sizeof(Complex);
    struct Release {  // the header, and the values unless an array took them
        cholmod_dense *X;
        cholmod_common *cm;
        size_t bytes;
        ~Release() {
            SuiteSparse_free(X->x);
            SuiteSparse_free(X);
            forget(cm, 2, bytes);
        }
    } release{X, cm, sizeof(cholmod_dense) + X->nzmax * esize};
    return X->xtype == CHOLMOD_REAL ? adopt_dense_values<double>(X, column) : adopt_dense_values<Complex>(X, column);
}

namespace {
// scipy.sparse.csc_array, looked up once at import (register_cholmod): a
// function-local static would run Python code under C++'s initialisation
// lock, which a thread without the GIL may wait on while another needs it
// to stop for the garbage collector.
PyObject *csc_array_type = nullptr;
}  // namespace

nb::object make_csc(nb::object data, nb::object indices, nb::object indptr, int64_t nrow, int64_t ncol) {
    nb::object S = nb::handle(csc_array_type)(nb::make_tuple(nrow, ncol), nb::arg("dtype") = data.attr("dtype"));
    S.attr("indptr") = indptr;
    S.attr("indices") = indices;
    S.attr("data") = data;
    return S;
}

nb::object adopt_sparse(cholmod_sparse *A, cholmod_common *cm) {
    if (!A) raise(PyExc_RuntimeError, "SPQR returned no result");
    const bool int32 = A->itype == CHOLMOD_INT;
    const bool real = A->xtype == CHOLMOD_REAL;
    const size_t isize = int32 ? sizeof(int32_t) : sizeof(int64_t);
    const size_t esize = real ? sizeof(double) : sizeof(Complex);
    const size_t blocks = 4 + (A->nz ? 1 : 0);
    const size_t bytes = sizeof(cholmod_sparse) + (A->ncol + 1) * isize + A->nzmax * (isize + esize) +
                         (A->nz ? A->ncol * isize : 0);
    struct Release {  // frees whatever has not been adopted yet
        cholmod_sparse *A;
        cholmod_common *cm;
        size_t blocks, bytes;
        ~Release() {
            SuiteSparse_free(A->p);
            SuiteSparse_free(A->i);
            SuiteSparse_free(A->x);
            SuiteSparse_free(A->nz);
            SuiteSparse_free(A);
            forget(cm, blocks, bytes);
        }
    } release{A, cm, blocks, bytes};

    if (!A->packed) raise(PyExc_RuntimeError, "SPQR returned an unpacked sparse matrix");
    const int64_t nnz = int32 ? int64_t(static_cast<int32_t *>(A->p)[A->ncol]) : static_cast<int64_t *>(A->p)[A->ncol];
    nb::object indptr = int32 ? adopt_vector<int32_t>(A->p, A->ncol + 1) : adopt_vector<int64_t>(A->p, A->ncol + 1);
    nb::object indices = int32 ? adopt_vector<int32_t>(A->i, size_t(nnz)) : adopt_vector<int64_t>(A->i, size_t(nnz));
    nb::object data = real ? adopt_vector<double>(A->x, size_t(nnz)) : adopt_vector<Complex>(A->x, size_t(nnz));
    return make_csc(data, indices, indptr, int64_t(A->nrow), int64_t(A->ncol));
}

nb::object copy_indices(const void *p, int64_t n, bool use_int32) {
    if (n < 0) n = 0;
    if (use_int32) {
        std::vector<int32_t> v(static_cast<size_t>(n));
        if (n && p) std::memcpy(v.data(), p, size_t(n) * sizeof(int32_t));
        return array_from_vector(std::move(v));
    }
    std::vector<int64_t> v(static_cast<size_t>(n));
    if (n && p) std::memcpy(v.data(), p, size_t(n) * sizeof(int64_t));
    return array_from_vector(std::move(v));
}

// ---- structure check for orvex.utils ---------------------------------------------

namespace {

// 0: canonical (sorted rows, no duplicates), 1: valid but not canonical.
template <class Int> int classify(const Buffer &p, const Buffer &i, int64_t ndata, int64_t nrow, int64_t ncol) {
    const Int *P = static_cast<const Int *>(p.data());
    const Int *I = static_cast<const Int *>(i.data());
    if (p.size() != ncol + 1) raise(PyExc_ValueError, "index pointer array must have one entry per column (row, for CSR) plus one");
    if (P[ncol] > i.size()) raise(PyExc_ValueError, "index pointer array ends beyond the row index array");
    if (ndata >= 0 && P[ncol] > ndata) raise(PyExc_ValueError, "index pointer array ends beyond the data array");
    check_structure(P, I, nrow, ncol);
    // Rows strictly increase within each column unless some descent of the
    // index array lies inside a column: count all descents in one pass, then
    // discount those at column boundaries (each boundary position once).
    const int64_t nnz = P[ncol];
    uint64_t descents = 0;
    for (int64_t k = 1; k < nnz; ++k) descents += uint64_t(I[k] <= I[k - 1]);
    for (int64_t j = 1; j < ncol && descents; ++j) {
        const int64_t b = P[j];
        if (b > 0 && b < nnz && b != P[j - 1] && I[b] <= I[b - 1]) --descents;
    }
    return descents ? 1 : 0;
}

template <class Entry> void check_finite(const Buffer &x) {
    const Entry *v = static_cast<const Entry *>(x.data());
    if (!any_nonfinite(v, x.size() * int64_t(sizeof(Entry) / sizeof(double)))) return;
    // Report the first offender, NaN or infinity.
    for (int64_t k = 0, n = x.size(); k < n; ++k) {
        const double parts[2] = {std::real(v[k]), std::imag(v[k])};
        for (double d : parts) {
            if (std::isnan(d)) raise(PyExc_ValueError, "A contains NaN values.");
            if (std::isinf(d)) raise(PyExc_ValueError, "A contains infinite values.");
        }
    }
}

// Check the structure (and, given `data`, that all values are finite) of a
// compressed matrix with `ncol` major and `nrow` minor dimensions.
int csc_check(nb::handle indptr, nb::handle indices, nb::handle data, int64_t nrow, int64_t ncol) {
    Buffer p(indptr), i(indices);
    if (p.ndim() != 1 || i.ndim() != 1 || !p.c_contiguous() || !i.c_contiguous())
        raise(PyExc_ValueError, "index arrays must be contiguous and one-dimensional");
    int64_t ndata = -1;
    if (!data.is_none()) {
        Buffer x(data);
        ndata = x.size();
        if (x.ndim() != 1 || !x.c_contiguous()) raise(PyExc_ValueError, "data must be contiguous and one-dimensional");
        if (x.holds_entry<double>()) check_finite<double>(x);
        else if (x.holds_entry<Complex>()) check_finite<Complex>(x);
        else raise(PyExc_TypeError, "data must be a float64 or complex128 array");
    }
    if (p.holds_index<int32_t>() && i.holds_index<int32_t>()) return classify<int32_t>(p, i, ndata, nrow, ncol);
    if (p.holds_index<int64_t>() && i.holds_index<int64_t>()) return classify<int64_t>(p, i, ndata, nrow, ncol);
    raise(PyExc_TypeError, "index arrays must both be int32 or both be int64");
}

}  // namespace

// ---- workspaces --------------------------------------------------------------

void copy_common(cholmod_common *dst, const cholmod_common *src) {
    if (!dst || !src) throw NativeError{NativeError::Assertion, {}};
    dst->SPQR_flopcount = src->SPQR_flopcount;
    dst->SPQR_analyze_time = src->SPQR_analyze_time;
    dst->SPQR_factorize_time = src->SPQR_factorize_time;
    dst->SPQR_solve_time = src->SPQR_solve_time;
    dst->SPQR_flopcount_bound = src->SPQR_flopcount_bound;
    dst->SPQR_tol_used = src->SPQR_tol_used;
    dst->SPQR_norm_E_fro = src->SPQR_norm_E_fro;
    static_assert(sizeof dst->SPQR_istat == sizeof src->SPQR_istat, "");
    std::memcpy(dst->SPQR_istat, src->SPQR_istat, sizeof dst->SPQR_istat);
    dst->memory_usage = std::max(dst->memory_usage, src->memory_usage);
}

void register_cholmod(nb::module_ &m) {
    csc_array_type = nb::object(nb::module_::import_("scipy.sparse").attr("csc_array")).release().ptr();
    static bool registered = false;
    if (!registered) {
        pthread_atfork(nullptr, nullptr, calls_in_child);
        registered = true;
    }
    m.def("_drain_native", &drain_native,
          "Wait until no other thread is inside a call of orvex's native code; threads entering afterwards "
          "park (registered with atexit).");
    nb::module_::import_("atexit").attr("register")(m.attr("_drain_native"));
    m.def(
        "_cholmod_sparse_from_csc",
        [](nb::handle shape, nb::handle indptr, nb::handle indices, nb::handle data, nb::handle stype_h,
           nb::handle address_h) {
            Call call;
            const long long stype = as_integer(stype_h);
            if (stype < -1 || stype > 1) raise(PyExc_ValueError, "stype must be -1, 0 or 1");
            nb::object address_index = nb::steal(PyNumber_Index(address_h.ptr()));
            if (!address_index.is_valid()) throw nb::python_error();
            const unsigned long long address = PyLong_AsUnsignedLongLong(address_index.ptr());
            if (PyErr_Occurred()) throw nb::python_error();  // OverflowError for negative addresses
            if (address == 0) raise(PyExc_ValueError, "address must not be 0");
            // The arguments are checked first, so that bad arrays get their
            // own errors whatever the address.
            SparseView probe;
            probe.fill(shape, indptr, indices, data, int(stype));
            probe.capture(false);
            SparseView *view = permitted_view(uintptr_t(address));
            if (!view)
                raise(PyExc_ValueError, "address is not that of a cholmod_sparse header orvex is filling; "
                                        "this function serves orvex's own native code only");
            view->fill(shape, indptr, indices, data, int(stype));
        },
        nb::arg("shape").none(), nb::arg("indptr").none(), nb::arg("indices").none(), nb::arg("data").none(), nb::arg("stype").none(),
        nb::arg("address").none(),
        "Fill the cholmod_sparse record at `address` so that it describes a CSC\n"
        "matrix's arrays in place.  Only a record that orvex's native code is filling\n"
        "at that moment is accepted (ValueError otherwise); the record keeps the\n"
        "arrays alive for as long as it is used.");
    m.def("_csc_check", &csc_check, nb::call_guard<Call>(), nb::arg("indptr").none(), nb::arg("indices").none(), nb::arg("data").none(),
          nb::arg("nrow").none(), nb::arg("ncol").none(),
          "Check a compressed matrix's structure and values: 0 when canonical (sorted, no\n"
          "duplicates), 1 when valid but not canonical; ValueError when invalid.");
}

}  // namespace orvex
