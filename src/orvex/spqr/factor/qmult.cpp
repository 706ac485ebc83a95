// SPQRFactor.qmult: Q X, Q^H X, X Q or X Q^H without forming Q.
#include "orvex/spqr/factor/factor.hpp"
#include "orvex/spqr/qkernel/qkernel.hpp"

#include <limits>
#include <memory>

namespace orvex {

namespace {

[[noreturn]] void incompatible(int64_t expected, int64_t got) {
    PyErr_Format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %lld.",
                 (long long)expected, (long long)got);
    throw nb::python_error();
}

// The dimension of X that Q multiplies must be the factor's row count.
void check_dim(const FactorObject *self, int code, size_t rows, size_t cols) {
    if (code < 0 || code > 3) return;  // SPQR refuses other codes itself
    const size_t dim = left_multiply(code) ? rows : cols;
    if (dim != size_t(self->m)) incompatible(self->m, int64_t(dim));
}

// The product over a header of X (orvex's kernel or SPQR's, see qkernel.hpp),
// then the adoption of the result.
template <class Record> nb::object qmult_header(FactorObject *self, int code, Record *X, bool column) {
    return run_and_adopt(self, column, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        return qkernel::qmult<Entry, Int>(code, slot<Entry, Int>(self), X, self->cm);
    });
}

nb::object qmult_sparse(FactorObject *self, int code, nb::handle X) {
    nb::object Xv = module_attr("validate_csc_input")(X)[0];
    SparseView view;
    csc_header_as(Xv, self->use_int32, view);
    view.capture(true);
    cholmod_sparse *hdr = view.header();
    if ((hdr->xtype == CHOLMOD_REAL) != bool(self->is_real))
        raise(PyExc_ValueError, "the operand's dtype must be the factor's dtype");
    // What SPQR reads must agree with the factor, whatever X's shape said.
    check_dim(self, code, hdr->nrow, hdr->ncol);
    return qmult_header(self, code, hdr, false);
}

nb::object qmult_dense(nb::handle self_h, nb::handle method, nb::handle X) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Use);
    std::unique_ptr<Buffer> buf = typed_view(X);  // the variant is chosen first
    const int code = as_int32(method);
    DenseView view;
    dense_operand(self, std::move(buf), view);
    cholmod_dense *hdr = view.header();
    check_dim(self, code, hdr->nrow, hdr->ncol);
    check_finite_operand(*hdr, "X");
    return qmult_header(self, code, hdr, false);
}

nb::object qmult(nb::handle self_h, nb::handle X, nb::handle method) {
    FactorObject *self = as_factor(self_h);
    FactorCall call(self, FactorCall::Use);
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
    const bool left = left_multiply(code);
    // A one-dimensional X is a column for Q X and Q^H X, a row for X Q and
    // X Q^H.
    nb::object shape = X.attr("shape");
    const int64_t dim = nb::cast<int64_t>(shape[left || ndim == 1 ? 0 : 1]);
    if (dim != self->m) incompatible(self->m, dim);
    nb::slice all(nb::none(), nb::none(), nb::none());
    if (!dense) {
        nb::object Xv = ndim == 1 ? X.attr("reshape")(left ? nb::make_tuple(-1, 1) : nb::make_tuple(1, -1))
                                  : nb::borrow(X);
        nb::object Y = qmult_sparse(self, code, Xv);
        if (ndim == 1) return left ? Y[nb::make_tuple(all, 0)] : Y[nb::make_tuple(0, all)];
        return Y;
    }
    // The attributes read above may belong to a subclass: what SPQR reads
    // is described from the array's own buffer and checked again.
    DenseView view;
    column_major(self, nb::borrow(X), ndim, -1, "X", view);
    cholmod_dense *hdr = view.header();
    if (ndim == 1 && !left) {  // the same memory as one row
        hdr->ncol = hdr->nrow;
        hdr->nrow = 1;
        hdr->d = 1;
    }
    check_dim(self, code, hdr->nrow, hdr->ncol);
    check_finite_operand(*hdr, "X");
    if (ndim == 1 && !left) {
        nb::object Y = qmult_header(self, code, hdr, false);
        return Y.attr("reshape")(-1);
    }
    return qmult_header(self, code, hdr, ndim == 1);
}

}  // namespace

void register_factor_qmult(nb::module_ &m) {
    m.def("factor_qmult", &qmult, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("X").none(), nb::arg("method").none());
    m.def("factor_qmult_dense", &qmult_dense, nb::call_guard<Call>(), nb::arg("self").none(), nb::arg("method").none(), nb::arg("X").none());
}

}  // namespace orvex
