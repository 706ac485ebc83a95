// SPQRFactor.qmult: Q X, Q^H X, X Q or X Q^H without forming Q.
#include "orvex/spqr/factor/factor.hpp"

#include <limits>
#include <memory>

namespace orvex {

namespace {

nb::object qmult_sparse(FactorObject *self, int code, nb::handle X) {
    nb::object Xv = module_attr("validate_csc_input")(X)[0];
    nb::object converted;
    cholmod_sparse hdr;
    csc_header_as(Xv, self->use_int32, converted, &hdr);
    if ((hdr.xtype == CHOLMOD_REAL) != bool(self->is_real))
        raise(PyExc_ValueError, "the operand's dtype must be the factor's dtype");
    return dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        SparseOwner<Int> Y(self->cm, SuiteSparseQR_qmult<Entry, Int>(code, slot<Entry, Int>(self), &hdr, self->cm));
        check_status(self->cm);
        require_result(Y.get(), self->cm);
        return adopt_sparse(Y.release(), self->cm);
    });
}

nb::object qmult_dense_header(FactorObject *self, int code, cholmod_dense *X, bool column) {
    if (code >= 0 && code <= 3) {
        const size_t dim = left_multiply(code) ? X->nrow : X->ncol;
        if (dim != size_t(self->m)) {
            PyErr_Format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %d, got %zu.",
                         self->m, dim);
            throw nb::python_error();
        }
    }
    return dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        DenseOwner<Int> Y(self->cm, SuiteSparseQR_qmult<Entry, Int>(code, slot<Entry, Int>(self), X, self->cm));
        check_status(self->cm);
        require_result(Y.get(), self->cm);
        return adopt_dense(Y.release(), self->cm, column);
    });
}

nb::object qmult_dense(nb::handle self_h, nb::handle method, nb::handle X) {
    FactorObject *self = as_factor(self_h);
    std::unique_ptr<Buffer> view = typed_view(X);  // the variant is chosen first
    const Buffer &buf = *view;
    const int code = as_int32(method);
    cholmod_dense hdr;
    dense_operand(self, buf, &hdr);
    return qmult_dense_header(self, code, &hdr, false);
}

nb::object qmult(nb::handle self_h, nb::handle X, nb::handle method) {
    FactorObject *self = as_factor(self_h);
    require_numeric(self);
    const bool dense = is_ndarray(X);
    if (!dense && !nb::bool_(module_attr("issparse")(X)))
        raise(PyExc_ValueError, "X must be an ndarray or sparse matrix.");
    nb::object dtype = X.attr("dtype");
    nb::handle own = self->dtype;
    if (dtype.not_equal(own)) {
        std::string msg = "Input and factor dtypes do not match. self.dtype=" + std::string(nb::repr(own).c_str()) +
                          " and X.dtype=" + std::string(nb::repr(dtype).c_str());
        raise(PyExc_ValueError, msg);
    }
    const int64_t ndim = nb::cast<int64_t>(X.attr("ndim"));
    if (ndim != 1 && ndim != 2) raise(PyExc_ValueError, "X must be a 1D or 2D array.");
    const int code = qmult_code(method);
    nb::object shape = X.attr("shape");
    const int64_t dim = nb::cast<int64_t>(shape[left_multiply(code) ? 0 : 1]);
    if (dim != self->m) {
        PyErr_Format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %d, got %lld.", self->m,
                     (long long)dim);
        throw nb::python_error();
    }
    if (!dense) {
        nb::object Xv = ndim == 1 ? X.attr("reshape")(nb::make_tuple(-1, 1)) : nb::borrow(X);
        nb::object Y = qmult_sparse(self, code, Xv);
        if (ndim == 1) return Y[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
        return Y;
    }
    nb::object Xv = nb::borrow(X);
    cholmod_dense hdr;
    column_major(self, Xv, ndim, &hdr);
    return qmult_dense_header(self, code, &hdr, ndim == 1);
}

}  // namespace

void register_factor_qmult(nb::module_ &m) {
    m.def("factor_qmult", &qmult, nb::arg("self").none(), nb::arg("X").none(), nb::arg("method").none());
    m.def("factor_qmult_dense", &qmult_dense, nb::arg("self").none(), nb::arg("method").none(), nb::arg("X").none());
}

}  // namespace orvex
