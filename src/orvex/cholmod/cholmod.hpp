// The boundary between NumPy/SciPy objects and CHOLMOD records.
//
// CHOLMOD headers built here describe Python-owned memory in place; results
// that SPQR allocates are adopted by NumPy arrays whose owner frees them with
// SuiteSparse's own free routine.  Everything is templated on the value type
// `Entry` (double or std::complex<double>) and the index type `Int`
// (int32_t or int64_t).
#pragma once

#include <nanobind/nanobind.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <cholmod.h>

#include "orvex/cholmod/numpy.hpp"
#include "orvex/parallel/parallel.hpp"

namespace orvex {

namespace nb = nanobind;
using Complex = std::complex<double>;

// ---- compile-time facts about the four variants ------------------------

template <class Entry> struct EntryTraits;
template <> struct EntryTraits<double> {
    static constexpr int xtype = CHOLMOD_REAL;
    static constexpr const char *dtype = "float64";
};
template <> struct EntryTraits<Complex> {
    static constexpr int xtype = CHOLMOD_COMPLEX;
    static constexpr const char *dtype = "complex128";
};

// CHOLMOD's two integer interfaces: plain `int` routines for 32-bit indices,
// `cholmod_l_` routines for 64-bit ones.
template <class Int> struct Cholmod;
template <> struct Cholmod<int32_t> {
    static constexpr int itype = CHOLMOD_INT;
    static constexpr const char *dtype = "int32";
    static int start(cholmod_common *c) { return cholmod_start(c); }
    static int finish(cholmod_common *c) { return cholmod_finish(c); }
    static int free_dense(cholmod_dense **X, cholmod_common *c) { return cholmod_free_dense(X, c); }
    static int free_sparse(cholmod_sparse **A, cholmod_common *c) { return cholmod_free_sparse(A, c); }
    static void *free(size_t n, size_t size, void *p, cholmod_common *c) { return cholmod_free(n, size, p, c); }
};
template <> struct Cholmod<int64_t> {
    static constexpr int itype = CHOLMOD_LONG;
    static constexpr const char *dtype = "int64";
    static int start(cholmod_common *c) { return cholmod_l_start(c); }
    static int finish(cholmod_common *c) { return cholmod_l_finish(c); }
    static int free_dense(cholmod_dense **X, cholmod_common *c) { return cholmod_l_free_dense(X, c); }
    static int free_sparse(cholmod_sparse **A, cholmod_common *c) { return cholmod_l_free_sparse(A, c); }
    static void *free(size_t n, size_t size, void *p, cholmod_common *c) { return cholmod_l_free(n, size, p, c); }
};

template <class T> struct Tag { using type = T; };

// Call `f(Tag<Entry>{}, Tag<Int>{})` for the variant the two flags name.
template <class F> decltype(auto) dispatch(bool is_real, bool use_int32, F &&f) {
    if (is_real) {
        if (use_int32) return f(Tag<double>{}, Tag<int32_t>{});
        return f(Tag<double>{}, Tag<int64_t>{});
    }
    if (use_int32) return f(Tag<Complex>{}, Tag<int32_t>{});
    return f(Tag<Complex>{}, Tag<int64_t>{});
}

// A read view of a Python object's buffer (NumPy arrays, mostly), with the
// element kind decoded from its format.
class Buffer {
public:
    enum Kind { Float, ComplexFloat, Signed, Unsigned, Bool, Other };

    // Fails with the Python error of the buffer protocol.
    Buffer(nb::handle obj, int flags = PyBUF_RECORDS_RO);
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    Kind kind() const { return kind_; }
    bool native() const { return native_; }
    size_t itemsize() const { return size_t(view_.itemsize); }
    int ndim() const { return view_.ndim; }
    int64_t shape(int k) const { return view_.shape[k]; }
    int64_t size() const;
    void *data() const { return view_.buf; }
    PyObject *exporter() const { return view_.obj; }
    bool readonly() const { return view_.readonly; }
    bool f_contiguous() const;
    bool c_contiguous() const;
    bool aligned(size_t alignment) const { return reinterpret_cast<uintptr_t>(view_.buf) % alignment == 0; }
    // Native-endian value type of exactly Entry / index type of exactly Int.
    template <class Entry> bool holds_entry() const {
        return native_ && itemsize() == sizeof(Entry) &&
               kind_ == (std::is_same<Entry, double>::value ? Float : ComplexFloat);
    }
    template <class Int> bool holds_index() const {
        return native_ && kind_ == Signed && itemsize() == sizeof(Int);
    }

private:
    Py_buffer view_;
    Kind kind_ = Other;
    bool native_ = true;
    // A weak reference to the ndarray that owns the memory: while one
    // exists, NumPy refuses to resize (and so free) that memory, even with
    // refcheck=False.  Null for other exporters.
    nb::object pin_;
};

// Raise a Python exception of class `type` with `message`.
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise(PyObject *type, const std::string &message);

// ---- RAII owners ---------------------------------------------------------

// A CHOLMOD workspace living for one call (the one-call functions use it).
// Start a CHOLMOD workspace as orvex uses it: SuiteSparse's own printing
// is off (failures reach the caller as exceptions carrying the message),
// and SPQR gets the current thread count (configure_threads).
template <class Int> void start_common(cholmod_common *cm) {
    Cholmod<Int>::start(cm);
    cm->print = 0;
    configure_threads(cm);
}

template <class Int> class Workspace {
public:
    Workspace() { start_common<Int>(&common_); }
    ~Workspace() { Cholmod<Int>::finish(&common_); }
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;
    cholmod_common *get() { return &common_; }

private:
    cholmod_common common_;
};

// A CHOLMOD dense or sparse result until it is adopted by a Python object.
template <class Int> inline void free_record(cholmod_dense *X, cholmod_common *cm) { Cholmod<Int>::free_dense(&X, cm); }
template <class Int> inline void free_record(cholmod_sparse *A, cholmod_common *cm) { Cholmod<Int>::free_sparse(&A, cm); }

template <class Record, class Int> class Owner {
public:
    Owner(cholmod_common *cm, Record *r = nullptr) : cm_(cm), r_(r) {}
    ~Owner() { reset(); }
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    void reset(Record *r = nullptr) {
        if (r_) free_record<Int>(r_, cm_);
        r_ = r;
    }
    Record *get() const { return r_; }
    Record **out() { reset(); return &r_; }
    Record *release() { Record *r = r_; r_ = nullptr; return r; }

private:
    cholmod_common *cm_;
    Record *r_;
};
template <class Int> using DenseOwner = Owner<cholmod_dense, Int>;
template <class Int> using SparseOwner = Owner<cholmod_sparse, Int>;

// An index array that SPQR allocated (E, HPinv): `n` entries of Int.
template <class Int> class IndexOwner {
public:
    explicit IndexOwner(cholmod_common *cm) : cm_(cm) {}
    ~IndexOwner() { reset(); }
    IndexOwner(const IndexOwner &) = delete;
    IndexOwner &operator=(const IndexOwner &) = delete;
    void reset() {
        // CHOLMOD's free needs the block's size only for its counters; SPQR
        // allocates these arrays with one entry per row or column.
        if (p_) Cholmod<Int>::free(count_, sizeof(Int), p_, cm_);
        p_ = nullptr;
    }
    void set_count(size_t n) { count_ = n; }
    Int **out() { return &p_; }
    Int *get() const { return p_; }

private:
    cholmod_common *cm_;
    Int *p_ = nullptr;
    size_t count_ = 0;
};

// ---- conversions -----------------------------------------------------------

// SPQR computes column 2-norms (for its tolerance and its Householder
// vectors) without scaling: squares of entries beyond about 2^511 overflow,
// below 2^-511 they vanish.  A matrix whose largest magnitude lies outside
// [2^-480, 2^480] is therefore factorized as s A, with s a power of two
// that brings that magnitude into [1/2, 1), and the scale is undone exactly
// in what is reported (R / s, x s, tolerances / s).  Returns s (1 for
// matrices in range).
double scale_for(double max_abs);

// Point `A` at a copy of its values multiplied by `s` (kept in `store`); the
// caller's array is never written.
void scale_values(cholmod_sparse &A, double s, std::vector<double> &store);

// A cholmod_sparse header over a CSC matrix.  It holds buffer views of the
// arrays it describes, and so references to them, for as long as it lives:
// whatever produced the arrays (a property, a conversion) may drop them, and
// SPQR still reads live memory.
//
// What drives addressing is private to the call: `capture` copies the column
// pointers and row indices into memory of this object, checks the copy and
// points the header at it, so that no other thread writing into (or
// swapping) the caller's index arrays can make native code read or write out
// of bounds.  The values stay in the caller's array (a race on them gives
// wrong numbers, never a bad address), pinned against resizing.
class SparseView {
public:
    SparseView() = default;
    SparseView(const SparseView &) = delete;
    SparseView &operator=(const SparseView &) = delete;

    // Describe the arrays; checks, in O(1), their types and that their
    // lengths agree with the shape and with indptr[-1].
    void fill(nb::handle shape, nb::handle indptr, nb::handle indices, nb::handle data, int stype);
    bool filled() const { return filled_; }
    // Made after the last Python code of a call has run: the snapshot of
    // the index arrays and its O(nnz) checks (column pointers from 0 to nnz
    // without decreasing, row indices in range) and, with `finite`, no NaN
    // or infinite value.  Also records the largest magnitude of the values
    // (max_abs).
    void capture(bool finite);
    // The values' check of capture(true) alone, for a call that captured
    // the structure early and ran Python code since.
    void check_values();
    // The object exporting the row index array.
    PyObject *indices_exporter() const { return i_ ? i_->exporter() : nullptr; }
    cholmod_sparse *header() { return &hdr_; }
    const cholmod_sparse *header() const { return &hdr_; }
    // The largest |value| seen by capture(true) (0 for an empty matrix).
    double max_abs() const { return max_abs_; }

private:
    cholmod_sparse hdr_{};
    std::unique_ptr<Buffer> p_, i_, x_;
    std::vector<int64_t> index_;  // the snapshot (Int entries, 8-aligned)
    double max_abs_ = 0;
    bool filled_ = false;
};

// While one of these lives, `_cholmod_sparse_from_csc` called from Python
// in the thread that made it may fill the header of `view` through its
// address; any other address, and any other thread, is refused.
class FillPermit {
public:
    explicit FillPermit(SparseView &view);
    ~FillPermit();
    FillPermit(const FillPermit &) = delete;
    FillPermit &operator=(const FillPermit &) = delete;

private:
    SparseView *view_;
};

// Fill `X` so that it describes a two-dimensional column-major array of
// Entry in place.  The array must already have been checked by the caller.
template <class Entry> void dense_header(void *data, size_t nrow, size_t ncol, cholmod_dense *X) {
    *X = cholmod_dense{};
    X->nrow = nrow;
    X->ncol = ncol;
    X->nzmax = nrow * ncol;
    X->d = nrow;
    X->x = data;
    X->z = nullptr;
    X->xtype = EntryTraits<Entry>::xtype;
    X->dtype = CHOLMOD_DOUBLE;
}

// Whether any of n doubles is NaN or infinite (the array need not be
// aligned).
bool any_nonfinite(const void *data, int64_t n);

// Products with Q take finite operands only: ValueError ("<what> contains
// NaN or infinite values.") otherwise.  (Both kernels would carry NaN and
// infinity differently: orvex's skips reflectors whose coefficient is zero,
// SPQR's blocked one multiplies them through.)
void check_finite_operand(const cholmod_dense &X, const char *what);

// How a dense operand is refused: the exception class and its message.
struct Refusal {
    PyObject *type;
    std::string message;
};

// `obj`'s buffer (exporting it may run Python code), or `refusal` raised
// when it exports none this module can read.
std::unique_ptr<Buffer> buffer_of(nb::handle obj, const Refusal &refusal);

// What a dense operand must be, and what each failure raises.  The
// entry points keep the messages their callers have always seen, so each
// brings its own.
struct DenseRules {
    int ndim = 2;            // 2: column-major; 1: a vector, taken as one column
    int xtype = 0;           // CHOLMOD_REAL or CHOLMOD_COMPLEX; 0 takes either
    Refusal kind;            // no buffer, or the wrong element type or dimensions
    Refusal layout;          // not column-major (a vector: not contiguous)
    // Null: a misaligned buffer (a view at an odd offset) is copied.
    const char *misaligned = nullptr;  // else raised as ValueError
    // Non-null: a read-only buffer is refused ("buffer source array '<name>'
    // is read-only"); the product writes into nothing of the caller's, but
    // the entry point has always asked for a writable one.
    const char *writable = nullptr;

    // The refusals of the low-level kernels that select their variant from
    // the operand's buffer: TypeError "No matching signature found", then
    // ValueError for the layout, the alignment and (with `writable`) a
    // read-only buffer.
    static DenseRules typed(int xtype = 0, const char *writable = nullptr) {
        DenseRules r;
        r.xtype = xtype;
        r.kind = {PyExc_TypeError, "No matching signature found"};
        r.layout = {PyExc_ValueError, "ndarray is not Fortran contiguous"};
        r.misaligned = "ndarray is not aligned";
        r.writable = writable;
        return r;
    }
};

// A dense operand for SPQR: a cholmod_dense header over an array's buffer,
// held (and so kept alive, and pinned against resizing) by this object, or
// over an aligned copy of its own.  Every dense operand of every entry point
// is captured here.  The element type, shape and strides come from the
// buffer itself, whatever the object's attributes said.
class DenseView {
public:
    DenseView() = default;
    DenseView(const DenseView &) = delete;
    DenseView &operator=(const DenseView &) = delete;

    // Export `obj`'s buffer (which may run Python code) and capture it.
    void capture(nb::handle obj, const DenseRules &rules);
    // Capture a buffer exported earlier in the call; runs no Python code.
    void capture(std::unique_ptr<Buffer> buffer, const DenseRules &rules);
    cholmod_dense *header() { return &hdr_; }
    const cholmod_dense *header() const { return &hdr_; }
    bool real() const { return hdr_.xtype == CHOLMOD_REAL; }

private:
    std::unique_ptr<Buffer> buf_;
    std::vector<Complex> copy_;
    cholmod_dense hdr_{};
};

// An error met while the interpreter lock is released, raised as a Python
// exception once it is held again.
struct NativeError {
    enum Kind { OutOfMemory, Value, Overflow, NotImplemented, Assertion, Spqr } kind;
    std::string message;
};

// One call into orvex's native code from Python (a nanobind call guard, and
// held by the type slots of SPQRFactor).  Calls are counted: at interpreter
// exit, `_drain_native` (an atexit hook, which runs before CPython starts
// ending daemon threads at their next attempt to take the interpreter lock)
// waits until no other thread is inside a call.  A thread could otherwise be
// ended inside one (in Python code the call runs, or when it takes the lock
// back after native work), with native frames, BLAS and SuiteSparse under
// it.  From then on a thread entering orvex from outside any call parks for
// good (as CPython 3.14 parks daemon threads), before anything of the call
// exists; calls nested in a running one go on.
class Call {
public:
    Call();
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
};

// The interpreter lock released around native work (or a wait), and taken
// back by an explicit call rather than in a noexcept destructor.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { relock(); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;
    void relock() {
        if (state_) PyEval_RestoreThread(state_);
        state_ = nullptr;
    }

private:
    PyThreadState *state_;
};

// Run `work` with the interpreter lock released.  `work` must touch no
// Python object; a NativeError or std::bad_alloc it throws is raised as the
// matching Python exception after the lock is taken again.  A signal
// handler's exception (KeyboardInterrupt) that stopped the work
// (interrupt_requested) is raised in preference to anything else.
void raise_native(const NativeError &e);
template <class F> void run_native(F &&work) {
    bool failed = false, no_memory = false;
    NativeError error{NativeError::Value, {}};
    Interruption interruption;
    {
        Unlocked unlocked;
        try {
            work();
        } catch (NativeError &e) {
            failed = true;
            error = std::move(e);
        } catch (const std::bad_alloc &) {
            no_memory = true;
        } catch (const Interrupted &) {
        }
        unlocked.relock();
    }
    interruption.raise_pending();
    if (no_memory) throw std::bad_alloc();
    if (failed) raise_native(error);
}

// Adopt a dense result of SPQR: a NumPy array over its values that frees
// them with SuiteSparse's free.  With `column`, only column 0 is exposed, as
// a one-dimensional array.  The workspace's counters are updated as if the
// matrix had been freed, so the workspace may be finished before the array
// dies.
nb::object adopt_dense(cholmod_dense *X, cholmod_common *cm, bool column = false);

// Adopt a sparse result of SPQR as a SciPy csc_array (no copies; index
// arrays keep the width SPQR used).
nb::object adopt_sparse(cholmod_sparse *A, cholmod_common *cm);

// A new one-dimensional NumPy array copying `n` indices.
nb::object copy_indices(const void *p, int64_t n, bool use_int32);

// One-dimensional NumPy arrays over memory that `owner` keeps alive.
template <class T> inline nb::object array_1d(T *data, size_t n, nb::handle owner) {
    const npy_intp dims[1] = {npy_intp(n)};
    return wrap_array(data, 1, dims, nullptr, owner);
}

// A NumPy array that owns a std::vector's storage.
template <class T> inline nb::object array_from_vector(std::vector<T> &&v) {
    auto *owned = new std::vector<T>(std::move(v));
    nb::capsule owner(owned, [](void *q) noexcept { delete static_cast<std::vector<T> *>(q); });
    return array_1d(owned->data(), owned->size(), owner);
}

// Build a csc_array from arrays the caller already made.
nb::object make_csc(nb::object data, nb::object indices, nb::object indptr, int64_t nrow, int64_t ncol);

// Copy the statistics SPQR left in `src` (what SPQRInfo reports) into `dst`.
// Both workspaces were started with default parameters, so nothing else of
// `src` describes the factorization.
void copy_common(cholmod_common *dst, const cholmod_common *src);

void register_cholmod(nb::module_ &m);

}  // namespace orvex
