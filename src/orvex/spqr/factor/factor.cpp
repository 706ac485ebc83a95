#include "orvex/spqr/factor/factor.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include <pthread.h>

namespace orvex {

namespace {

PyTypeObject *factor_type_object = nullptr;

// NumPy's dtypes of the four variants, made at import (register_factor):
// never a function-local static initialised by Python code, which a thread
// without the GIL could wait on while its initialiser waits for that thread.
PyObject *float64_dtype = nullptr, *complex128_dtype = nullptr, *int32_dtype = nullptr, *int64_dtype = nullptr;

template <class Entry> PyObject *entry_dtype() {
    return std::is_same<Entry, double>::value ? float64_dtype : complex128_dtype;
}
template <class Int> PyObject *index_dtype() {
    return std::is_same<Int, int32_t>::value ? int32_dtype : int64_dtype;
}

// ---- the type's slots -----------------------------------------------------------

int factor_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FactorObject *>(self);
    Py_VISIT(f->itype);
    Py_VISIT(f->dtype);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int factor_clear(PyObject *self) {
    auto *f = reinterpret_cast<FactorObject *>(self);
    Py_CLEAR(f->itype);
    Py_CLEAR(f->dtype);
    return 0;
}

void factor_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    PyObject *pending = PyErr_GetRaisedException();
    auto *f = reinterpret_cast<FactorObject *>(self);
    // A factor another thread was changing when this (child) process was
    // forked may hold half-made records: they are left unfreed.
    if (!f->forked_busy) release_factor(f);
    factor_clear(self);
    if (f->mutex_ready) {
        reinterpret_cast<std::mutex *>(f->mutex_storage)->~mutex();
        f->mutex_ready = false;
    }
    PyErr_SetRaisedException(pending);
    PyTypeObject *tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// Run `body` and turn a C++/nanobind exception into a Python error.
template <class F> PyObject *guarded(F &&body) {
    Call call;
    try {
        return body();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject *get_is_numeric(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        auto *f = reinterpret_cast<FactorObject *>(self);
        FactorCall call(f, FactorCall::Use);
        return PyBool_FromLong(has_numeric(f));
    });
}

PyObject *get_shape(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        auto *f = reinterpret_cast<FactorObject *>(self);
        FactorCall call(f, FactorCall::Use);
        return Py_BuildValue("(ii)", f->m, f->n);
    });
}

PyObject *get_rank(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        auto *f = reinterpret_cast<FactorObject *>(self);
        FactorCall call(f, FactorCall::Use);
        nb::object numeric = nb::steal(PyObject_GetAttrString(self, "is_numeric"));
        if (!numeric.is_valid()) throw nb::python_error();
        if (!nb::bool_(numeric) || !has_numeric(f)) Py_RETURN_NONE;
        return dispatch(f, [&](auto e, auto i) {
            using Entry = typename decltype(e)::type;
            using Int = typename decltype(i)::type;
            return PyLong_FromLongLong(slot<Entry, Int>(f)->rank);
        });
    });
}

PyObject *get_perm(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        auto *f = reinterpret_cast<FactorObject *>(self);
        FactorCall call(f, FactorCall::Use);
        require_symbolic(f);
        return dispatch(f, [&](auto e, auto i) {
            using Entry = typename decltype(e)::type;
            using Int = typename decltype(i)::type;
            const Int *q = slot<Entry, Int>(f)->Q1fill;
            if (q) return copy_indices(q, f->n, f->use_int32).release().ptr();
            // No fill-reducing ordering was applied: the identity.
            std::vector<Int> id(size_t(f->n));
            for (int32_t k = 0; k < f->n; ++k) id[size_t(k)] = Int(k);
            return copy_indices(id.data(), f->n, f->use_int32).release().ptr();
        });
    });
}

PyObject *get_object(PyObject *self, PyObject *FactorObject::*field) {
    return guarded([&]() -> PyObject * {
        auto *f = reinterpret_cast<FactorObject *>(self);
        FactorCall call(f, FactorCall::Use);
        PyObject *value = f->*field;
        if (!value) Py_RETURN_NONE;
        return Py_NewRef(value);
    });
}
PyObject *get_itype(PyObject *self, void *) { return get_object(self, &FactorObject::itype); }
PyObject *get_dtype(PyObject *self, void *) { return get_object(self, &FactorObject::dtype); }

// tp_new: the allocated state, with the object's mutex constructed.
PyObject *factor_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject *self = alloc(type, 0);
    if (!self) return nullptr;
    auto *f = reinterpret_cast<FactorObject *>(self);
    new (f->mutex_storage) std::mutex();
    new (&f->owner) std::atomic<unsigned long>(0);
    f->scale = 1.0;
    f->depth = 0;
    f->mutex_ready = true;
    return self;
}

}  // namespace

PyObject *factor_info(PyObject *self, void *);  // info/info.cpp

namespace {

PyGetSetDef factor_getset[] = {
    {"is_numeric", get_is_numeric, nullptr, "True when the numeric factorization has been computed.", nullptr},
    {"shape", get_shape, nullptr, "Shape (M, N) of the factorized matrix.", nullptr},
    {"rank", get_rank, nullptr, "SPQR's estimate of the rank of A, or None before factorization.", nullptr},
    {"perm", get_perm, nullptr, "The column permutation E of Q R = A E, as an index array.", nullptr},
    {"info", factor_info, nullptr, "Statistics of the factorization, as a new SPQRInfo record.", nullptr},
    {"itype", get_itype, nullptr, "Index dtype of the factorized matrix.", nullptr},
    {"dtype", get_dtype, nullptr, "Value dtype of the factorized matrix.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot factor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(factor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(factor_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(factor_clear)},
    {Py_tp_getset, factor_getset},
    {Py_tp_new, reinterpret_cast<void *>(factor_new)},
    {0, nullptr},
};

PyType_Spec factor_spec = {
    "orvex.spqr.SPQRFactor",
    sizeof(FactorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    factor_slots,
};

}  // namespace

PyTypeObject *factor_type() { return factor_type_object; }

FactorObject *as_factor(nb::handle h) {
    if (!factor_type_object || !PyObject_TypeCheck(h.ptr(), factor_type_object))
        raise(PyExc_TypeError, "expected an SPQRFactor object");
    return reinterpret_cast<FactorObject *>(h.ptr());
}

nb::object new_factor_object() {
    nb::object f = nb::steal(factor_new(factor_type_object, nullptr, nullptr));
    if (!f.is_valid()) throw nb::python_error();
    return f;
}

// ---- the per-factor lock -------------------------------------------------------------

FactorCall::FactorCall(FactorObject *self, Access access) : self_(self) {
    if (!self->mutex_ready) raise(PyExc_RuntimeError, "SPQRFactor object was not created by SPQRFactor.__new__");
    if (self->forked_busy)
        raise(PyExc_RuntimeError,
              "SPQRFactor was in use by another thread when this process was forked; its state in the child "
              "process is unknown, and it cannot be used here");
    const unsigned long me = PyThread_get_thread_ident();
    if (self->owner.load(std::memory_order_acquire) == me) {
        // Python code run by a call of this thread, on this factor.
        if (access == Change)
            raise(PyExc_RuntimeError,
                  "SPQRFactor is in use: a call on this factor is in progress in this thread, and the factor "
                  "cannot be re-initialized or refactorized until that call returns");
        ++self->depth;
    } else {
        auto *mutex = reinterpret_cast<std::mutex *>(self->mutex_storage);
        // Never block the interpreter on a factor, nor Ctrl-C on a busy one:
        // the wait retries without the interpreter lock, backing off from
        // 20 us to 1 ms, and runs the signal handlers every 5 ms.  (A timed
        // lock would hand over sooner, but ThreadSanitizer does not see
        // pthread_mutex_clocklock, which libstdc++'s try_lock_for uses.)
        if (!mutex->try_lock()) {
            for (;;) {
                bool locked = false;
                Unlocked unlocked;
                auto pause = std::chrono::microseconds(20);
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
                while (!(locked = mutex->try_lock()) && std::chrono::steady_clock::now() < until) {
                    std::this_thread::sleep_for(pause);
                    pause = std::min<std::chrono::microseconds>(2 * pause, std::chrono::milliseconds(1));
                }
                unlocked.relock();
                if (locked) break;
                if (PyErr_CheckSignals() < 0) throw nb::python_error();
            }
        }
        self->owner.store(me, std::memory_order_release);
        self->depth = 1;
        busy_factors().enter(self);
    }
    keep_ = nb::borrow(reinterpret_cast<PyObject *>(self));
}

FactorCall::~FactorCall() {
    if (--self_->depth == 0) {
        busy_factors().leave(self_);
        self_->owner.store(0, std::memory_order_release);
        reinterpret_cast<std::mutex *>(self_->mutex_storage)->unlock();
    }
}

// ---- fork ----------------------------------------------------------------------------
//
// The factors whose lock is held, in a list of their own.  A child process
// has only the thread that called fork: a factor that another thread held
// at that moment may be half-changed, and its lock would never be
// released.  In the child such a factor gets a fresh lock and refuses every
// use; factors the forking thread itself holds are left to that thread's
// calls, which go on in the child.

BusyFactors &busy_factors() {
    static auto *list = new BusyFactors();  // lives as long as the process
    return *list;
}

void BusyFactors::enter(FactorObject *f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f->busy_next = head_;
    f->busy_prev = nullptr;
    if (head_) head_->busy_prev = f;
    head_ = f;
}

void BusyFactors::leave(FactorObject *f) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (f->busy_prev) f->busy_prev->busy_next = f->busy_next;
    else if (head_ == f) head_ = f->busy_next;
    if (f->busy_next) f->busy_next->busy_prev = f->busy_prev;
    f->busy_next = f->busy_prev = nullptr;
}

void BusyFactors::before_fork() { busy_factors().mutex_.lock(); }
void BusyFactors::in_parent() { busy_factors().mutex_.unlock(); }
void BusyFactors::in_child() {
    BusyFactors &list = busy_factors();
    const unsigned long me = PyThread_get_thread_ident();
    FactorObject *kept = nullptr;
    for (FactorObject *f = list.head_, *next; f; f = next) {
        next = f->busy_next;
        if (f->owner.load(std::memory_order_relaxed) == me) {  // this thread's own call goes on
            f->busy_next = kept;
            f->busy_prev = nullptr;
            if (kept) kept->busy_prev = f;
            kept = f;
            continue;
        }
        f->forked_busy = true;
        new (f->mutex_storage) std::mutex();
        f->owner.store(0, std::memory_order_relaxed);
        f->depth = 0;
        f->busy_next = f->busy_prev = nullptr;
    }
    list.head_ = kept;
    list.mutex_.unlock();
}

bool has_numeric(FactorObject *self) {
    if (!self->cm || !self->dtype) return false;
    return dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        auto *QR = slot<Entry, Int>(self);
        return QR && QR->QRsym && QR->QRnum;
    });
}

void require_symbolic(FactorObject *self) {
    // The dtypes are set only once SPQR has succeeded.
    bool ok = self->cm && self->itype && self->dtype && dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        auto *QR = slot<Entry, Int>(self);
        return QR && QR->QRsym;
    });
    if (!ok) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
}

void require_numeric(FactorObject *self) {
    require_symbolic(self);
    if (!has_numeric(self)) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
}

bool release_native(FactorObject *self) {
    SuiteSparse_free(self->pattern);
    self->pattern = nullptr;
    self->pattern_nnz = 0;
    if (!self->cm) return true;
    bool freed = dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        return SuiteSparseQR_free<Entry, Int>(&slot<Entry, Int>(self), self->cm) != 0;
    });
    if (!freed) return false;
    if (self->use_int32) cholmod_finish(self->cm);
    else cholmod_l_finish(self->cm);
    self->cm = nullptr;
    return true;
}

void release_factor(FactorObject *self) {
    if (release_native(self)) return;
    PyObject *pending = PyErr_GetRaisedException();
    PyErr_SetNone(PyExc_AssertionError);
    nb::object name = nb::str("orvex.spqr.SPQRFactor.__dealloc__");
    PyErr_WriteUnraisable(name.ptr());
    PyErr_SetRaisedException(pending);
}

// ---- helpers shared by the methods ---------------------------------------------------

namespace {

}  // namespace

namespace {

int32_t to_int32(int64_t v, const char *what) {
    if (v > std::numeric_limits<int32_t>::max()) {
        PyErr_Format(PyExc_OverflowError, "the matrix has %lld %s; SPQRFactor supports fewer than 2**31",
                     (long long)v, what);
        throw nb::python_error();
    }
    return int32_t(v);
}

template <class Int> void keep_pattern(FactorObject *self, const cholmod_sparse &A) {
    const Int *p = static_cast<const Int *>(A.p);
    const int64_t nnz = p[A.ncol];
    size_t count = A.ncol + 1 + size_t(nnz);
    void *copy = SuiteSparse_malloc(count, sizeof(Int));
    if (!copy) throw NativeError{NativeError::OutOfMemory, {}};
    std::memcpy(copy, p, (A.ncol + 1) * sizeof(Int));
    if (nnz) std::memcpy(static_cast<Int *>(copy) + A.ncol + 1, A.i, size_t(nnz) * sizeof(Int));
    SuiteSparse_free(self->pattern);
    self->pattern = copy;
    self->pattern_nnz = nnz;
}

template <class Int> bool same_pattern(const FactorObject *self, const cholmod_sparse &A) {
    if (!self->pattern) return false;
    const Int *p = static_cast<const Int *>(A.p);
    const Int *kept = static_cast<const Int *>(self->pattern);
    if (int64_t(p[A.ncol]) != self->pattern_nnz) return false;
    return std::memcmp(kept, p, (A.ncol + 1) * sizeof(Int)) == 0 &&
           (self->pattern_nnz == 0 ||
            std::memcmp(kept + A.ncol + 1, A.i, size_t(self->pattern_nnz) * sizeof(Int)) == 0);
}

// ---- construction ------------------------------------------------------------------

void construct(nb::handle self_h, nb::handle A, nb::handle use_singletons_h, nb::handle order, nb::handle tol_h) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Change);
    int singletons = PyObject_IsTrue(use_singletons_h.ptr());
    if (singletons < 0) throw nb::python_error();

    // Everything that can run Python code.
    Prologue p;
    prologue(p, A, order, tol_h, [] {});
    const int ordering = p.ordering;
    const double tol = p.tol;
    cholmod_sparse *hdr = p.A();
    const bool use_int32 = hdr->itype == CHOLMOD_INT;
    const bool is_real = hdr->xtype == CHOLMOD_REAL;
    const int32_t m = to_int32(int64_t(hdr->nrow), "rows");
    const int32_t n = to_int32(int64_t(hdr->ncol), "columns");
    // Only a factorization reads the values (the analysis alone does not).
    if (singletons) p.scale_values();
    const double scale = p.scale;

    // A second construction replaces the first one completely.
    Py_CLEAR(self->itype);
    Py_CLEAR(self->dtype);
    self->m = self->n = 0;
    bool freed = true;
    run_native([&] {
        freed = release_native(self);
        if (!freed) return;
        self->tol = tol;
        self->scale = scale;
        self->use_int32 = use_int32;
        self->is_real = is_real;
        self->cm = &self->common;
        dispatch(self, [&](auto e, auto i) {
            using Entry = typename decltype(e)::type;
            using Int = typename decltype(i)::type;
            start_common<Int>(self->cm);
            auto &QR = slot<Entry, Int>(self);
            if (singletons) QR = SuiteSparseQR_factorize<Entry, Int>(ordering, scaled_tol(tol, scale), hdr, self->cm);
            else QR = SuiteSparseQR_symbolic<Entry, Int>(ordering, 1, hdr, self->cm);
            if (QR && self->cm->status == CHOLMOD_OK) keep_pattern<Int>(self, *hdr);
        });
    });
    if (!freed) raise(PyExc_AssertionError, "");
    check_status(self->cm);
    dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        if (!slot<Entry, Int>(self)) check_status(CHOLMOD_OUT_OF_MEMORY);
        self->itype = Py_NewRef(index_dtype<Int>());
        self->dtype = Py_NewRef(entry_dtype<Entry>());
    });
    self->m = m;
    self->n = n;
}

// ---- numeric factorization --------------------------------------------------------

[[noreturn]] void mismatch(const char *what, const std::string &expected, const std::string &got) {
    raise(PyExc_ValueError, std::string("The ") + what + " of the input matrix does not match the one used for "
                                "symbolic factorization. Expected " + expected + ", got " + got + ".");
}

std::string quoted(nb::handle v) { return "'" + std::string(nb::str(v).c_str()) + "'"; }

void check_input_matrix(nb::handle self_h, nb::handle A, nb::handle itype) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Use);
    nb::object shape = nb::getattr(self_h, "shape");
    nb::object a_shape = A.attr("shape");
    if (a_shape.not_equal(shape)) mismatch("shape", nb::str(shape).c_str(), nb::str(a_shape).c_str());
    nb::handle own_itype = self->itype ? nb::handle(self->itype) : nb::none();
    if (itype.not_equal(own_itype)) mismatch("integer size", quoted(own_itype), quoted(itype));
    nb::handle own_dtype = self->dtype ? nb::handle(self->dtype) : nb::none();
    nb::object a_dtype = A.attr("dtype");
    if (a_dtype.not_equal(own_dtype)) mismatch("data type", quoted(own_dtype), quoted(a_dtype));
}

bool same_pattern(const FactorObject *self, const cholmod_sparse &A) {
    return self->use_int32 ? same_pattern<int32_t>(self, A) : same_pattern<int64_t>(self, A);
}

[[noreturn]] void other_pattern() {
    raise(PyExc_ValueError, "The sparsity pattern of the input matrix does not match the one used for "
                            "symbolic factorization.");
}

nb::object factorize(nb::handle self_h, nb::handle A, nb::handle tol_h) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Change);
    nb::tuple v = validate(A);
    nb::object Av = v[0];
    nb::getattr(self_h, "_check_input_matrix")(Av, v[2]);

    SparseView view;
    csc_header(Av, view);
    const cholmod_sparse *hdr = view.header();
    // The check above may have been replaced by a subclass: whatever it
    // says, only a matrix of the analysed kind and pattern reaches SPQR.
    require_symbolic(self);
    if (hdr->nrow != size_t(self->m) || hdr->ncol != size_t(self->n) ||
        (hdr->itype == CHOLMOD_INT) != bool(self->use_int32) || (hdr->xtype == CHOLMOD_REAL) != bool(self->is_real))
        check_input_matrix(self_h, Av, v[2]);
    // The structure SPQR will read is the call's own from here on, whatever
    // Python code runs below.
    view.capture(false);
    if (!same_pattern(self, *hdr)) other_pattern();

    double t = self->tol;
    if (!tol_h.is_none()) {
        double new_tol = tolerance(tol_h);
        nb::object numeric = nb::getattr(self_h, "is_numeric");
        if (nb::bool_(numeric) && !(new_tol == self->tol))
            warn(PyExc_UserWarning, "The tolerance has been changed from the one used during a previous "
                                    "numeric factorization. This may lead to inconsistent rank determination.");
        self->tol = new_tol;
        t = new_tol;
    }
    // No Python code runs from here on: the values SPQR reads are checked now.
    view.check_values();
    const double scale = scale_for(view.max_abs());
    std::vector<double> scaled;
    if (scale != 1.0) scale_values(*view.header(), scale, scaled);

    cholmod_common *cm = self->cm;
    configure_threads(cm);  // the thread count in force now, not at construction
    run_native([&] {
        dispatch(self, [&](auto e, auto i) {
            using Entry = typename decltype(e)::type;
            using Int = typename decltype(i)::type;
            SuiteSparseQR_numeric<Entry, Int>(scaled_tol(t, scale), const_cast<cholmod_sparse *>(hdr),
                                              slot<Entry, Int>(self), cm);
        });
    });
    // Whatever SPQR reported, its factorization is now that of these values.
    self->scale = scale;
    check_status(cm);
    return nb::borrow(self_h);
}

}  // namespace

// ---- registration -------------------------------------------------------------------

void register_factor_solve(nb::module_ &m);  // solve.cpp
void register_factor_qmult(nb::module_ &m);  // qmult.cpp

void register_factor(nb::module_ &m) {
    nb::object dtype = nb::module_::import_("numpy").attr("dtype");
    float64_dtype = dtype("float64").release().ptr();
    complex128_dtype = dtype("complex128").release().ptr();
    int32_dtype = dtype("int32").release().ptr();
    int64_dtype = dtype("int64").release().ptr();
    static bool fork_handlers = false;
    if (!fork_handlers) {
        pthread_atfork(BusyFactors::before_fork, BusyFactors::in_parent, BusyFactors::in_child);
        fork_handlers = true;
    }
    factor_type_object = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&factor_spec));
    if (!factor_type_object) throw nb::python_error();
    m.attr("SPQRFactor") = nb::borrow(reinterpret_cast<PyObject *>(factor_type_object));
    m.def("factor_init", &construct, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("A").none(), nb::arg("use_singletons").none(), nb::arg("order").none(),
          nb::arg("tol").none());
    m.def("factor_factorize", &factorize, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("A").none(), nb::arg("tol").none());
    m.def("factor_check_input_matrix", &check_input_matrix, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("A").none(), nb::arg("itype").none());
#ifdef ORVEX_TEST_HOOKS
    m.def(
        "_workspace_counters",
        [](nb::handle self_h) {
            FactorObject *self = as_factor(self_h);
            FactorCall call(self, FactorCall::Use);
            if (!self->cm) return nb::make_tuple(0, 0, 0);
            return nb::make_tuple(self->cm->malloc_count, self->cm->memory_inuse, self->cm->memory_usage);
        },
        nb::arg("factor").none(),
        "(malloc_count, memory_inuse, memory_usage) of a factor's workspace, for leak checks.");
    m.def(
        "_front_tree_flops",
        [](nb::handle self_h) {
            FactorObject *self = as_factor(self_h);
            FactorCall call(self, FactorCall::Use);
            require_symbolic(self);
            return dispatch(self, [&](auto e, auto i) {
                using Int = typename decltype(i)::type;
                const auto *QR = slot<typename decltype(e)::type, Int>(self);
                const auto *S = QR->QRsym;
                const auto *N = QR->QRnum;
                if (!N || !N->keepH || !N->HStair || !N->Hm)
                    raise(PyExc_ValueError, "needs a numeric factorization");
                // SPQR's own count of each front's Householder flops, on the
                // staircase it factorized, and the heaviest chain of fronts
                // (children come first)
                const int64_t nf = S->nf;
                std::vector<double> chain(size_t(nf) + 1, 0.0);
                double total = 0, critical = 0;
                for (int64_t f = 0; f < nf; ++f) {
                    const int64_t fm = int64_t(N->Hm[f]), fn = int64_t(S->Rp[f + 1] - S->Rp[f]);
                    const Int *stair = N->HStair + S->Rp[f];
                    double flops = 0;
                    for (int64_t j = 0; j < fn; ++j) {
                        const int64_t t = std::min(fm, std::max(j + 1, int64_t(stair[j])));
                        if (t > j) flops += double(t - j) * (3 + 4 * double(fn - j - 1));
                    }
                    total += flops;
                    chain[size_t(f)] += flops;
                    critical = std::max(critical, chain[size_t(f)]);
                    const int64_t p = int64_t(S->Parent[f]);
                    if (p >= 0 && p < nf) chain[size_t(p)] = std::max(chain[size_t(p)], chain[size_t(f)]);
                }
                return nb::make_tuple(nf, total, critical);
            });
        },
        nb::arg("factor").none(),
        "(fronts, flops, flops of the heaviest chain of fronts) of a numeric factor's frontal\n"
        "tree: their ratio bounds the speed-up of any scheduler of whole fronts.  Benchmarks only.");
#endif
    register_factor_solve(m);
    register_factor_qmult(m);
    register_factor_copy(m);
}

}  // namespace orvex
