"""Problems of orvex.tall's tests: scattered-data fitting and matrices of chosen condition."""
import numpy as np
import scipy.sparse as sp

from conftest import as_csc


def scattered_fit(grid, nobs, dtype=np.float64, itype=np.int32, seed=0, smooth=1e-2):
    """Bilinear fit of nobs scattered values on a grid x grid mesh, with a smoothing term.

    Each observation row couples the four nodes around its point; the
    smoothing rows (differences of neighbours, weight `smooth`) make the
    problem well posed where no point falls.  Returns (A as CSR, b).
    """
    rng = np.random.default_rng(seed)
    g = grid
    pts = rng.uniform(0, g - 1, (nobs, 2))
    i0 = np.minimum(pts.astype(np.int64), g - 2)
    t = pts - i0
    w = np.column_stack([(1 - t[:, 0]) * (1 - t[:, 1]), t[:, 0] * (1 - t[:, 1]),
                         (1 - t[:, 0]) * t[:, 1], t[:, 0] * t[:, 1]])
    nodes = np.column_stack([i0[:, 0] * g + i0[:, 1], (i0[:, 0] + 1) * g + i0[:, 1],
                             i0[:, 0] * g + i0[:, 1] + 1, (i0[:, 0] + 1) * g + i0[:, 1] + 1])
    rows = np.repeat(np.arange(nobs), 4)
    A = sp.csr_array((w.ravel(), (rows, nodes.ravel())), shape=(nobs, g * g))
    idx = np.arange(g * g).reshape(g, g)
    pairs = [(idx[:-1, :].ravel(), idx[1:, :].ravel()), (idx[:, :-1].ravel(), idx[:, 1:].ravel())]
    a = np.concatenate([p[0] for p in pairs])
    c = np.concatenate([p[1] for p in pairs])
    k = a.size
    D = sp.csr_array((np.concatenate([np.full(k, smooth), np.full(k, -smooth)]),
                      (np.tile(np.arange(k), 2), np.concatenate([a, c]))), shape=(k, g * g))
    A = sp.vstack([A, D], format="csr")
    u = np.sin(pts[:, 0] / 3) * np.cos(pts[:, 1] / 4) + 0.01 * rng.standard_normal(nobs)
    b = np.concatenate([u, np.zeros(k)])
    if np.dtype(dtype).kind == "c":
        A = A * (1 + 0.5j)
        b = b * (1 - 0.25j) + 0.1j
    A = sp.csr_array(as_csc(A, dtype, itype))
    A.indices, A.indptr = A.indices.astype(itype), A.indptr.astype(itype)
    return A, b.astype(dtype)


def conditioned(m, n, kappa, dtype=np.float64, seed=0, svals=None):
    """A dense-valued m x n matrix (held sparse) with singular values logspaced from 1 to 1/kappa
    (or the given svals)."""
    rng = np.random.default_rng(seed)

    def orth(k, p):
        X = rng.standard_normal((k, p))
        if np.dtype(dtype).kind == "c":
            X = X + 1j * rng.standard_normal((k, p))
        return np.linalg.qr(X)[0]

    s = np.logspace(0, -np.log10(kappa), n) if svals is None else np.asarray(svals)
    return sp.csr_array((orth(m, n) * s) @ orth(n, n).conj().T)


def blocks_of(A, b, sizes):
    """(A_i, b_i) pairs of consecutive rows with the given sizes."""
    out, s = [], 0
    for k in sizes:
        out.append((A[s:s + k], b[s:s + k]))
        s += k
    assert s == A.shape[0]
    return out
