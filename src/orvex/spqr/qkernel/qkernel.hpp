// Products with Q held in Householder form, one reflector at a time.
//
// SPQR's own kernels gather each panel of Householder vectors into a dense
// block and apply it with LAPACK's block reflectors: the right choice for
// many right-hand sides, wasteful for one or a few.  The kernel here applies
// each sparse reflector in turn, H_k x = x - tau_k v_k (v_k^H x), straight
// over its nonzeros (about 4 nnz(H) flops per vector of the operand), and is
// chosen over SPQR's for narrow operands only.
//
// Both representations of Q are served: the Householder triple (H, tau, v)
// of `spqr(..., mode="householder")`, and the Householder vectors a
// factorization keeps inside its fronts (read in place; no copy of H is
// formed).  The contract is SuiteSparseQR_qmult's: the result is allocated
// through `cm` (null, with cm->status set, on failure), the row permutation
// is applied exactly as SPQR applies it, the first entry of each Householder
// vector is taken as 1, and whatever SPQR would refuse (a bad method,
// mismatched dimensions, a factorization without H) is handed to SPQR so
// that the refusal is SPQR's own.  No Python object is touched.
#pragma once

#include "orvex/spqr/frame/frame.hpp"

#include <vector>

namespace orvex {
namespace qkernel {

// Which kernel runs: the width rule (Auto), or always one of the two
// (tests and benchmarks compare them).
enum Choice { Auto = 0, Own = 1, Spqr = 2 };
void set_choice(Choice c);
Choice choice();

// The width rule, measured by benchmarks/qkernel.py (the crossover is in
// benchmarks/results/qkernel.md): orvex's kernel for operands of at most
// this many vectors (columns for Q X and Q^H X, rows for X Q and X Q^H).
constexpr int64_t factor_max_width = 16;
constexpr int64_t triple_max_width = 16;

// The operand's width as the rule sees it.
inline int64_t width(int method, const cholmod_dense *X) {
    return int64_t(method == SPQR_QTX || method == SPQR_QX ? X->ncol : X->nrow);
}

// Q from a factorization (SuiteSparseQR_qmult over the QR object).
template <class Entry, class Int>
cholmod_dense *qmult(int method, QRFactor<Entry, Int> *QR, cholmod_dense *X, cholmod_common *cm);

// Q from the triple (SuiteSparseQR_qmult over H, tau and HPinv).  SPQR's
// blocked kernel takes the entries that a Householder vector holds in the
// first rows of earlier vectors of its panel as zero; every triple SPQR
// makes has none, but a triple made by hand may.  For those (found by
// forming SPQR's panels) SPQR's kernel runs whatever the width, so that the
// result is always SPQR's.
//
// `made`: the triple is one SPQR made (and nobody changed), which has no
// such entries: the search is skipped.
template <class Entry, class Int>
cholmod_dense *qmult(int method, cholmod_sparse *H, cholmod_dense *Tau, Int *HPinv, cholmod_dense *X,
                     cholmod_common *cm, bool made = false);

// ---- triples SPQR made --------------------------------------------------------------
//
// The structure of a triple that spqr made, arranged once for products:
// runs of consecutive reflectors (panels) whose rows overlap, as those of
// one front do (SPQR's staircase), with the union of their rows.  A product
// gathers a panel's rows of the operand once into a small contiguous block,
// applies the run there and scatters the block back, instead of reaching
// each reflector's rows of the whole operand.  Reflector k's entries sit at
// the block positions at[k], at[k] + 1, ... (at[k] >= 0; most of them), or
// at those listed from loc[-at[k] - 1] on.  Addressing goes through this
// structure only, never through the caller's arrays.
template <class Int> struct TripleShape {
    using value_type = Int;  // the index type
    int64_t m = 0, nh = 0, nnz = 0;
    std::vector<Int> p;            // H's column pointers (nh + 1)
    std::vector<Int> perm;         // the row permutation v (m)
    std::vector<int64_t> first;    // panel g holds reflectors first[g] .. first[g + 1] - 1
    std::vector<int64_t> rowp;     // and rows rows[rowp[g] .. rowp[g + 1] - 1]
    std::vector<Int> rows;
    std::vector<int64_t> at;       // per reflector
    std::vector<uint32_t> loc;
    int64_t max_rows = 0;          // the largest panel's row count
    // Bytes held (what a triple costs beyond its arrays).
    size_t bytes() const {
        return p.size() * sizeof(Int) + perm.size() * sizeof(Int) + (first.size() + rowp.size()) * sizeof(int64_t) +
               rows.size() * sizeof(Int) + at.size() * sizeof(int64_t) + loc.size() * sizeof(uint32_t);
    }
};

// A panel grows while its next reflector starts in one of its rows and the
// union stays within this many rows (a block of 8 complex columns of it
// stays within 512 KiB of cache).
constexpr int64_t panel_max_rows = 4096;

// The shape of SPQR's own H (no empty column, no row twice in a column)
// and v.  Allocation failure throws std::bad_alloc.
template <class Int> void triple_shape(const cholmod_sparse &H, const Int *perm, TripleShape<Int> &S);

// Whether the row indices Hi (S.nnz of them, in H's order) are those S was
// made from: one pass over them, compared panel by panel.
template <class Int> bool same_rows(const TripleShape<Int> &S, const Int *Hi);

// Whether the width rule (or the override) has orvex's kernel multiply a
// dense operand by a triple's Q with mh rows.
template <class Entry> bool own_triple(int method, size_t mh, const cholmod_dense *X);

// Q from a triple spqr made whose structure is S, with H's values Hx as
// the caller holds them now (tau: the coefficients, S.nh of them).  Each
// panel's values are checked before it is applied: when one is NaN or
// infinite, `nonfinite` is set and null returned with cm->status untouched.
// Only for operands own_triple accepts.
template <class Entry, class Int>
cholmod_dense *qmult(int method, const TripleShape<Int> &S, const Entry *Hx, const Entry *tau, cholmod_dense *X,
                     cholmod_common *cm, bool &nonfinite);

// Sparse operands always take SPQR's kernel.
template <class Entry, class Int>
inline cholmod_sparse *qmult(int method, QRFactor<Entry, Int> *QR, cholmod_sparse *X, cholmod_common *cm) {
    return SuiteSparseQR_qmult<Entry, Int>(method, QR, X, cm);
}
template <class Entry, class Int>
inline cholmod_sparse *qmult(int method, cholmod_sparse *H, cholmod_dense *Tau, Int *HPinv, cholmod_sparse *X,
                             cholmod_common *cm, bool = false) {
    return SuiteSparseQR_qmult<Entry, Int>(method, H, Tau, HPinv, X, cm);
}

}  // namespace qkernel
}  // namespace orvex
