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
// spqr(mode="householder") hands out H, tau and v as new writable arrays,
// and keeps the structure of H and v, arranged for products (qkernel's
// TripleShape), for as long as H's row index array lives.  That structure is
// SPQR's own, so it has every property the checks of a triple establish.  A
// product with a triple whose column pointers and v still equal it (O(m + k))
// and whose row indices are still those it was made from (one pass over
// them, no copy) skips the checks of the structure and applies Q through
// the shape; addressing never goes through the caller's arrays, which any
// thread may write.  H's values are checked as they are read.

struct MadeTriple {
    qkernel::TripleShape<int32_t> s32;
    qkernel::TripleShape<int64_t> s64;
    bool int32 = false, real = false;
    bool sorted = false;  // every column's rows increase (a canonical CSC array)
    nb::object watch;  // a weak reference to H.indices, which forgets this record
    template <class Int> qkernel::TripleShape<Int> &shape();
};
template <> qkernel::TripleShape<int32_t> &MadeTriple::shape<int32_t>() { return s32; }
template <> qkernel::TripleShape<int64_t> &MadeTriple::shape<int64_t>() { return s64; }

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

// Made with the interpreter lock released (std::bad_alloc on failure).
template <class Int> std::shared_ptr<MadeTriple> triple_record(const cholmod_sparse &H, const Int *perm) {
    auto rec = std::make_shared<MadeTriple>();
    rec->int32 = std::is_same<Int, int32_t>::value;
    rec->real = H.xtype == CHOLMOD_REAL;
    const Int *Hp = static_cast<const Int *>(H.p), *Hi = static_cast<const Int *>(H.i);
    bool sorted = true;
    for (size_t k = 0; k < H.ncol; ++k)
        for (Int p = Hp[k] + 1; p < Hp[k + 1]; ++p) sorted &= Hi[p - 1] < Hi[p];
    rec->sorted = sorted;
    qkernel::triple_shape<Int>(H, perm, rec->template shape<Int>());
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
    std::shared_ptr<MadeTriple> rec;

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
        if (h && h->packed && HPinv.get()) rec = triple_record<Int>(*h, HPinv.get());
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

// Whether H is the matrix of a triple spqr made, with its column pointers
// as spqr made them: the validation of H, which would hand back H itself,
// may be skipped; _qmult compares H's row indices with those spqr made (and
// checks the whole structure when they differ) and checks H's values.
// O(k); false for anything else.
bool known_triple(nb::handle H) {
    try {
        nb::object indices = H.attr("indices");
        std::shared_ptr<MadeTriple> rec = made_triple(indices.ptr());
        if (!rec || !rec->sorted) return false;
        nb::object shape = H.attr("shape");
        Buffer i(indices), p(H.attr("indptr")), x(H.attr("data"));
        auto unchanged = [&](const auto &S) {
            using Int = typename std::decay_t<decltype(S)>::value_type;
            const bool typed = p.holds_index<Int>() && p.ndim() == 1 && p.c_contiguous() && p.size() == S.nh + 1 &&
                               i.size() == S.nnz && (rec->real ? x.holds_entry<double>() : x.holds_entry<Complex>()) &&
                               x.ndim() == 1 && x.c_contiguous() && x.size() == S.nnz;
            return typed && shape.equal(nb::make_tuple(S.m, S.nh)) &&
                   std::memcmp(p.data(), S.p.data(), size_t(S.nh + 1) * sizeof(Int)) == 0;
        };
        return rec->int32 ? unchanged(rec->s32) : unchanged(rec->s64);
    } catch (nb::python_error &) {
        return false;
    }
}

// Whether the values of H are all finite.
bool finite_values(const cholmod_sparse &H) {
    return !any_nonfinite(H.x, int64_t(H.nzmax) * (H.xtype == CHOLMOD_REAL ? 1 : 2));
}

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
    const bool sparse = !is_ndarray(X) && bool(nb::bool_(module_attr("issparse")(X)));
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

    // No Python code runs from here on.  A triple spqr made, whose column
    // pointers and v are still as spqr left them (O(m + k) to see): its
    // row indices are compared with the structure spqr kept before that
    // structure is used.
    std::shared_ptr<MadeTriple> made = made_triple(Hview.indices_exporter());
    const qkernel::TripleShape<Int> *shape = nullptr;
    if (made && made->int32 == std::is_same<Int, int32_t>::value) {
        const qkernel::TripleShape<Int> &S = made->shape<Int>();
        if (S.m == m && S.nh == k && S.nnz == int64_t(Hs0.nzmax) &&
            std::memcmp(Hs0.p, S.p.data(), size_t(k + 1) * sizeof(Int)) == 0 &&
            (m == 0 || std::memcmp(v.data(), S.perm.data(), size_t(m) * sizeof(Int)) == 0))
            shape = &S;
    }
    static const char *nonfinite_H = "H contains NaN or infinite values";
    // The first k coefficients, as one row.
    tau_view.header()->nrow = 1;
    tau_view.header()->ncol = size_t(k);
    tau_view.header()->d = 1;
    cholmod_dense *Tau = tau_view.header();
    check_finite_operand(*Tau, "tau");
    DenseView Xdense;
    cholmod_dense *Xd = nullptr;
    if (!sparse) {
        DenseRules rules = DenseRules::typed(EntryTraits<Entry>::xtype, "X");
        rules.kind = {PyExc_ValueError, std::string("Buffer dtype mismatch: X must be a two-dimensional ") +
                                            EntryTraits<Entry>::dtype + " array"};
        Xdense.capture(std::move(xb), rules);
        Xd = Xdense.header();
        check_dim(Xd->nrow, Xd->ncol);
        check_finite_operand(*Xd, "X");
        if (shape && qkernel::own_triple<Entry>(code, size_t(m), Xd)) {
            // orvex's kernel, addressing only through the kept structure;
            // the caller's row indices are read once to see that they are
            // still those it was made from, and H's values are checked as
            // they are read.
            Workspace<Int> ws;
            cholmod_common *cm = ws.get();
            cholmod_dense *Y = nullptr;
            bool nonfinite = false, same = true;
            const Entry *Hx = static_cast<const Entry *>(Hs0.x);
            const Int *Hi = static_cast<const Int *>(Hs0.i);
            const Entry *t = static_cast<const Entry *>(Tau->x);
            run_native([&] {
                same = qkernel::same_rows<Int>(*shape, Hi);
                if (same) Y = qkernel::qmult<Entry, Int>(code, *shape, Hx, t, Xd, cm, nonfinite);
            });
            if (same) {
                if (nonfinite) raise(PyExc_ValueError, nonfinite_H);
                return adopt_result<Int>(Y, cm);
            }
            shape = nullptr;  // changed since: the checked path below
        }
    }
    // The call's own copy of H's structure.  The permutation drives
    // addressing too: the call's own copy is used.  (Q of an H without rows
    // is 0 x 0: any valid pointer does.)  Checked unless it is the structure
    // spqr made.
    Hview.capture(false);
    const bool known = shape && qkernel::same_rows<Int>(*shape, static_cast<const Int *>(Hview.header()->i));
    std::vector<Int> perm_copy;
    Int *perm = nullptr;
    if (known) {
        // The pointers and v as they were compared (the caller's may have
        // changed since): with the copied rows, exactly SPQR's structure.
        Hview.header()->p = const_cast<Int *>(shape->p.data());
    }
    if (known && m > 0) {
        perm = const_cast<Int *>(shape->perm.data());
    } else {
        perm_copy.assign(static_cast<const Int *>(v.data()), static_cast<const Int *>(v.data()) + m);
        perm_copy.push_back(0);
        perm = perm_copy.data();
        if (!known) check_householder<Int>(*Hview.header(), perm);
    }
    // spqr_qmult skips the validation of an H spqr made (_known_triple),
    // so its values are checked here.
    if (made && !finite_values(*Hview.header())) raise(PyExc_ValueError, nonfinite_H);
    cholmod_sparse *Hs = Hview.header();
    if (sparse) {
        Xview.capture(true);
        cholmod_sparse *Xs = Xview.header();
        if ((Xs->xtype == CHOLMOD_REAL) != std::is_same<Entry, double>::value)
            raise(PyExc_ValueError, "X must have the value type of H");
        check_dim(Xs->nrow, Xs->ncol);
        return householder_product<cholmod_sparse, Int>(code, Hs, Tau, perm, Xs, known);
    }
    return householder_product<cholmod_dense, Int>(code, Hs, Tau, perm, Xd, known);
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
#ifdef ORVEX_TEST_HOOKS
    m.def(
        "_triple_stats",
        [](nb::handle H) -> nb::object {
            std::shared_ptr<MadeTriple> rec = made_triple(nb::object(H.attr("indices")).ptr());
            if (!rec) return nb::none();
            auto stats = [](const auto &S) {
                int64_t listed = 0;
                for (int64_t a : S.at) listed += a < 0;
                nb::dict d;
                d["bytes"] = int64_t(S.bytes());
                d["panels"] = int64_t(S.first.size()) - 1;
                d["listed"] = listed;
                d["max_rows"] = S.max_rows;
                return d;
            };
            return rec->int32 ? stats(rec->s32) : stats(rec->s64);
        },
        nb::arg("H"),
        "What spqr keeps for products with the triple of H: its bytes, its panels, the reflectors whose rows "
        "are listed (not consecutive in their panel) and the largest panel's row count; None when nothing is kept.");
#endif
    m.def("_known_triple", &known_triple, nb::call_guard<Call>(), nb::arg("H").none(),
          "Whether H is the matrix of a triple spqr made, its structure unchanged (its validation may be "
          "skipped; the product checks its values).");
}

}  // namespace orvex
