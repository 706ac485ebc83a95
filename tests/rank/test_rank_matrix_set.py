"""The rank tools on the singular matrices of tests/data/rank, against dense SVDs.

For every matrix and both tolerances of its reference file: a rank the
result calls certain (flag 0, or flag 1 at its alternate tolerance) equals
the SVD rank; the bounds bracket the singular values; null spaces are
orthonormal with ||A N|| <= tol and span the SVD null space; the
minimum-norm solutions match the truncated-SVD solution on gapped
problems; the basic solution is sparse with an optimal residual.
"""
import functools
import gzip
import warnings

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp

import orvex.rank as rk
from rank_matrices import NAMES, RANK_DIR, load, wing
TOLS = ["eps_norm2", "spqr_rank_default"]
EPS = np.finfo(float).eps
# Run on every push: small and varied (gapped and gapless, tall, wide, an
# overflow, SPQR over- and under-estimates).  The rest is marked `matrix_set`.
CORE = {"bcspwr02", "can_61", "ch4-4-b1", "GD01_b", "GD98_c", "heat_200", "jgl011", "lnsp_131",
        "mcca", "n3c4-b3", "parallax_200", "rel4", "Tina_AskCal", "wheel_4_1", "wing_100",
        "ursell_100", "will199"}


def marked(names):
    return [n if n in CORE else pytest.param(n, marks=pytest.mark.matrix_set) for n in names]


def test_the_whole_set_is_here():
    # The 53 matrices of the collection's folder: 52 as Matrix Market files,
    # wing_500 built from its formula.
    assert len(NAMES) == 53
    for name in NAMES:
        assert (RANK_DIR / f"{name}.mtx.gz").exists() or name == "wing_500"


def test_generated_matrices_are_the_collections():
    # The formula gives the shipped wing_100 to rounding, and wing_500's
    # reference singular values.
    with gzip.open(RANK_DIR / "wing_100.mtx.gz", "rt") as f:
        W = scipy.io.mmread(f).toarray()
    assert np.abs(wing(100) - W).max() <= 4 * EPS * np.abs(W).max()
    A, ref = load("wing_500")
    s = np.linalg.svd(A.toarray(), compute_uv=False)
    assert np.abs(s - ref["singular_values"]).max() <= 1e-15 * s[0]
    for key in TOLS:
        assert np.sum(s > ref["ranks"][key]["tol"]) == ref["ranks"][key]["rank"]


@functools.lru_cache(maxsize=None)
def problem(name):
    A, ref = load(name)
    D = A.toarray()
    U, s, Vh = np.linalg.svd(D)
    return A, D, ref, (U, s, Vh)


def gapped(ref, key):
    """A clear gap at the tolerance: sigma_k / sigma_(k+1) >= 1e3 (or no sigma_(k+1))."""
    r = ref["ranks"][key]
    return r["gap_ratio"] is None or r["gap_ratio"] >= 1e3


def assert_certain(res, ref, key, what):
    """Where the gap is clear every tool is certain, and right."""
    if gapped(ref, key):
        assert res is not None and (res.flag, res.rank) == (0, ref["ranks"][key]["rank"]), \
            f"{what}: rank {None if res is None else res.rank}, flag {None if res is None else res.flag}"


def quiet(f, *args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rk.RankWarning)
        return f(*args, **kw)


def hnorm(H):
    """2-norm of a Hermitian matrix."""
    return float(np.max(np.abs(np.linalg.eigvalsh(H)), initial=0.0))


def norm2(M):
    return np.sqrt(hnorm(M.conj().T @ M)) if M.shape[0] >= M.shape[1] else np.sqrt(hnorm(M @ M.conj().T))


def projector_distance(N, Vr):
    """||N N^H - Ns Ns^H|| for Ns spanning the complement of Vr (same dimension as N)."""
    return norm2(Vr.conj().T @ N)


def check_rank(res, ref, key, what):
    sv = np.asarray(ref["singular_values"])
    if res.flag == 0:
        assert res.rank == ref["ranks"][key]["rank"], f"{what}: certain rank {res.rank}"
    elif res.flag == 1:
        assert res.tol_alt is not None and res.tol_alt > res.tol
        assert res.rank == int(np.sum(sv > res.tol_alt)), f"{what}: rank {res.rank} at tol_alt"
    if res.flag in (0, 1):
        # The estimated bounds hold at the numbers they refer to.
        full = np.concatenate([sv, np.zeros(max(0, len(res.sval_indices) and res.sval_indices.max() + 1 - len(sv)))])
        sig = full[res.sval_indices]
        slack = 1e-12 * sv[0]
        assert np.all(res.sval_lower_bounds <= sig + slack), what
        assert np.all(sig <= res.sval_upper_bounds + slack), what


@pytest.mark.parametrize("name", marked(NAMES))
def test_certain_ranks_are_right(name):
    A, ref = load(name)
    for key in TOLS:
        tol = ref["ranks"][key]["tol"]
        for method in ("basic", "null", "cod", "pinv"):
            res = quiet(rk.rank_estimate, A, tol, method=method)
            assert res.tol == tol and res.method == method
            check_rank(res, ref, key, f"{name} {key} {method}")
            assert_certain(res, ref, key, f"{name} {key} {method}")
        assert_certain(quiet(rk.rank_estimate, A, tol), ref, key, f"{name} {key} auto")


@pytest.mark.parametrize("name", marked(NAMES))
def test_null_spaces(name):
    A, D, ref, (U, s, Vh) = problem(name)
    m, n = A.shape
    for key in TOLS:
        tol = ref["ranks"][key]["tol"]
        N = quiet(rk.null_space, A, tol)
        assert_certain(None if N is None else N.result, ref, key, f"{name} {key} null_space")
        bases = []
        if N is not None:
            bases.append(("N", D, N, N.result, N.result.norm_AN_estimate, Vh.conj().T))
        for transposed in (False, True):
            cod = quiet(rk.cod_solve, A, np.ones(m), tol, null_spaces=True, transpose_first=transposed)
            assert_certain(cod, ref, key, f"{name} {key} cod{transposed:d} with bases")
            if cod.flag == 4:
                continue
            bases.append((f"cod{transposed:d} N", D, cod.N, cod, cod.norm_AN_estimate, Vh.conj().T))
            bases.append((f"cod{transposed:d} NT", D.conj().T, cod.NT, cod, cod.norm_AtNT_estimate, U))
        basic = quiet(rk.basic_solve, A, np.ones(m), tol, left_null_space=True)
        bases.append(("basic NT", D.conj().T, basic.NT, basic, basic.norm_AtNT_estimate, U))
        for what, M, basis, res, est, vectors in bases:
            what = f"{name} {key} {what}"
            check_rank(res, ref, key, what)
            k = res.rank
            Z = basis.toarray()
            assert Z.shape == (M.shape[1], M.shape[1] - k), what
            assert basis.shape == Z.shape and basis.result.rank == k
            assert hnorm(Z.conj().T @ Z - np.eye(Z.shape[1])) <= 100 * max(m, n) * EPS, what
            if Z.shape[1] == 0:
                continue
            norm_MZ = norm2(M @ Z)
            assert est <= norm_MZ + max(m, n) * EPS * s[0], what
            if res.flag == 0:
                assert norm_MZ <= tol, f"{what}: ||A N|| = {norm_MZ:.3g} > tol = {tol:.3g}"
                # The same subspace as the dense SVD's.
                Vr = vectors[:, :k]
                sk = s[k - 1] if k > 0 else np.inf
                # (the SVD's own vectors are accurate to eps ||A|| / sigma_k)
                bound = (norm_MZ + max(m, n) * EPS * s[0]) / sk + 1000 * max(m, n) * EPS
                assert projector_distance(Z, Vr) <= bound, what


def tsvd_solution(svd, k, b):
    U, s, Vh = svd
    return Vh[:k].conj().T @ ((U[:, :k].conj().T @ b) / s[:k, None])


@pytest.mark.parametrize("name", marked(NAMES))
def test_solutions(name):
    A, D, ref, svd = problem(name)
    m, n = A.shape
    U, s, Vh = svd
    b = np.random.default_rng(7).standard_normal((m, 2))
    for key in TOLS:
        tol = ref["ranks"][key]["tol"]
        results = {f.__name__: quiet(f, A, b, tol) for f in (rk.pinv_solve, rk.cod_solve, rk.basic_solve)}
        results["cod_transposed"] = quiet(rk.cod_solve, A, b, tol, transpose_first=True)
        results["lstsq"] = quiet(rk.lstsq, A, b, tol)
        for fname, res in results.items():
            assert_certain(res, ref, key, f"{name} {key} {fname}")
            if res.flag == 4:
                assert res.x is None
                continue
            # The solvers' own rank determinations are held to the same promise.
            check_rank(res, ref, key, f"{name} {key} {fname}")
            assert res.x.shape == (n, 2)
            # ||b - A x|| per column, to the rounding of a product with x.
            scale = np.linalg.norm(b, axis=0) + s[0] * np.linalg.norm(res.x, axis=0)
            ref_norm = np.linalg.norm(b - D @ res.x, axis=0)
            assert np.all(np.abs(np.sqrt(res.residuals) - ref_norm) <= 1e-12 * scale), f"{name} {fname}"
        if not gapped(ref, key):
            continue
        k = ref["ranks"][key]["rank"]
        xt = tsvd_solution(svd, k, b)
        bound = 100 * max(m, n) * EPS * (s[0] / s[k - 1])
        for fname in ("pinv_solve", "cod_solve", "cod_transposed", "lstsq"):
            res = results[fname]
            err = np.linalg.norm(res.x - xt) / np.linalg.norm(xt)
            assert err <= bound, f"{name} {key} {fname}: {err:.3g} > {bound:.3g}"
        basic = results["basic_solve"]
        if basic.flag == 0:
            assert np.all(np.count_nonzero(basic.x, axis=0) <= basic.rank_spqr)
            opt = np.linalg.norm(b - D @ xt, axis=0)
            got = np.linalg.norm(b - D @ basic.x, axis=0)
            assert np.all(got <= opt * (1 + 1e-6) + 1e-12 * np.linalg.norm(b)), name
            # A consistent right-hand side is solved to the tolerance.
            x0 = Vh[:k].conj().T @ np.ones(k)
            c = quiet(rk.basic_solve, A, D @ x0, tol)
            assert np.linalg.norm(D @ x0 - D @ c.x) <= (tol + c.details["norm_E_fro"]) * np.linalg.norm(c.x) + 1e-14
