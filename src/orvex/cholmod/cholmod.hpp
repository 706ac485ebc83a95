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
#include <string>
#include <type_traits>
#include <vector>

#include <cholmod.h>

#include "orvex/cholmod/numpy.hpp"

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

// ---- RAII owners ---------------------------------------------------------

// A CHOLMOD workspace living for one call (the one-call functions use it).
template <class Int> class Workspace {
public:
    Workspace() { Cholmod<Int>::start(&common_); }
    ~Workspace() { Cholmod<Int>::finish(&common_); }
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;
    cholmod_common *get() { return &common_; }

private:
    cholmod_common common_;
};

// A CHOLMOD dense or sparse result until it is adopted by a Python object.
template <class Int> class DenseOwner {
public:
    DenseOwner(cholmod_common *cm, cholmod_dense *X = nullptr) : cm_(cm), X_(X) {}
    ~DenseOwner() { reset(); }
    DenseOwner(const DenseOwner &) = delete;
    DenseOwner &operator=(const DenseOwner &) = delete;
    void reset(cholmod_dense *X = nullptr) {
        if (X_) Cholmod<Int>::free_dense(&X_, cm_);
        X_ = X;
    }
    cholmod_dense *get() const { return X_; }
    cholmod_dense *release() { cholmod_dense *X = X_; X_ = nullptr; return X; }

private:
    cholmod_common *cm_;
    cholmod_dense *X_;
};

template <class Int> class SparseOwner {
public:
    SparseOwner(cholmod_common *cm, cholmod_sparse *A = nullptr) : cm_(cm), A_(A) {}
    ~SparseOwner() { reset(); }
    SparseOwner(const SparseOwner &) = delete;
    SparseOwner &operator=(const SparseOwner &) = delete;
    void reset(cholmod_sparse *A = nullptr) {
        if (A_) Cholmod<Int>::free_sparse(&A_, cm_);
        A_ = A;
    }
    cholmod_sparse *get() const { return A_; }
    cholmod_sparse **out() { reset(); return &A_; }
    cholmod_sparse *release() { cholmod_sparse *A = A_; A_ = nullptr; return A; }

private:
    cholmod_common *cm_;
    cholmod_sparse *A_;
};

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

// Fill `A` so that it describes a CSC matrix's arrays in place.  Checks, in
// O(1), that the arrays are consistent with the shape and with each other.
void sparse_header_from_csc(nb::handle shape, nb::handle indptr, nb::handle indices, nb::handle data,
                            int stype, cholmod_sparse *A);

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

// Duplicate a workspace's parameters and SPQR statistics into `dst`, which
// must have been started with the same integer interface.
void copy_common(cholmod_common *dst, const cholmod_common *src);

void register_cholmod(nb::module_ &m);

}  // namespace orvex

namespace orvex {

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
    bool readonly() const { return view_.readonly; }
    bool f_contiguous() const;
    bool c_contiguous() const;
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
};

// Raise a Python exception of class `type` with `message`.
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise(PyObject *type, const std::string &message);

}  // namespace orvex
