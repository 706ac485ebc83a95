// orvex.rank's private native entry points: `_rank_qr` makes a `_RankQR`,
// SPQR's factorization A E = Q R + F held natively with R, the Householder
// form of Q and the statistics, and its methods run the kernels of
// kernels.cpp.  Each method binds and checks its arguments first (Python),
// then works with the GIL released on memory the object owns or the call
// holds, then hands the results to NumPy.
#include "orvex/rank/qr.hpp"
#include "orvex/spqr/frame/frame.hpp"
#include "orvex/spqr/qkernel/qkernel.hpp"

#include <cstring>
#include <memory>
#include <string>

namespace orvex {
namespace rank {

namespace {

class RankQR {
public:
    bool real = true, int32 = true;
    std::unique_ptr<QRData<double, int32_t>> di;
    std::unique_ptr<QRData<double, int64_t>> dl;
    std::unique_ptr<QRData<Complex, int32_t>> zi;
    std::unique_ptr<QRData<Complex, int64_t>> zl;

    template <class E, class I> std::unique_ptr<QRData<E, I>> &slot();

    // f(data, Tag<Entry>, Tag<Int>) for the object's variant.
    template <class F> decltype(auto) visit(F &&f) {
        return dispatch(real, int32, [&](auto e, auto i) {
            using E = typename decltype(e)::type;
            using I = typename decltype(i)::type;
            auto &p = slot<E, I>();
            if (!p) raise(PyExc_RuntimeError, "the factorization is not initialised");
            return f(*p, e, i);
        });
    }
};
template <> std::unique_ptr<QRData<double, int32_t>> &RankQR::slot<double, int32_t>() { return di; }
template <> std::unique_ptr<QRData<double, int64_t>> &RankQR::slot<double, int64_t>() { return dl; }
template <> std::unique_ptr<QRData<Complex, int32_t>> &RankQR::slot<Complex, int32_t>() { return zi; }
template <> std::unique_ptr<QRData<Complex, int64_t>> &RankQR::slot<Complex, int64_t>() { return zl; }

// SPQR's failures raise orvex.spqr's exceptions; its warnings (positive
// statuses) concern nothing the rank tools report.
void check_factor_status(int status) {
    if (status < 0) check_status(status);
}

// A two-dimensional column-major array of Entry, captured.
template <class Entry> void capture_block(nb::handle X, const char *what, DenseView &view) {
    DenseRules rules;
    rules.xtype = EntryTraits<Entry>::xtype;
    rules.kind = {PyExc_TypeError, std::string(what) + " must be a two-dimensional " + EntryTraits<Entry>::dtype + " array"};
    rules.layout = {PyExc_ValueError, std::string(what) + " must be Fortran contiguous"};
    view.capture(X, rules);
}

// The same, with `rows` rows, copied into a block of the call's own (the
// kernels work in it in place).
template <class Entry> Block<Entry> read_block(nb::handle X, int64_t rows, const char *what) {
    DenseView view;
    capture_block<Entry>(X, what, view);
    const cholmod_dense &b = *view.header();
    if (int64_t(b.nrow) != rows)
        raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(b.nrow) + " rows, expected " +
                                    std::to_string(rows));
    Block<Entry> B(b.nrow, b.ncol);
    if (!B.v.empty()) std::memcpy(B.v.data(), b.x, B.v.size() * sizeof(Entry));
    return B;
}

template <class T> nb::object owned_array(std::vector<T> &&v, int ndim, size_t rows, size_t cols) {
    auto *owned = new std::vector<T>(std::move(v));
    if (owned->empty()) owned->resize(1);  // a valid pointer for an empty array
    nb::capsule owner(owned, [](void *q) noexcept { delete static_cast<std::vector<T> *>(q); });
    const npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
    const npy_intp strides[2] = {npy_intp(sizeof(T)), npy_intp(rows * sizeof(T))};
    return wrap_array(owned->data(), ndim, dims, ndim == 2 ? strides : nullptr, owner);
}

template <class Entry> nb::object to_numpy(Block<Entry> &&B) {
    const size_t r = B.rows, c = B.cols;
    return owned_array(std::move(B.v), 2, r, c);
}

nb::object to_numpy(std::vector<double> &&v) {
    const size_t n = v.size();
    return owned_array(std::move(v), 1, n, 0);
}

nb::object rank_qr(nb::handle A, nb::handle order, double tol) {
    const int ordering = ordering_code(order);
    if (!nb::hasattr(A, "indptr") || !nb::hasattr(A, "shape"))
        raise(PyExc_TypeError, "A must be a canonical CSC matrix");
    // The arrays themselves are held: SPQR reads them without the GIL.
    nb::object shape = A.attr("shape"), indptr = A.attr("indptr"), indices = A.attr("indices"), data = A.attr("data");
    SparseView view;  // holds the arrays for as long as SPQR reads them
    view.fill(shape, indptr, indices, data, 0);
    view.capture(true);
    cholmod_sparse &hdr = *view.header();
    auto obj = std::make_unique<RankQR>();
    obj->real = hdr.xtype == CHOLMOD_REAL;
    obj->int32 = hdr.itype == CHOLMOD_INT;
    const int status = dispatch(obj->real, obj->int32, [&](auto e, auto i) {
        using E = typename decltype(e)::type;
        using I = typename decltype(i)::type;
        auto d = std::make_unique<QRData<E, I>>();
        int st = 0;
        run_native([&] { st = d->factor(&hdr, ordering, tol); });
        obj->slot<E, I>() = std::move(d);
        return st;
    });
    check_factor_status(status);
    return nb::cast(obj.release(), nb::rv_policy::take_ownership);
}

nb::object transpose_factor(RankQR &self, nb::handle order, double tol) {
    const int ordering = ordering_code(order);
    auto obj = std::make_unique<RankQR>();
    obj->real = self.real;
    obj->int32 = self.int32;
    const int status = self.visit([&](auto &src, auto e, auto i) {
        using E = typename decltype(e)::type;
        using I = typename decltype(i)::type;
        auto d = std::make_unique<QRData<E, I>>();
        int st = 0;
        run_native([&] { st = d->factor_r1h(src, ordering, tol); });
        obj->slot<E, I>() = std::move(d);
        return st;
    });
    check_factor_status(status);
    return nb::cast(obj.release(), nb::rv_policy::take_ownership);
}

nb::object qmult(RankQR &self, int code, nb::handle X) {
    if (code < 0 || code > 3) raise(PyExc_ValueError, "unknown multiplication code");
    return self.visit([&](auto &d, auto e, auto i) -> nb::object {
        using E = typename decltype(e)::type;
        using I = typename decltype(i)::type;
        DenseView view;
        capture_block<E>(X, "X", view);
        cholmod_dense *Xd = view.header();
        const size_t mq = d.H()->nrow;
        if ((left_multiply(code) ? Xd->nrow : Xd->ncol) != mq)
            raise(PyExc_ValueError, "X does not have the dimension of Q (" + std::to_string(mq) + ")");
        Workspace<I> ws;
        cholmod_dense *Y = nullptr;
        run_native([&] { Y = qkernel::qmult<E, I>(code, d.H(), d.tau(), d.HPinv(), Xd, ws.get()); });
        DenseOwner<I> owner(ws.get(), Y);
        check_factor_status(ws.get()->status);
        require_result(owner.get(), ws.get());
        return adopt_dense(owner.release(), ws.get());
    });
}

nb::object solve(RankQR &self, nb::handle X, bool conj_trans) {
    return self.visit([&](auto &d, auto e, auto) -> nb::object {
        using E = typename decltype(e)::type;
        Block<E> B = read_block<E>(X, d.r, "X");
        bool ok = false;
        run_native([&] { ok = d.solve_block(B, conj_trans); });
        return nb::make_tuple(to_numpy(std::move(B)), ok);
    });
}

nb::object rmul(RankQR &self, nb::handle X, int which) {
    if (which < 0 || which > 2) raise(PyExc_ValueError, "unknown product code");
    return self.visit([&](auto &d, auto e, auto) -> nb::object {
        using E = typename decltype(e)::type;
        Block<E> B = read_block<E>(X, d.r, "X");
        Block<E> Y;
        run_native([&] { Y = d.mul_block(B, which); });
        return to_numpy(std::move(Y));
    });
}

nb::object ssi(RankQR &self, double tol, nb::handle G, int64_t nsvals_large, int64_t min_block, int64_t max_block,
               int64_t min_iters, int64_t max_iters, int64_t increment, double convergence, int64_t start_block) {
    if (!(tol >= 0)) raise(PyExc_ValueError, "tol must be a non-negative number");
    if (min_block < 1 || max_block < 1 || nsvals_large < 1 || increment < 1 || max_iters < 1 || min_iters < 0)
        raise(PyExc_ValueError, "block sizes, counts and iteration limits must be positive");
    return self.visit([&](auto &d, auto e, auto) -> nb::object {
        using E = typename decltype(e)::type;
        Block<double> g = read_block<double>(G, d.r, "G");
        const SSIOptions opt{tol, nsvals_large, min_block, max_block, min_iters, max_iters, increment, start_block, convergence};
        const int64_t maxb = std::min<int64_t>(std::max(max_block, std::min<int64_t>(nsvals_large, d.r)), d.r);
        if (int64_t(g.cols) < maxb) raise(PyExc_ValueError, "G must have a column for each vector of the largest block");
        Block<E> start(g.rows, g.cols);
        for (size_t k = 0; k < g.v.size(); ++k) start.v[k] = E(g.v[k]);
        SSIResult<E> res;
        run_native([&] { res = d.ssi(opt, start); });
        nb::dict stats;
        stats["flag"] = res.flag;
        stats["rank"] = res.rank;
        stats["nsl"] = res.nsl;
        stats["iterations"] = res.iterations;
        stats["block"] = res.block;
        stats["max_block"] = res.max_block;
        stats["norm_null"] = res.norm_null;
        return nb::make_tuple(to_numpy(std::move(res.U)), to_numpy(std::move(res.s)), to_numpy(std::move(res.V)),
                              to_numpy(std::move(res.e)), stats);
    });
}

template <class T> nb::object copy_array(const T *p, size_t n) {
    std::vector<T> v(n);
    if (n) std::memcpy(v.data(), p, n * sizeof(T));
    return array_from_vector(std::move(v));
}

nb::object householder(RankQR &self) {
    return self.visit([&](auto &d, auto e, auto i) -> nb::object {
        using E = typename decltype(e)::type;
        using I = typename decltype(i)::type;
        const cholmod_sparse *H = d.H();
        const I *Hp = static_cast<const I *>(H->p);
        const size_t nnz = size_t(Hp[H->ncol]);
        nb::object Hs = make_csc(copy_array(static_cast<const E *>(H->x), nnz), copy_array(static_cast<const I *>(H->i), nnz),
                                 copy_array(Hp, H->ncol + 1), int64_t(H->nrow), int64_t(H->ncol));
        nb::object tau = copy_array(static_cast<const E *>(d.tau()->x), H->ncol);
        nb::object v = copy_array(d.HPinv(), H->nrow);
        return nb::make_tuple(Hs, tau, v);
    });
}

nb::object r_factor(RankQR &self) {
    return self.visit([&](auto &d, auto e, auto i) -> nb::object {
        using E = typename decltype(e)::type;
        using I = typename decltype(i)::type;
        // R1 = R[:r, :] in the live-first column order of perm.
        const cholmod_sparse *R = d.R();
        const I *Rp = static_cast<const I *>(R->p), *Ri = static_cast<const I *>(R->i);
        const E *Rx = static_cast<const E *>(R->x);
        std::vector<I> p(size_t(d.n) + 1, 0), ri;
        std::vector<E> rx;
        for (int64_t j = 0; j < d.n; ++j) {
            const I c = d.column(j);
            for (I q = Rp[c]; q < Rp[c + 1]; ++q)
                if (Ri[q] < d.r) { ri.push_back(Ri[q]); rx.push_back(Rx[q]); }
            p[size_t(j) + 1] = I(ri.size());
        }
        return make_csc(array_from_vector(std::move(rx)), array_from_vector(std::move(ri)), array_from_vector(std::move(p)),
                        d.r, d.n);
    });
}

}  // namespace

void register_rank(nb::module_ &m) {
    nb::class_<RankQR>(m, "_RankQR",
                       "SPQR's factorization A E = Q R + F at a tolerance, held for orvex.rank (private).")
        .def_prop_ro("shape", [](RankQR &s) { return s.visit([](auto &d, auto, auto) { return nb::make_tuple(d.m, d.n); }); })
        .def_prop_ro("rank", [](RankQR &s) { return s.visit([](auto &d, auto, auto) { return d.r; }); })
        .def_prop_ro("rank_spqr", [](RankQR &s) { return s.visit([](auto &d, auto, auto) { return d.rank_spqr; }); })
        .def_prop_ro("norm_E_fro", [](RankQR &s) { return s.visit([](auto &d, auto, auto) { return d.norm_E_fro; }); })
        .def_prop_ro("tol_used", [](RankQR &s) { return s.visit([](auto &d, auto, auto) { return d.tol_used; }); })
        .def_prop_ro("is_real", [](RankQR &s) { return s.real; })
        .def_prop_ro("perm", [](RankQR &s) {
            return s.visit([](auto &d, auto, auto) { return copy_array(d.perm.data(), d.perm.size()); });
        })
        .def("qmult", &qmult, nb::call_guard<Call>(), nb::arg("code"), nb::arg("X").none())
        .def("solve", &solve, nb::call_guard<Call>(), nb::arg("X").none(), nb::arg("conj_trans"))
        .def("rmul", &rmul, nb::call_guard<Call>(), nb::arg("X").none(), nb::arg("which"))
        .def("ssi", &ssi, nb::call_guard<Call>(), nb::arg("tol"), nb::arg("G").none(), nb::arg("nsvals_large"), nb::arg("min_block"),
             nb::arg("max_block"), nb::arg("min_iters"), nb::arg("max_iters"), nb::arg("increment"),
             nb::arg("convergence"), nb::arg("start_block"))
        .def("householder", &householder, nb::call_guard<Call>())
        .def("r_factor", &r_factor, nb::call_guard<Call>())
        .def("transpose_factor", &transpose_factor, nb::call_guard<Call>(), nb::arg("order").none(), nb::arg("tol"));
    m.def("_rank_qr", &rank_qr, nb::call_guard<Call>(), nb::arg("A").none(), nb::arg("order").none(), nb::arg("tol"),
          "SPQR's QR of a canonical CSC matrix at `tol`, kept for orvex.rank.");
}

}  // namespace rank

void register_rank(nb::module_ &m) { rank::register_rank(m); }

}  // namespace orvex
