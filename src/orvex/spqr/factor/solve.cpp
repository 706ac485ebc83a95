// SPQRFactor.solve: least-squares and transposed solves with dense or sparse
// right-hand sides.
#include "orvex/spqr/factor/factor.hpp"
#include "orvex/spqr/qkernel/qkernel.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

namespace orvex {

namespace {

// X = E (R \ (Q^H B)), or with `transpose` X = Q (R^H \ (E^T B)).  Touches
// no Python object.  Returns the result SPQR allocated, or null with the
// failure left in cm->status.
template <class Entry, class Int>
cholmod_dense *solve_native(QRFactor<Entry, Int> *QR, cholmod_dense *B, bool transpose, cholmod_common *cm) {
    if (!transpose) {
        DenseOwner<Int> QtB(cm, qkernel::qmult<Entry, Int>(SPQR_QTX, QR, B, cm));
        if (cm->status != CHOLMOD_OK || !QtB.get()) return nullptr;
        return SuiteSparseQR_solve<Entry, Int>(SPQR_RETX_EQUALS_B, QR, QtB.get(), cm);
    }
    DenseOwner<Int> Y(cm, SuiteSparseQR_solve<Entry, Int>(SPQR_RTX_EQUALS_ETB, QR, B, cm));
    if (cm->status != CHOLMOD_OK || !Y.get()) return nullptr;
    return qkernel::qmult<Entry, Int>(SPQR_QX, QR, Y.get(), cm);
}

// Undo the factor's scale on a solution: A x = b is (s A) (x / s) = b.
void unscale(cholmod_dense *X, double scale) {
    if (!X || scale == 1.0) return;
    double *x = static_cast<double *>(X->x);
    const size_t n = X->nzmax * (X->xtype == CHOLMOD_REAL ? 1 : 2);
    for (size_t k = 0; k < n; ++k) x[k] *= scale;
}

// The native phase of a dense solve, then the adoption of its result.
nb::object solve_header(FactorObject *self, cholmod_dense *B, bool transpose, bool column) {
    return run_and_adopt(self, column, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        cholmod_dense *X = solve_native<Entry, Int>(slot<Entry, Int>(self), B, transpose, self->cm);
        unscale(X, self->scale);
        return X;
    });
}

int64_t rows_expected(const FactorObject *self, bool transpose) { return transpose ? self->n : self->m; }

nb::object solve_dense(nb::handle self_h, nb::handle b, nb::handle transpose_h) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Use);
    DenseView view;
    dense_operand(self, typed_view(b), view);
    const cholmod_dense &B = *view.header();
    const int transpose = PyObject_IsTrue(transpose_h.ptr());
    if (transpose < 0) throw nb::python_error();
    if (int64_t(B.nrow) != rows_expected(self, transpose)) {
        PyErr_Format(PyExc_ValueError, "b must have %lld rows, got %lld", (long long)rows_expected(self, transpose),
                     (long long)B.nrow);
        throw nb::python_error();
    }
    return solve_header(self, view.header(), transpose, false);
}

// Sparse right-hand sides: batches of columns are scattered into one reused
// column-major buffer, solved, and the nonzeros gathered straight into CSC
// arrays of the factor's index type, all in one native phase.
template <class Entry, class Int>
nb::object solve_sparse(FactorObject *self, nb::object b, bool transpose, Py_ssize_t batch) {
    nb::object shape = b.attr("shape");
    if (nb::cast<int64_t>(shape[1]) == 1) b = b.attr("tocsc")();
    nb::object Bv = module_attr("validate_csc_input")(b)[0];
    SparseView view;
    csc_header(Bv, view);
    view.capture(true);
    const cholmod_sparse &hdr = *view.header();
    if ((hdr.xtype == CHOLMOD_REAL) != std::is_same<Entry, double>::value)
        raise(PyExc_ValueError, "the right-hand side's dtype must be the factor's dtype");
    const int64_t M = int64_t(hdr.nrow), K = int64_t(hdr.ncol), N = rows_expected(self, !transpose);
    if (M != rows_expected(self, transpose)) raise(PyExc_ValueError, "the right-hand side has the wrong row count");

    // The same refusals as iterating range(0, K, batch) over a buffer of
    // min(K, batch) columns.
    if (batch < 0 && K > 0) raise(PyExc_ValueError, "negative dimensions are not allowed");
    if (batch == 0) raise(PyExc_ValueError, "range() arg 3 must not be zero");
    if (batch < 0) raise(PyExc_ValueError, "negative dimensions are not allowed");
    const int64_t width = std::min<int64_t>(K, batch);

    QRFactor<Entry, Int> *QR = slot<Entry, Int>(self);
    cholmod_common *cm = self->cm;
    const double scale = self->scale;
    std::vector<Int> indptr, indices;
    std::vector<Entry> values;
    bool failed = false;
    run_native([&] {
        std::vector<Entry> buffer(size_t(M * width));
        indptr.assign(size_t(K + 1), 0);
        const auto *Bx = static_cast<const Entry *>(hdr.x);
        auto scatter = [&](auto *Bp, auto *Bi, int64_t first, int64_t w) {
            std::fill(buffer.begin(), buffer.begin() + M * w, Entry(0));
            for (int64_t c = 0; c < w; ++c)
                for (int64_t k = Bp[first + c]; k < Bp[first + c + 1]; ++k) buffer[size_t(c * M + Bi[k])] += Bx[k];
        };
        for (int64_t first = 0; first < K; first += batch) {
            check_interrupt();
            const int64_t w = std::min<int64_t>(batch, K - first);
            if (hdr.itype == CHOLMOD_INT)
                scatter(static_cast<const int32_t *>(hdr.p), static_cast<const int32_t *>(hdr.i), first, w);
            else
                scatter(static_cast<const int64_t *>(hdr.p), static_cast<const int64_t *>(hdr.i), first, w);
            cholmod_dense B;
            dense_header<Entry>(buffer.data(), size_t(M), size_t(w), &B);
            DenseOwner<Int> X(cm, solve_native<Entry, Int>(QR, &B, transpose, cm));
            if (cm->status != CHOLMOD_OK || !X.get()) {
                failed = true;
                return;
            }
            unscale(X.get(), scale);
            const auto *x = static_cast<const Entry *>(X.get()->x);
            const size_t d = X.get()->d;
            for (int64_t c = 0; c < w; ++c) {
                for (int64_t r = 0; r < N; ++r) {
                    const Entry v = x[size_t(c) * d + size_t(r)];
                    if (v != Entry(0)) {
                        indices.push_back(Int(r));
                        values.push_back(v);
                    }
                }
                if (indices.size() > size_t(std::numeric_limits<Int>::max()))
                    throw NativeError{NativeError::Overflow,
                                      "the solution has too many nonzeros for the factor's index type"};
                indptr[size_t(first + c + 1)] = Int(indices.size());
            }
        }
    });
    if (failed) {
        check_status(cm);
        no_result(cm->status);
    }
    return make_csc(array_from_vector(std::move(values)), array_from_vector(std::move(indices)),
                    array_from_vector(std::move(indptr)), N, K);
}

nb::object solve(nb::handle self_h, nb::handle b, nb::handle transpose_h, nb::handle batch_h) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Use);
    const int transpose = PyObject_IsTrue(transpose_h.ptr());
    if (transpose < 0) throw nb::python_error();
    nb::object batch_index = nb::steal(PyNumber_Index(batch_h.ptr()));
    if (!batch_index.is_valid()) throw nb::python_error();
    const Py_ssize_t batch = PyNumber_AsSsize_t(batch_index.ptr(), PyExc_OverflowError);
    if (batch == -1 && PyErr_Occurred()) throw nb::python_error();

    require_numeric(self);
    const bool dense = is_ndarray(b);
    if (!dense && !nb::bool_(module_attr("issparse")(b)))
        raise(PyExc_ValueError, "b must be an ndarray or sparse matrix.");
    auto *array = reinterpret_cast<PyArrayObject *>(b.ptr());
    const int64_t ndim = dense ? PyArray_NDIM(array) : nb::cast<int64_t>(b.attr("ndim"));
    if (ndim != 1 && ndim != 2) raise(PyExc_ValueError, "b must be a 1D or 2D array.");
    const int64_t rows = dense ? int64_t(PyArray_DIM(array, 0)) : nb::cast<int64_t>(b.attr("shape")[0]);
    if (rows != rows_expected(self, transpose)) {
        std::string msg = "Right-hand side b must have compatible shape with A. Got b.shape=" +
                          std::string(nb::repr(b.attr("shape")).c_str()) + ", but A.shape=(" +
                          std::to_string(self->m) + ", " + std::to_string(self->n) + ") (transpose=" +
                          (transpose ? "True" : "False") + ").";
        raise(PyExc_ValueError, msg);
    }
    nb::object bv = nb::borrow(b);
    nb::handle own = self->dtype;
    const bool same_type =
        dense ? bool(PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr *>(own.ptr())))
              : !b.attr("dtype").not_equal(own);
    if (!same_type) {
        nb::object dtype = b.attr("dtype");
        if (!nb::bool_(module_attr("np").attr("can_cast")(dtype, own))) {
            std::string msg = "Cannot safely cast b.dtype=" + std::string(nb::repr(dtype).c_str()) +
                              " to self.dtype=" + std::string(nb::repr(own).c_str()) + ".";
            raise(PyExc_TypeError, msg);
        }
        bv = bv.attr("astype")(own, nb::arg("copy") = false);
    }
    const int64_t rank = dispatch(self, [&](auto e, auto i) -> int64_t {
        return slot<typename decltype(e)::type, typename decltype(i)::type>(self)->rank;
    });
    if (rank < std::min(self->m, self->n)) {
        std::string msg = "Matrix is rank deficient: rank=" + std::to_string(rank) + ", A.shape=(" +
                          std::to_string(self->m) + ", " + std::to_string(self->n) +
                          "). The solution may not be unique.";
        warn(module_attr("SPQRRankDeficiencyWarning"), msg);
    }

    if (!dense) {
        if (!nb::bool_(module_attr("issparse")(bv)))
            raise(PyExc_TypeError, "b.astype did not return a sparse matrix");
        if (ndim == 1) bv = bv.attr("reshape")(nb::make_tuple(-1, 1));
        nb::object x = dispatch(self, [&](auto e, auto i) {
            return solve_sparse<typename decltype(e)::type, typename decltype(i)::type>(self, bv, transpose, batch);
        });
        if (ndim == 1) return x[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
        return x;
    }
    // A vector is one column; otherwise the buffer must be column-major.
    DenseView B;
    column_major(self, bv, ndim, rows, "b", B);
    return solve_header(self, B.header(), transpose, ndim == 1);
}

}  // namespace

void dense_operand(FactorObject *self, std::unique_ptr<Buffer> buf, DenseView &view) {
    view.capture(std::move(buf), DenseRules::typed());
    require_numeric(self);
    if (view.real() != bool(self->is_real))
        raise(PyExc_ValueError, std::string("the array's dtype must be the factor's dtype, ") +
                                    (self->is_real ? "float64" : "complex128"));
}

std::unique_ptr<Buffer> typed_view(nb::handle obj) {
    return buffer_of(obj, DenseRules::typed().kind);
}

void column_major(FactorObject *self, nb::object array, int64_t ndim, int64_t rows, const char *what,
                  DenseView &view) {
    bool layout_ok = false;
    if (PyArray_Check(array.ptr())) {
        auto *a = reinterpret_cast<PyArrayObject *>(array.ptr());
        layout_ok = ndim == 1 ? PyArray_IS_C_CONTIGUOUS(a) : PyArray_IS_F_CONTIGUOUS(a);
    }
    if (!layout_ok) array = module_attr("np").attr("asfortranarray")(array);
    // Whatever the conversions returned, only its buffer is believed.
    const char *dtype = self->is_real ? "float64" : "complex128";
    std::string refusal = std::string(what) + " must be a " + dtype + " array with " + std::to_string(ndim) +
                          (ndim == 1 ? " dimension" : " dimensions in column-major order");
    DenseRules rules;
    rules.ndim = int(ndim);
    rules.xtype = self->is_real ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    rules.kind = rules.layout = {PyExc_TypeError, refusal};
    view.capture(array, rules);
    const cholmod_dense *hdr = view.header();
    if (rows >= 0 && int64_t(hdr->nrow) != rows) {
        PyErr_Format(PyExc_ValueError, "%s has %lld rows where %lld were expected", what, (long long)hdr->nrow,
                     (long long)rows);
        throw nb::python_error();
    }
}

void register_factor_solve(nb::module_ &m) {
    m.def("factor_solve", &solve, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("b").none(), nb::arg("transpose").none(),
          nb::arg("rhs_batch_size").none());
    m.def("factor_solve_dense", &solve_dense, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("b").none(), nb::arg("transpose").none());
}

}  // namespace orvex
