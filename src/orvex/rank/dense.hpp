// Small dense kernels of orvex.rank: column-major blocks of a few columns
// (the subspaces of the rank iterations), a Householder QR of a tall block
// and a one-sided Jacobi SVD.  Plain C++ over std::vector, no Python and no
// LAPACK: the blocks have at most a few dozen columns, so these are cheap
// next to the sparse triangular solves they serve.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <numeric>
#include <vector>

namespace orvex {
namespace rank {

using Complex = std::complex<double>;

inline double conj(double x) { return x; }
inline Complex conj(const Complex &x) { return std::conj(x); }
inline double abs2(double x) { return x * x; }
inline double abs2(const Complex &x) { return x.real() * x.real() + x.imag() * x.imag(); }
inline double re(double x) { return x; }
inline double re(const Complex &x) { return x.real(); }
inline bool finite(double x) { return std::isfinite(x); }
inline bool finite(const Complex &x) { return std::isfinite(x.real()) && std::isfinite(x.imag()); }

// A column-major rows x cols block.
template <class Entry> struct Block {
    size_t rows = 0, cols = 0;
    std::vector<Entry> v;
    Block() = default;
    Block(size_t r, size_t c) : rows(r), cols(c), v(r * c, Entry(0)) {}
    Entry *col(size_t j) { return v.data() + j * rows; }
    const Entry *col(size_t j) const { return v.data() + j * rows; }
    Entry &operator()(size_t i, size_t j) { return v[i + j * rows]; }
    const Entry &operator()(size_t i, size_t j) const { return v[i + j * rows]; }
};

template <class Entry> double norm2(const Entry *x, size_t n) {
    // Scaled, so that tiny and huge columns neither underflow nor overflow.
    double scale = 0;
    for (size_t i = 0; i < n; ++i) scale = std::max(scale, std::abs(x[i]));
    if (scale == 0 || !std::isfinite(scale)) return scale;
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += abs2(x[i] / scale);
    return scale * std::sqrt(s);
}

template <class Entry> Entry dotc(const Entry *x, const Entry *y, size_t n) {  // x^H y
    Entry s(0);
    for (size_t i = 0; i < n; ++i) s += conj(x[i]) * y[i];
    return s;
}

template <class Entry> bool all_finite(const Block<Entry> &B) {
    for (const Entry &x : B.v)
        if (!finite(x)) return false;
    return true;
}

// C = A B (A: r x k, B: k x c).
template <class Entry> Block<Entry> matmul(const Block<Entry> &A, const Block<Entry> &B) {
    Block<Entry> C(A.rows, B.cols);
    for (size_t j = 0; j < B.cols; ++j)
        for (size_t l = 0; l < A.cols; ++l) {
            const Entry b = B(l, j);
            if (b == Entry(0)) continue;
            const Entry *a = A.col(l);
            Entry *c = C.col(j);
            for (size_t i = 0; i < A.rows; ++i) c[i] += a[i] * b;
        }
    return C;
}

// C = A^H B (A: k x r, B: k x c).
template <class Entry> Block<Entry> matmul_h(const Block<Entry> &A, const Block<Entry> &B) {
    Block<Entry> C(A.cols, B.cols);
    for (size_t j = 0; j < B.cols; ++j)
        for (size_t i = 0; i < A.cols; ++i) C(i, j) = dotc(A.col(i), B.col(j), A.rows);
    return C;
}

// Thin Householder QR of a t x b block (t >= b): A = Q R with Q t x b
// orthonormal and R b x b upper triangular.  A zero column gives a zero
// diagonal entry and an arbitrary (still orthonormal) column of Q.
template <class Entry> void thin_qr(Block<Entry> A, Block<Entry> &Q, Block<Entry> *R) {
    const size_t t = A.rows, b = A.cols;
    std::vector<Entry> tau(b, Entry(0));
    std::vector<Entry> diag(b, Entry(0));
    for (size_t j = 0; j < b; ++j) {
        Entry *x = A.col(j) + j;
        const size_t len = t - j;
        const double nx = norm2(x, len);
        if (nx == 0) { diag[j] = 0; tau[j] = 0; continue; }
        // alpha = -phase(x0) ||x||; v = x - alpha e1, tau = 2 / ||v||^2.
        const double a0 = std::abs(x[0]);
        const Entry phase = a0 == 0 ? Entry(1) : x[0] / a0;
        const Entry alpha = -phase * nx;
        x[0] -= alpha;
        const double nv = norm2(x, len);
        for (size_t i = 0; i < len; ++i) x[i] /= nv;  // unit v, tau = 2
        tau[j] = 2;
        diag[j] = alpha;
        for (size_t c = j + 1; c < b; ++c) {
            Entry *y = A.col(c) + j;
            const Entry s = Entry(2) * dotc(x, y, len);
            for (size_t i = 0; i < len; ++i) y[i] -= s * x[i];
        }
    }
    if (R) {
        *R = Block<Entry>(b, b);
        for (size_t j = 0; j < b; ++j) {
            for (size_t i = 0; i < j; ++i) (*R)(i, j) = A(i, j);
            (*R)(j, j) = diag[j];
        }
    }
    // Q = H_0 ... H_{b-1} [I; 0], applied from the last reflector.
    Q = Block<Entry>(t, b);
    for (size_t j = 0; j < b; ++j) Q(j, j) = 1;
    for (size_t jj = b; jj-- > 0;) {
        if (tau[jj] == Entry(0)) continue;
        const Entry *x = A.col(jj) + jj;
        const size_t len = t - jj;
        for (size_t c = jj; c < b; ++c) {
            Entry *y = Q.col(c) + jj;
            const Entry s = Entry(2) * dotc(x, y, len);
            for (size_t i = 0; i < len; ++i) y[i] -= s * x[i];
        }
    }
}

// SVD of a small square block by one-sided Jacobi: G = Y diag(s) Z^H, s
// descending, Y and Z unitary.
template <class Entry>
void jacobi_svd(Block<Entry> G, Block<Entry> &Y, std::vector<double> &s, Block<Entry> &Z) {
    const size_t b = G.cols;
    Z = Block<Entry>(b, b);
    for (size_t j = 0; j < b; ++j) Z(j, j) = 1;
    const double eps = std::numeric_limits<double>::epsilon();
    const double threshold = eps * double(std::max<size_t>(b, 1));
    for (int sweep = 0; sweep < 80; ++sweep) {
        bool rotated = false;
        for (size_t p = 0; p + 1 < b; ++p)
            for (size_t q = p + 1; q < b; ++q) {
                Entry *gp = G.col(p), *gq = G.col(q);
                const double np = norm2(gp, G.rows), nq = norm2(gq, G.rows);
                if (np == 0 || nq == 0) continue;
                const Entry g = dotc(gp, gq, G.rows);
                const double ag = std::abs(g);
                if (ag <= threshold * np * nq) continue;
                rotated = true;
                // Make the inner product real, then rotate as in the real case.
                const Entry ph = g / ag;
                const double alpha = np * np, beta = nq * nq;
                const double zeta = (beta - alpha) / (2 * ag);
                const double tt = (zeta >= 0 ? 1.0 : -1.0) / (std::abs(zeta) + std::sqrt(1 + zeta * zeta));
                const double c = 1 / std::sqrt(1 + tt * tt), sn = c * tt;
                Entry *zp = Z.col(p), *zq = Z.col(q);
                for (size_t i = 0; i < G.rows; ++i) {
                    const Entry x = gp[i], y = gq[i] * conj(ph);
                    gp[i] = c * x - sn * y;
                    gq[i] = sn * x + c * y;
                }
                for (size_t i = 0; i < b; ++i) {
                    const Entry x = zp[i], y = zq[i] * conj(ph);
                    zp[i] = c * x - sn * y;
                    zq[i] = sn * x + c * y;
                }
            }
        if (!rotated) break;
    }
    std::vector<double> norms(b);
    for (size_t j = 0; j < b; ++j) norms[j] = norm2(G.col(j), G.rows);
    std::vector<size_t> order(b);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t c) { return norms[a] > norms[c]; });
    Y = Block<Entry>(G.rows, b);
    Block<Entry> Zs(b, b);
    s.assign(b, 0.0);
    for (size_t k = 0; k < b; ++k) {
        const size_t j = order[k];
        s[k] = norms[j];
        std::copy(Z.col(j), Z.col(j) + b, Zs.col(k));
        if (norms[j] > 0)
            for (size_t i = 0; i < G.rows; ++i) Y(i, k) = G(i, j) / norms[j];
    }
    Z = std::move(Zs);
    // Columns of Y for zero singular values: complete to an orthonormal set.
    for (size_t k = 0; k < b; ++k) {
        if (s[k] > 0) continue;
        for (size_t e = 0; e < G.rows; ++e) {
            std::vector<Entry> y(G.rows, Entry(0));
            y[e] = 1;
            for (int pass = 0; pass < 2; ++pass)
                for (size_t l = 0; l < b; ++l) {
                    if (l == k || (s[l] == 0 && l > k)) continue;
                    const Entry d = dotc(Y.col(l), y.data(), G.rows);
                    for (size_t i = 0; i < G.rows; ++i) y[i] -= d * Y(i, l);
                }
            const double ny = norm2(y.data(), G.rows);
            if (ny > 0.5) {
                for (size_t i = 0; i < G.rows; ++i) Y(i, k) = y[i] / ny;
                break;
            }
        }
    }
}

// Thin SVD of a t x b block (t >= b): W = V diag(s) X^H, s descending.
template <class Entry>
void thin_svd(const Block<Entry> &W, Block<Entry> &V, std::vector<double> &s, Block<Entry> &X) {
    // Scaled to unit largest entry, so that squared norms cannot overflow.
    double scale = 0;
    for (const Entry &x : W.v) scale = std::max(scale, std::abs(x));
    Block<Entry> Ws = W;
    if (scale > 0 && std::isfinite(scale))
        for (Entry &x : Ws.v) x /= scale;
    else
        scale = 1;
    Block<Entry> Q, R, Y;
    thin_qr(std::move(Ws), Q, &R);
    jacobi_svd(std::move(R), Y, s, X);
    for (double &v : s) v *= scale;
    V = matmul(Q, Y);
}

// Largest singular value of a block (0 for an empty one).
template <class Entry> double norm_2(const Block<Entry> &W) {
    if (W.cols == 0 || W.rows == 0) return 0;
    Block<Entry> V, X;
    std::vector<double> s;
    if (W.rows >= W.cols) {
        thin_svd(W, V, s, X);
    } else {
        Block<Entry> Wh(W.cols, W.rows);
        for (size_t i = 0; i < W.rows; ++i)
            for (size_t j = 0; j < W.cols; ++j) Wh(j, i) = conj(W(i, j));
        thin_svd(Wh, V, s, X);
    }
    return s.empty() ? 0 : s[0];
}

}  // namespace rank
}  // namespace orvex
