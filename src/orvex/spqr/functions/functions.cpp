// One-call functions: explicit QR (spqr) and multiplication by Q held in
// Householder form (_qmult).  Each call has its own short-lived workspace.
#include "orvex/spqr/factor/factor.hpp"
#include "orvex/spqr/qkernel/qkernel.hpp"

#include <SuiteSparseQR.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace orvex {

namespace {

enum Mode { Full, Economic, ROnly, Householder };
constexpr const char *mode_names[] = {"full", "economic", "r", "householder"};

Mode parse_mode(nb::handle mode) {
    for (int k = 0; k < 4; ++k) {
        int eq = PyObject_RichCompareBool(mode.ptr(), nb::str(mode_names[k]).ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return Mode(k);
    }
    std::string msg = "Invalid mode '" + std::string(nb::str(mode).c_str()) +
                      "'. Expected one of ('full', 'economic', 'r', 'householder').";
    raise(PyExc_ValueError, msg);
}

// ---- triples made here --------------------------------------------------------------
//
// spqr(mode="householder") hands out H, tau and v as new writable arrays, and
// keeps a private copy of their structure (H's column pointers and row
// indices, and v) for as long as H's row index array lives.  That structure
// is SPQR's own, so it has every property the checks of a triple establish:
// a product with a triple whose arrays still equal the copy (one comparison
// of memory) uses the copy and skips the checks.

struct MadeTriple {
    bool int32 = false;
    int64_t m = 0, nh = 0, nnz = 0;
    std::vector<int64_t> store;  // p (nh + 1), i (nnz), perm (m), in the index type
    nb::object watch;            // a weak reference to H.indices, which forgets this record
    template <class Int> const Int *p() const { return reinterpret_cast<const Int *>(store.data()); }
    template <class Int> const Int *i() const { return p<Int>() + nh + 1; }
    template <class Int> const Int *perm() const { return i<Int>() + nnz; }
};

struct MadeTriples {
    std::mutex mutex;
    std::unordered_map<PyObject *, std::shared_ptr<MadeTriple>> records;
    // Records whose array died: their weak reference is dropped later, not
    // inside its own callback.
    std::vector<std::shared_ptr<MadeTriple>> forgotten;
};

MadeTriples &made_triples() {
    static auto *t = new MadeTriples();  // lives as long as the process
    return *t;
}

template <class Int> std::shared_ptr<MadeTriple> triple_record(const cholmod_sparse &H, const Int *perm) {
    auto rec = std::make_shared<MadeTriple>();
    rec->int32 = std::is_same<Int, int32_t>::value;
    rec->m = int64_t(H.nrow);
    rec->nh = int64_t(H.ncol);
    const Int *Hp = static_cast<const Int *>(H.p);
    rec->nnz = int64_t(Hp[H.ncol]);
    const size_t count = size_t(rec->nh + 1 + rec->nnz + rec->m);
    rec->store.resize((count * sizeof(Int) + sizeof(int64_t) - 1) / sizeof(int64_t) + 1);
    Int *q = reinterpret_cast<Int *>(rec->store.data());
    std::memcpy(q, Hp, size_t(rec->nh + 1) * sizeof(Int));
    if (rec->nnz) std::memcpy(q + rec->nh + 1, H.i, size_t(rec->nnz) * sizeof(Int));
    if (rec->m) std::memcpy(q + rec->nh + 1 + rec->nnz, perm, size_t(rec->m) * sizeof(Int));
    return rec;
}

// Keep `rec` for as long as `indices` (H's row index array) lives.
void remember_triple(nb::handle indices, std::shared_ptr<MadeTriple> rec) {
    PyObject *key = indices.ptr();
    nb::object forget = nb::cpp_function([key](nb::handle) {
        MadeTriples &t = made_triples();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.records.find(key);
        if (it == t.records.end()) return;
        t.forgotten.push_back(std::move(it->second));
        t.records.erase(it);
    });
    PyObject *ref = PyWeakref_NewRef(key, forget.ptr());
    if (!ref) throw nb::python_error();
    rec->watch = nb::steal(ref);
    MadeTriples &t = made_triples();
    std::vector<std::shared_ptr<MadeTriple>> dropped;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        dropped.swap(t.forgotten);
        t.records[key] = std::move(rec);
    }
}

std::shared_ptr<MadeTriple> made_triple(PyObject *indices) {
    MadeTriples &t = made_triples();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.records.find(indices);
    return it == t.records.end() ? nullptr : it->second;
}

template <class Entry, class Int>
nb::object spqr_variant(cholmod_sparse *A, Mode mode, int ordering, double tol, double scale) {
    Workspace<Int> ws;
    cholmod_common *cm = ws.get();
    SparseOwner<Int> Q(cm), R(cm), H(cm);
    IndexOwner<Int> E(cm), HPinv(cm);
    DenseOwner<Int> HTau(cm);
    E.set_count(A->ncol);
    HPinv.set_count(A->nrow);
    const Int econ = Int(mode == Economic ? A->ncol : A->nrow);

    run_native([&] {
        cholmod_sparse *q = nullptr, *r = nullptr, *h = nullptr;
        cholmod_dense *tau = nullptr;
        switch (mode) {
        case ROnly:
            SuiteSparseQR<Entry, Int>(ordering, scaled_tol(tol, scale), econ, A, &r, E.out(), cm);
            break;
        case Full:
        case Economic:
            SuiteSparseQR<Entry, Int>(ordering, scaled_tol(tol, scale), econ, A, &q, &r, E.out(), cm);
            break;
        case Householder:
            SuiteSparseQR<Entry, Int>(ordering, scaled_tol(tol, scale), econ, A, &r, E.out(), &h, HPinv.out(), &tau, cm);
            break;
        }
        Q.reset(q);
        R.reset(r);
        H.reset(h);
        HTau.reset(tau);
        // SPQR factorized scale * A: its R is scale * R (Q and H are those of A).
        if (r && scale != 1.0) {
            double *x = static_cast<double *>(r->x);
            const size_t count = size_t(static_cast<const Int *>(r->p)[r->ncol]) * (sizeof(Entry) / sizeof(double));
            bool finite = true;
            for (size_t k = 0; k < count; ++k) {
                x[k] /= scale;
                finite &= std::isfinite(x[k]);
            }
            if (!finite)
                throw NativeError{NativeError::Overflow,
                                  "R has entries beyond the float64 range (column norms of A exceed the largest "
                                  "float64); factorize a scaled matrix, such as A * 2.0**-k, instead"};
        }
    });
    check_status(cm);

    nb::object Qo = nb::none(), Ro = nb::none(), Eo = nb::none(), Ho = nb::none(), vo = nb::none(),
               tauo = nb::none();
    if (Q.get()) Qo = adopt_sparse(Q.release(), cm);
    if (R.get()) Ro = adopt_sparse(R.release(), cm);
    if (E.get()) Eo = copy_indices(E.get(), int64_t(A->ncol), std::is_same<Int, int32_t>::value);
    if (H.get()) {
        const int64_t mh = int64_t(H.get()->nrow);
        std::shared_ptr<MadeTriple> rec;
        if (HPinv.get()) rec = triple_record<Int>(*H.get(), HPinv.get());
        Ho = adopt_sparse(H.release(), cm);
        if (HPinv.get()) vo = copy_indices(HPinv.get(), mh, std::is_same<Int, int32_t>::value);
        if (rec) remember_triple(Ho.attr("indices"), std::move(rec));
    }
    if (HTau.get()) tauo = adopt_dense(HTau.release(), cm).attr("squeeze")();

    switch (mode) {
    case ROnly: return nb::make_tuple(Ro, Eo);
    case Full:
    case Economic: return nb::make_tuple(Qo, Ro, Eo);
    case Householder:
    default: {
        nb::object house = module_attr("SPQRHouseholder")(nb::arg("H") = Ho, nb::arg("tau") = tauo,
                                                         nb::arg("perm") = vo);
        return nb::make_tuple(house, Ro, Eo);
    }
    }
}

nb::object spqr(nb::handle A, nb::handle mode_h, nb::handle order, nb::handle tol_h) {
    Mode mode = Full;
    Prologue p;
    prologue(p, A, order, tol_h, [&] { mode = parse_mode(mode_h); });
    p.scale_values();
    cholmod_sparse *hdr = p.A();
    return dispatch(hdr->xtype == CHOLMOD_REAL, hdr->itype == CHOLMOD_INT, [&](auto e, auto i) {
        return spqr_variant<typename decltype(e)::type, typename decltype(i)::type>(hdr, mode, p.ordering, p.tol,
                                                                                     p.scale);
    });
}

// ---- Householder multiplication ------------------------------------------------------

void writable_view(const Buffer &b, const char *name) {
    if (b.readonly()) {
        PyErr_Format(PyExc_ValueError, "buffer source array '%s' is read-only", name);
        throw nb::python_error();
    }
}

// The properties of a Householder form (H, tau, v) that SPQR's kernels rely
// on, checked in O(nnz) after the last Python code of the call has run:
// every column of H holds at least one entry (the kernels read the first
// one unconditionally) and no row twice (the panels hold one row per
// distinct index), and v is a permutation of the rows.
template <class Int> void check_householder(const cholmod_sparse &H, const Int *perm) {
    const int64_t m = int64_t(H.nrow), k = int64_t(H.ncol);
    const Int *Hp = static_cast<const Int *>(H.p), *Hi = static_cast<const Int *>(H.i);
    std::vector<int64_t> mark;  // for columns with unsorted rows only
    for (int64_t h = 0; h < k; ++h) {
        if (Hp[h + 1] == Hp[h])
            raise(PyExc_ValueError, "every column of H must hold a Householder vector (H has an empty column)");
        bool increasing = true;  // SPQR's own H: no row can repeat
        for (Int p = Hp[h] + 1; p < Hp[h + 1]; ++p) increasing &= Hi[p - 1] < Hi[p];
        if (increasing) continue;
        if (mark.empty()) mark.assign(size_t(m), -1);
        for (Int p = Hp[h]; p < Hp[h + 1]; ++p) {
            if (mark[size_t(Hi[p])] == h) raise(PyExc_ValueError, "a column of H holds the same row index twice");
            mark[size_t(Hi[p])] = h;
        }
    }
    std::vector<char> seen(size_t(m), 0);
    for (int64_t r = 0; r < m; ++r) {
        if (perm[r] < 0 || perm[r] >= m || seen[size_t(perm[r])])
            raise(PyExc_ValueError, "v must be a permutation of 0, ..., m-1 for H with m rows");
        seen[size_t(perm[r])] = 1;
    }
}

template <class Record, class Int>
nb::object householder_product(int code, cholmod_sparse *Hs, cholmod_dense *Tau, Int *perm, Record *X, bool made) {
    Workspace<Int> ws;
    cholmod_common *cm = ws.get();
    Record *Y = nullptr;
    run_native([&] {
        if (Hs->xtype == CHOLMOD_REAL) Y = qkernel::qmult<double, Int>(code, Hs, Tau, perm, X, cm, made);
        else Y = qkernel::qmult<Complex, Int>(code, Hs, Tau, perm, X, cm, made);
    });
    return adopt_result<Int>(Y, cm);
}

template <class Entry, class Int>
nb::object qmult_householder(int code, nb::handle H, DenseView &tau_view, const Buffer &v, nb::handle X) {
    // Everything that can run Python code comes first.
    SparseView Hview;
    csc_header(H, Hview);
    const cholmod_sparse &Hs0 = *Hview.header();
    if ((Hs0.xtype == CHOLMOD_REAL) != std::is_same<Entry, double>::value)
        raise(PyExc_ValueError, "H and tau must have the same value type");
    if ((Hs0.itype == CHOLMOD_INT) != std::is_same<Int, int32_t>::value)
        raise(PyExc_ValueError, "the indices of H and the permutation v must have the same integer type");
    const int64_t m = int64_t(Hs0.nrow), k = int64_t(Hs0.ncol);
    const cholmod_dense &tau = *tau_view.header();
    if (int64_t(tau.nrow * tau.ncol) < k) raise(PyExc_ValueError, "tau must hold one coefficient per column of H");
    if (v.shape(0) == 0 && m > 0) raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
    if (v.shape(0) < m) raise(PyExc_ValueError, "the permutation v must have one entry per row of H");
    auto check_dim = [&](size_t rows, size_t cols) {
        const size_t dim = left_multiply(code) ? rows : cols;
        if (code >= 0 && code <= 3 && dim != size_t(m)) {
            PyErr_Format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %zu.",
                         (long long)m, dim);
            throw nb::python_error();
        }
    };
    const bool sparse = bool(nb::bool_(module_attr("issparse")(X)));
    SparseView Xview;
    std::unique_ptr<Buffer> xb;
    if (sparse) {
        nb::object Xv = module_attr("validate_csc_input")(X)[0];
        csc_header_as(Xv, std::is_same<Int, int32_t>::value, Xview);
    } else {
        if (!PyObject_CheckBuffer(X.ptr()))
            raise(PyExc_ValueError, "X must be a two-dimensional array or a sparse matrix");
        xb = std::make_unique<Buffer>(X);
    }

    // No Python code runs from here on.
    Int *perm = nullptr;
    std::vector<Int> perm_copy;
    std::shared_ptr<MadeTriple> made = made_triple(Hview.indices_exporter());
    if (made && made->int32 == std::is_same<Int, int32_t>::value && made->m == m && made->nh == k &&
        made->nnz == int64_t(Hs0.nzmax) && Hview.capture_known(made->p<Int>(), made->i<Int>()) &&
        (m == 0 || std::memcmp(v.data(), made->perm<Int>(), size_t(m) * sizeof(Int)) == 0)) {
        perm = const_cast<Int *>(made->perm<Int>());
    } else {
        made.reset();
        Hview.capture(false);
        // The permutation drives addressing too: the call's own copy is
        // checked and used.  (Q of an H without rows is 0 x 0: any valid
        // pointer does.)
        perm_copy.assign(static_cast<const Int *>(v.data()), static_cast<const Int *>(v.data()) + m);
        perm_copy.push_back(0);
        perm = perm_copy.data();
        check_householder<Int>(*Hview.header(), perm);
    }
    cholmod_sparse *Hs = Hview.header();
    // The first k coefficients, as one row.
    tau_view.header()->nrow = 1;
    tau_view.header()->ncol = size_t(k);
    tau_view.header()->d = 1;
    cholmod_dense *Tau = tau_view.header();
    check_finite_operand(*Tau, "tau");
    if (sparse) {
        Xview.capture(true);
        cholmod_sparse *Xs = Xview.header();
        if ((Xs->xtype == CHOLMOD_REAL) != std::is_same<Entry, double>::value)
            raise(PyExc_ValueError, "X must have the value type of H");
        check_dim(Xs->nrow, Xs->ncol);
        return householder_product<cholmod_sparse, Int>(code, Hs, Tau, perm, Xs, made != nullptr);
    }
    DenseRules rules = DenseRules::typed(EntryTraits<Entry>::xtype, "X");
    rules.kind = {PyExc_ValueError,
                  std::string("Buffer dtype mismatch: X must be a two-dimensional ") + EntryTraits<Entry>::dtype + " array"};
    DenseView Xview_d;
    Xview_d.capture(std::move(xb), rules);
    cholmod_dense *Xd = Xview_d.header();
    check_dim(Xd->nrow, Xd->ncol);
    check_finite_operand(*Xd, "X");
    return householder_product<cholmod_dense, Int>(code, Hs, Tau, perm, Xd, made != nullptr);
}

nb::object qmult_kernel(nb::handle method, nb::handle H, nb::handle tau_h, nb::handle v_h, nb::handle X) {
    const int code = as_int32(method);
    if (tau_h.is_none()) raise(PyExc_TypeError, "Argument 'tau' must not be None");
    if (v_h.is_none()) raise(PyExc_TypeError, "Argument 'v' must not be None");
    std::unique_ptr<Buffer> tau_buf = typed_view(tau_h), v_view = typed_view(v_h);
    const Buffer &v = *v_view;
    const bool real = tau_buf->holds_entry<double>();
    const bool int32 = v.holds_index<int32_t>(), int64 = v.holds_index<int64_t>();
    if (!(int32 || int64) || v.ndim() != 1) raise(PyExc_TypeError, "No matching signature found");
    DenseView tau;
    tau.capture(std::move(tau_buf), DenseRules::typed(0, "tau"));
    if (!v.c_contiguous()) raise(PyExc_ValueError, "ndarray is not C-contiguous");
    if (!v.aligned(v.itemsize())) raise(PyExc_ValueError, "ndarray is not aligned");
    writable_view(v, "v");
    return dispatch(real, int32, [&](auto e, auto i) {
        return qmult_householder<typename decltype(e)::type, typename decltype(i)::type>(code, H, tau, v, X);
    });
}

}  // namespace

void register_functions(nb::module_ &m) {
    m.def("spqr", &spqr, nb::call_guard<Call>(), nb::arg("A").none(), nb::arg("mode").none(), nb::arg("order").none(),
          nb::arg("tol").none());
    m.def("_qmult", &qmult_kernel, nb::call_guard<Call>(), nb::arg("method").none(), nb::arg("H").none(), nb::arg("tau").none(),
          nb::arg("v").none(), nb::arg("X").none(),
          "Multiply X by Q given in Householder form (H, tau, v); method is SPQR's code.");
    m.def("qmult_code", [](nb::handle method) { return qmult_code(method); }, nb::arg("method").none());
}

}  // namespace orvex
