// SPQRFactor: one SPQR factorization Q R = A E and its own CHOLMOD workspace.
#pragma once

#include "orvex/spqr/frame/frame.hpp"

#include <SuiteSparseQR.hpp>

#include <atomic>
#include <memory>
#include <mutex>

namespace orvex {


// The instance record.  Allocation zero-fills it: `cm` null and every slot
// null is the "allocated, never constructed" state.
struct FactorObject {
    PyObject_HEAD
    cholmod_common common;  // the workspace, embedded
    cholmod_common *cm;     // &common once started, else null
    QRFactor<double, int32_t> *factor_di;
    QRFactor<double, int64_t> *factor_dl;
    QRFactor<Complex, int32_t> *factor_zi;
    QRFactor<Complex, int64_t> *factor_zl;
    int32_t use_int32;
    int32_t is_real;
    int32_t m, n;
    PyObject *itype;  // numpy dtype or null
    PyObject *dtype;
    double tol;
    // The numeric factorization is that of scale * A (see scale_for); 1 for
    // matrices whose norms SPQR computes safely.
    double scale;
    // The analysed sparsity pattern (column pointers then row indices, in
    // the index type), kept so that a matrix of another pattern never
    // reaches SPQR's numeric phase.  Allocated with SuiteSparse_malloc.
    void *pattern;
    int64_t pattern_nnz;
    // Serialises the calls on this object (FactorCall); constructed by the
    // type's tp_new.
    alignas(std::mutex) unsigned char mutex_storage[sizeof(std::mutex)];
    bool mutex_ready;
    std::atomic<unsigned long> owner;  // thread holding the mutex, 0 for none
    int32_t depth;                     // calls of that thread in progress
    // While the mutex is held: the neighbours in the list of busy factors.
    FactorObject *busy_prev, *busy_next;
    // In a forked child: another thread held the factor at the fork.
    bool forked_busy;
};

// The factors whose mutex is held (see factor.cpp, fork).
class BusyFactors {
public:
    void enter(FactorObject *f);
    void leave(FactorObject *f);
    static void before_fork();
    static void in_parent();
    static void in_child();

private:
    std::mutex mutex_;
    FactorObject *head_ = nullptr;
};
BusyFactors &busy_factors();

// Holds a factor for the whole of one call, its Python phase included, so
// that nothing another thread does can change the factor between the checks
// and the SPQR calls.  A thread that finds the factor busy waits with the
// GIL released.  The thread holding the factor may enter it again from
// Python code that the call runs (a warnings hook, a conversion): using the
// factor is allowed then, since nothing of it is in use at that moment;
// changing it (`Change`: __init__, factorize) is refused with RuntimeError.
// The call also holds a reference to the factor.
class FactorCall {
public:
    enum Access { Use, Change };
    FactorCall(FactorObject *self, Access access);
    ~FactorCall();
    FactorCall(const FactorCall &) = delete;
    FactorCall &operator=(const FactorCall &) = delete;

private:
    FactorObject *self_;
    nb::object keep_;
};

template <class Entry, class Int> QRFactor<Entry, Int> *&slot(FactorObject *self);
template <> inline QRFactor<double, int32_t> *&slot<double, int32_t>(FactorObject *s) { return s->factor_di; }
template <> inline QRFactor<double, int64_t> *&slot<double, int64_t>(FactorObject *s) { return s->factor_dl; }
template <> inline QRFactor<Complex, int32_t> *&slot<Complex, int32_t>(FactorObject *s) { return s->factor_zi; }
template <> inline QRFactor<Complex, int64_t> *&slot<Complex, int64_t>(FactorObject *s) { return s->factor_zl; }

// Call `f(Tag<Entry>, Tag<Int>)` for the object's variant.
template <class F> decltype(auto) dispatch(FactorObject *self, F &&f) {
    return dispatch(self->is_real != 0, self->use_int32 != 0, std::forward<F>(f));
}

// Run `work(Tag<Entry>, Tag<Int>)`, which returns a result SPQR allocated
// through the factor's workspace (a cholmod_dense or cholmod_sparse, null on
// failure), with the GIL released; then adopt the result (see adopt_result).
template <class F> nb::object run_and_adopt(FactorObject *self, bool column, F &&work) {
    decltype(dispatch(self, work)) Y = nullptr;
    run_native([&] { Y = dispatch(self, work); });
    return dispatch(self, [&](auto, auto i) { return adopt_result<typename decltype(i)::type>(Y, self->cm, column); });
}

PyTypeObject *factor_type();
FactorObject *as_factor(nb::handle h);  // TypeError unless an SPQRFactor

// State checks; both raise AssertionError without a message.
void require_symbolic(FactorObject *self);
void require_numeric(FactorObject *self);
bool has_numeric(FactorObject *self);

// Release the factorization, the pattern and the workspace.  Safe on any
// state.  release_native touches no Python object and returns false when
// SPQR's free failed (the workspace is then left started); release_factor
// reports that as unraisable.
bool release_native(FactorObject *self);
void release_factor(FactorObject *self);

// Allocate a new, unconstructed SPQRFactor (the allocated state).
nb::object new_factor_object();

// A two-dimensional, column-major array of the factor's value type, as the
// Python-visible dense kernels take it (TypeError "No matching signature
// found" for other arrays, ValueError for the wrong layout or value type),
// captured by `view`.
void dense_operand(FactorObject *self, std::unique_ptr<Buffer> buf, DenseView &view);

// The buffer of an argument of a Python-visible dense kernel; an object
// without a usable buffer matches no variant: TypeError "No matching
// signature found".
std::unique_ptr<Buffer> typed_view(nb::handle obj);

// A dense operand of the factor's value type (already cast), described by
// `view`: a vector as one column, a matrix column-major, copied by
// numpy.asfortranarray only when its layout is not.  Whatever the casts and
// that copy returned is checked through its buffer: `rows` rows, `ndim`
// dimensions, the factor's value type.
void column_major(FactorObject *self, nb::object array, int64_t ndim, int64_t rows, const char *what,
                  DenseView &view);

void register_factor(nb::module_ &m);
void register_factor_copy(nb::module_ &m);

}  // namespace orvex
