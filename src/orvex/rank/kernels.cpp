// Numerical kernels of orvex.rank over SPQR's own R: triangular solves and
// products with the live block R11, products with R1 = R[:r, :], and the
// subspace iteration on inv(R11) that finds R11's rank at a tolerance with
// singular triplets around it.  No Python in this file.
#include "orvex/rank/qr.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvex {
namespace rank {

// ---- factorizations -----------------------------------------------------------------

template <class Entry, class Int> int QRData<Entry, Int>::factor(cholmod_sparse *A, int ordering, double tol) {
    cholmod_common *cm = ws_->get();
    m = int64_t(A->nrow);
    n = int64_t(A->ncol);
    E_.set_count(A->ncol);
    HPinv_.set_count(A->nrow);
    cholmod_sparse *r = nullptr, *h = nullptr;
    cholmod_dense *t = nullptr;
    const Int got = SuiteSparseQR<Entry, Int>(ordering, tol, Int(A->nrow), A, &r, E_.out(), &h, HPinv_.out(), &t, cm);
    R_.reset(r);
    H_.reset(h);
    tau_.reset(t);
    if (cm->status < 0) return cm->status;
    if (!R_.get() || !H_.get() || !tau_.get() || !HPinv_.get()) return CHOLMOD_INVALID;
    rank_spqr = int64_t(got);
    return finish_factor(cm);
}

template <class Entry, class Int> int QRData<Entry, Int>::finish_factor(cholmod_common *cm) {
    norm_E_fro = cm->SPQR_norm_E_fro;
    tol_used = cm->SPQR_tol_used;
    cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    // Live columns: a column's largest row index equals the number of live
    // columns before it.  They form R11 (upper triangular, nonzero
    // diagonal); dead columns hold entries above their pivot row only.
    std::vector<Int> live, dead;
    live.reserve(size_t(n));
    diag_.clear();
    for (int64_t j = 0; j < n; ++j) {
        Int last = -1, pos = -1;
        for (Int p = Rp[j]; p < Rp[j + 1]; ++p)
            if (Ri[p] > last) { last = Ri[p]; pos = p; }
        if (last == Int(live.size())) {
            live.push_back(Int(j));
            diag_.push_back(pos);
        } else {
            dead.push_back(Int(j));
        }
    }
    r = int64_t(live.size());
    cols_ = live;
    cols_.insert(cols_.end(), dead.begin(), dead.end());
    perm.resize(size_t(n));
    const Int *E = E_.get();
    for (int64_t j = 0; j < n; ++j) perm[size_t(j)] = E ? int64_t(E[cols_[size_t(j)]]) : int64_t(cols_[size_t(j)]);
    return 0;
}

template <class Entry, class Int>
int QRData<Entry, Int>::factor_r1h(const QRData &src, int ordering, double tol) {
    // R1^H is n x r: column i holds the conjugates of row i of R1, whose
    // columns are taken in src's live-first order.  The fixed ordering takes
    // R1's rows last to first: then R11^H is upper triangular up to a row
    // permutation, and its QR fills in only where R12 adds to it.
    const int64_t rn = src.n, rr = src.r;
    const bool reverse = ordering == SPQR_ORDERING_FIXED;
    const cholmod_sparse *R = src.R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    std::vector<Int> count(size_t(rr) + 1, 0);
    for (int64_t j = 0; j < rn; ++j) {
        const Int c = src.cols_[size_t(j)];
        for (Int p = Rp[c]; p < Rp[c + 1]; ++p)
            if (Ri[p] < rr) ++count[size_t(reverse ? rr - 1 - Ri[p] : Ri[p]) + 1];
    }
    for (int64_t i = 0; i < rr; ++i) count[size_t(i) + 1] += count[size_t(i)];
    std::vector<Int> Tp(count);
    std::vector<Int> Ti(static_cast<size_t>(count[size_t(rr)]));
    std::vector<Entry> Tx(Ti.size());
    std::vector<Int> next(count.begin(), count.end() - 1);
    for (int64_t j = 0; j < rn; ++j) {  // rows of each column come out sorted
        const Int c = src.cols_[size_t(j)];
        for (Int p = Rp[c]; p < Rp[c + 1]; ++p) {
            if (Ri[p] >= rr) continue;
            const Int i = reverse ? Int(rr - 1 - Ri[p]) : Ri[p];
            const Int q = next[size_t(i)]++;
            Ti[size_t(q)] = Int(j);
            Tx[size_t(q)] = conj(Rx[p]);
        }
    }
    cholmod_sparse T{};
    T.nrow = size_t(rn);
    T.ncol = size_t(rr);
    T.nzmax = std::max<size_t>(Ti.size(), 1);
    Ti.resize(T.nzmax);
    Tx.resize(T.nzmax);
    T.p = Tp.data();
    T.i = Ti.data();
    T.x = Tx.data();
    T.stype = 0;
    T.itype = Cholmod<Int>::itype;
    T.xtype = EntryTraits<Entry>::xtype;
    T.dtype = CHOLMOD_DOUBLE;
    T.sorted = 1;
    T.packed = 1;
    const int status = factor(&T, ordering, tol);
    if (reverse && status == 0)
        for (int64_t &j : perm) j = rr - 1 - j;  // back to R1's row numbers
    return status;
}

// ---- R-only kernels -------------------------------------------------------------------

template <class Entry, class Int> void QRData<Entry, Int>::upper_solve(Entry *x) const {
    const cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    for (int64_t j = r - 1; j >= 0; --j) {
        const Int c = cols_[size_t(j)];
        const Entry xj = x[j] / Rx[diag_[size_t(j)]];
        x[j] = xj;
        if (xj == Entry(0)) continue;
        for (Int p = Rp[c]; p < Rp[c + 1]; ++p)
            if (Ri[p] < j) x[Ri[p]] -= Rx[p] * xj;
    }
}

template <class Entry, class Int> void QRData<Entry, Int>::lower_solve_h(Entry *x) const {
    const cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    for (int64_t j = 0; j < r; ++j) {
        const Int c = cols_[size_t(j)];
        Entry s = x[j];
        for (Int p = Rp[c]; p < Rp[c + 1]; ++p)
            if (Ri[p] < j) s -= conj(Rx[p]) * x[Ri[p]];
        x[j] = s / conj(Rx[diag_[size_t(j)]]);
    }
}

template <class Entry, class Int> void QRData<Entry, Int>::mul(const Entry *x, Entry *y) const {
    const cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    std::fill(y, y + r, Entry(0));
    for (int64_t j = 0; j < r; ++j) {
        const Int c = cols_[size_t(j)];
        const Entry xj = x[j];
        for (Int p = Rp[c]; p < Rp[c + 1]; ++p) y[Ri[p]] += Rx[p] * xj;
    }
}

template <class Entry, class Int> void QRData<Entry, Int>::mul_h(const Entry *x, Entry *y, int64_t ncols) const {
    const cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    for (int64_t j = 0; j < ncols; ++j) {
        const Int c = cols_[size_t(j)];
        Entry s(0);
        for (Int p = Rp[c]; p < Rp[c + 1]; ++p)
            if (Ri[p] < r) s += conj(Rx[p]) * x[Ri[p]];
        y[j] = s;
    }
}

template <class Entry, class Int> bool QRData<Entry, Int>::solve_block(Block<Entry> &X, bool conj_trans) const {
    const size_t b = X.cols, t = size_t(r);
    if (b <= 1 || t == 0) {
        for (size_t k = 0; k < b; ++k) {
            if (conj_trans) lower_solve_h(X.col(k));
            else upper_solve(X.col(k));
        }
        return all_finite(X);
    }
    // Several columns at once: each entry of R is read once per block (not
    // once per column), and the block is held row by row so that the update
    // of a row runs over contiguous memory.  Each column sees the same
    // operations in the same order as in the one-column solves.
    std::vector<Entry> Y(t * b);
    for (size_t k = 0; k < b; ++k)
        for (size_t i = 0; i < t; ++i) Y[i * b + k] = X(i, k);
    const cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    if (!conj_trans) {
        for (int64_t j = r - 1; j >= 0; --j) {
            const Int c = cols_[size_t(j)];
            Entry *yj = Y.data() + size_t(j) * b;
            const Entry d = Rx[diag_[size_t(j)]];
            for (size_t k = 0; k < b; ++k) yj[k] = yj[k] / d;
            for (Int p = Rp[c]; p < Rp[c + 1]; ++p) {
                if (Ri[p] >= j) continue;
                const Entry a = Rx[p];
                Entry *yi = Y.data() + size_t(Ri[p]) * b;
                for (size_t k = 0; k < b; ++k) yi[k] -= a * yj[k];
            }
        }
    } else {
        for (int64_t j = 0; j < r; ++j) {
            const Int c = cols_[size_t(j)];
            Entry *yj = Y.data() + size_t(j) * b;
            for (Int p = Rp[c]; p < Rp[c + 1]; ++p) {
                if (Ri[p] >= j) continue;
                const Entry a = conj(Rx[p]);
                const Entry *yi = Y.data() + size_t(Ri[p]) * b;
                for (size_t k = 0; k < b; ++k) yj[k] -= a * yi[k];
            }
            const Entry d = conj(Rx[diag_[size_t(j)]]);
            for (size_t k = 0; k < b; ++k) yj[k] = yj[k] / d;
        }
    }
    for (size_t k = 0; k < b; ++k)
        for (size_t i = 0; i < t; ++i) X(i, k) = Y[i * b + k];
    return all_finite(X);
}

// which: 0 R11 X, 1 R11^H X, 2 R1^H X.  Blocks are multiplied row by row,
// as they are solved: R is read once per block.
template <class Entry, class Int> Block<Entry> QRData<Entry, Int>::mul_block(const Block<Entry> &X, int which) const {
    const size_t b = X.cols, t = size_t(r), rows = which == 2 ? size_t(n) : t;
    Block<Entry> Y(rows, b);
    if (b <= 1) {
        for (size_t k = 0; k < b; ++k) {
            if (which == 0) mul(X.col(k), Y.col(k));
            else mul_h(X.col(k), Y.col(k), int64_t(rows));
        }
        return Y;
    }
    std::vector<Entry> x(t * b), y(rows * b, Entry(0));
    for (size_t k = 0; k < b; ++k)
        for (size_t i = 0; i < t; ++i) x[i * b + k] = X(i, k);
    const cholmod_sparse *R = R_.get();
    const Int *Rp = static_cast<const Int *>(R->p), *Ri = static_cast<const Int *>(R->i);
    const Entry *Rx = static_cast<const Entry *>(R->x);
    for (size_t j = 0; j < (which == 0 ? t : rows); ++j) {
        const Int c = cols_[j];
        if (which == 0) {
            const Entry *xj = x.data() + j * b;
            for (Int p = Rp[c]; p < Rp[c + 1]; ++p) {
                const Entry a = Rx[p];
                Entry *yi = y.data() + size_t(Ri[p]) * b;
                for (size_t k = 0; k < b; ++k) yi[k] += a * xj[k];
            }
        } else {
            Entry *yj = y.data() + j * b;
            for (Int p = Rp[c]; p < Rp[c + 1]; ++p) {
                if (Ri[p] >= r) continue;
                const Entry a = conj(Rx[p]);
                const Entry *xi = x.data() + size_t(Ri[p]) * b;
                for (size_t k = 0; k < b; ++k) yj[k] += a * xi[k];
            }
        }
    }
    for (size_t k = 0; k < b; ++k)
        for (size_t i = 0; i < rows; ++i) Y(i, k) = y[i * b + k];
    return Y;
}

// ---- subspace iteration on inv(R11) ----------------------------------------------------

namespace {

// Orthonormal basis of the columns of G not already in span(U) (U has
// orthonormal columns); appended to U.
template <class Entry> void append_orthonormal(Block<Entry> &U, Block<Entry> G) {
    for (int pass = 0; pass < 2; ++pass) {
        const Block<Entry> C = matmul_h(U, G);  // U^H G
        const Block<Entry> P = matmul(U, C);
        for (size_t k = 0; k < G.v.size(); ++k) G.v[k] -= P.v[k];
    }
    Block<Entry> Q;
    thin_qr(std::move(G), Q, static_cast<Block<Entry> *>(nullptr));
    Block<Entry> W(U.rows, U.cols + Q.cols);
    std::copy(U.v.begin(), U.v.end(), W.v.begin());
    std::copy(Q.v.begin(), Q.v.end(), W.v.begin() + std::ptrdiff_t(U.v.size()));
    U = std::move(W);
}

template <class Entry> Block<Entry> columns(const Block<Entry> &A, size_t first, size_t count) {
    Block<Entry> B(A.rows, count);
    std::copy(A.col(first), A.col(first) + A.rows * count, B.v.begin());
    return B;
}

}  // namespace

template <class Entry, class Int>
SSIResult<Entry> QRData<Entry, Int>::ssi(const SSIOptions &opt, const Block<Entry> &G) const {
    SSIResult<Entry> out;
    const int64_t t = r;
    const double tol = opt.tol;
    const int64_t nsl = std::min<int64_t>(std::max<int64_t>(opt.nsvals_large, 1), t);
    const int64_t maxb = std::min<int64_t>(std::max(opt.max_block, nsl), t);
    int64_t b = std::min<int64_t>(std::max<int64_t>(opt.min_block, 1), t);
    b = std::min(std::max(b, std::min(opt.start_block, maxb)), maxb);  // G has maxb columns
    out.max_block = maxb;
    if (t == 0) return out;

    Block<Entry> U;
    thin_qr(columns(G, 0, size_t(b)), U, static_cast<Block<Entry> *>(nullptr));
    int64_t used = b;
    Block<Entry> U0, V, X1, X2, W, Z;
    std::vector<double> d1, d;
    int64_t j = -1, nslp = 0, j2 = -1;  // j: first estimate above tol (0-based)
    bool rank_zero = false;
    int64_t it = 0;
    for (it = 1; it <= opt.max_iters; ++it) {
        check_interrupt();
        U0 = U;
        W = U0;
        if (!solve_block(W, false)) { out.flag = 4; out.iterations = it; out.block = b; return out; }
        thin_svd(W, V, d1, X1);
        Z = V;
        if (!solve_block(Z, true)) { out.flag = 4; out.iterations = it; out.block = b; return out; }
        thin_svd(Z, U, d, X2);
        // Estimates 1/d ascending; d descending.
        j = -1;
        for (int64_t i = 0; i < b; ++i)
            if (d[size_t(i)] * tol < 1) { j = i; break; }
        if (j < 0 && b == t) { rank_zero = true; break; }
        bool converged = false;
        if (j >= 0) {
            nslp = std::min(nsl, maxb - j);
            j2 = j + nslp - 1;
            if (b > j2 && it >= opt.min_iters) {
                // Error of the estimate i without products by R:
                // R v_i = U0 X1 D1^-1 X2(:, i), R^H u_i = v_i / d_i.
                auto err = [&](int64_t i) {
                    std::vector<Entry> y(size_t(b), Entry(0));
                    for (int64_t l = 0; l < b; ++l) {
                        Entry s(0);
                        for (int64_t q = 0; q < b; ++q) s += X1(size_t(l), size_t(q)) / d1[size_t(q)] * X2(size_t(q), size_t(i));
                        y[size_t(l)] = s;
                    }
                    std::vector<Entry> res(static_cast<size_t>(t));
                    for (int64_t row = 0; row < t; ++row) {
                        Entry s(0);
                        for (int64_t l = 0; l < b; ++l) s += U0(size_t(row), size_t(l)) * y[size_t(l)];
                        res[size_t(row)] = s - U(size_t(row), size_t(i)) / d[size_t(i)];
                    }
                    return norm2(res.data(), size_t(t)) / std::sqrt(2.0);
                };
                const double sj = 1 / d[size_t(j)], sj2 = 1 / d[size_t(j2)];
                converged = err(j) <= opt.convergence * std::abs(sj - tol) && err(j2) <= opt.convergence * sj2;
            }
        }
        if (converged) break;
        if (j < 0 && b == maxb && it >= opt.min_iters) break;
        if (it < opt.max_iters && (j < 0 || b <= j2)) {
            const int64_t nb_ = j < 0 ? std::min(b + opt.increment, maxb) : std::min(j2 + 1, maxb);
            if (nb_ > b) {
                append_orthonormal(U, columns(G, size_t(used), size_t(nb_ - b)));
                used += nb_ - b;
                b = nb_;
            }
        }
    }
    out.iterations = std::min(it, opt.max_iters);  // it is max_iters + 1 when the loop ran out
    out.block = b;

    // V := V X2, so that R^H u_i = s_i v_i; keep K columns, descending.
    const Block<Entry> VX = matmul(V, X2);
    int64_t K;
    if (rank_zero) {
        K = b;
        out.rank = 0;
        out.nsl = 0;
    } else if (j >= 0) {
        K = std::min(b, j2 + 1);
        out.rank = t - j;
        out.nsl = K - j;
    } else {
        K = b;
        out.rank = t - b;  // an upper bound only
        out.nsl = 0;
    }
    const size_t Ks = size_t(K), ts = size_t(t);
    out.U = Block<Entry>(ts, Ks);
    out.V = Block<Entry>(ts, Ks);
    out.s.resize(Ks);
    for (size_t k = 0; k < Ks; ++k) {
        const size_t i = Ks - 1 - k;
        out.s[k] = 1 / d[i];
        std::copy(U.col(i), U.col(i) + ts, out.U.col(k));
        std::copy(VX.col(i), VX.col(i) + ts, out.V.col(k));
    }
    // Error bounds with products by R: ||[R v - s u; R^H u - s v]|| / sqrt(2).
    const Block<Entry> RV = mul_block(out.V, 0), RhU = mul_block(out.U, 1);
    out.e.resize(Ks);
    for (size_t k = 0; k < Ks; ++k) {
        std::vector<Entry> res(2 * ts);
        for (size_t i = 0; i < ts; ++i) {
            res[i] = RV(i, k) - out.s[k] * out.U(i, k);
            res[ts + i] = RhU(i, k) - out.s[k] * out.V(i, k);
        }
        out.e[k] = norm2(res.data(), 2 * ts) / std::sqrt(2.0);
    }
    // ||R N_R|| and ||R^H NT_R|| over the columns below the tolerance.
    const size_t ns = Ks - size_t(out.nsl);
    if (ns > 0) {
        const Block<Entry> a = columns(RV, size_t(out.nsl), ns), c = columns(RhU, size_t(out.nsl), ns);
        out.norm_null = std::max(norm_2(a), norm_2(c));
    }
    const int64_t q = out.nsl;
    const double lower = q > 0 ? out.s[size_t(q - 1)] - out.e[size_t(q - 1)] : 0;
    if (rank_zero) out.flag = 0;
    else if (q > 0 && (out.rank == t || out.norm_null <= tol) && lower > tol) out.flag = 0;
    else if (q > 0 && (out.rank == t || lower > out.norm_null)) out.flag = 1;
    else if (q > 0 && out.s[size_t(q - 1)] > tol && tol >= out.norm_null) out.flag = 2;
    else out.flag = 3;
    return out;
}

template class QRData<double, int32_t>;
template class QRData<double, int64_t>;
template class QRData<Complex, int32_t>;
template class QRData<Complex, int64_t>;

}  // namespace rank
}  // namespace orvex
