// The QR factorization orvex.rank works on: SPQR's A E = Q R + F at a
// tolerance, with R (columns reordered so that the r live ones come first),
// the Householder form of Q and SPQR's statistics, all owned natively.
// Everything below operates on that data with plain C++ and no Python, so
// it runs with the GIL released.
#pragma once

#include "orvex/cholmod/cholmod.hpp"
#include "orvex/rank/dense.hpp"

#include <SuiteSparseQR.hpp>

#include <memory>
#include <vector>

namespace orvex {
namespace rank {

// Outcome of the subspace iteration on inv(R11).
template <class Entry> struct SSIResult {
    int flag = 0;          // 0..3 as for the rank tools, 4 overflow
    int64_t rank = 0;      // rank of R11 at the tolerance
    int64_t nsl = 0;       // how many kept values lie above the tolerance
    Block<Entry> U, V;     // t x K, R11 V ~ U diag(s), columns in the order of s
    std::vector<double> s; // K estimated singular values, descending
    std::vector<double> e; // their estimated error bounds
    int64_t iterations = 0;
    int64_t block = 0, max_block = 0;
    double norm_null = 0;  // max(||R N_R||, ||R^H NT_R||)
};

struct SSIOptions {
    double tol;
    int64_t nsvals_large, min_block, max_block, min_iters, max_iters, increment, start_block;
    double convergence;
};

template <class Entry, class Int> class QRData {
public:
    QRData() : ws_(new Workspace<Int>()), R_(ws_->get()), H_(ws_->get()), tau_(ws_->get()),
               E_(ws_->get()), HPinv_(ws_->get()) {}
    QRData(const QRData &) = delete;
    QRData &operator=(const QRData &) = delete;

    // Factor A (no GIL: A's arrays must stay alive and unchanged).  Returns
    // the CHOLMOD status (0 on success).
    int factor(cholmod_sparse *A, int ordering, double tol);

    // A QR of R1^H (n x r) at tolerance `tol`, the second factorization of
    // the complete orthogonal decomposition.
    int factor_r1h(const QRData &src, int ordering, double tol);

    int64_t m = 0, n = 0, r = 0, rank_spqr = 0;
    double norm_E_fro = 0, tol_used = 0;
    std::vector<int64_t> perm;  // A E: column perm[j] of A is column j

    // x := R11^-1 x, R11^-H x (x of length r).
    void upper_solve(Entry *x) const;
    void lower_solve_h(Entry *x) const;
    // y = R11 x, y = R11^H x (length r), y = R1^H x (x length r, y length n).
    void mul(const Entry *x, Entry *y) const;
    void mul_h(const Entry *x, Entry *y, int64_t ncols) const;

    bool solve_block(Block<Entry> &X, bool conj_trans) const;  // false on Inf/NaN
    Block<Entry> mul_block(const Block<Entry> &X, int which) const;

    SSIResult<Entry> ssi(const SSIOptions &opt, const Block<Entry> &G) const;

    cholmod_sparse *R() const { return R_.get(); }
    cholmod_sparse *H() const { return H_.get(); }
    cholmod_dense *tau() const { return tau_.get(); }
    Int *HPinv() const { return HPinv_.get(); }
    bool has_q() const { return H_.get() != nullptr; }
    Int column(int64_t j) const { return cols_[size_t(j)]; }  // of R, for R1's column j

private:
    int finish_factor(cholmod_common *cm);
    std::unique_ptr<Workspace<Int>> ws_;  // first: outlives the owners below
    SparseOwner<Int> R_, H_;
    DenseOwner<Int> tau_;
    IndexOwner<Int> E_, HPinv_;
    std::vector<Int> cols_;   // column j of R11/R1 is column cols_[j] of R
    std::vector<Int> diag_;   // position of R11(j, j) in R's arrays
};

}  // namespace rank
}  // namespace orvex
