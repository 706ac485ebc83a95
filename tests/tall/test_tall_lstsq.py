"""orvex.tall.lstsq on a matrix in row blocks and on iterables of blocks (out of core)."""
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import make_matrix, variants
from tall_problems import blocks_of, scattered_fit
import orvex.rank as rk
from orvex.spqr import spqr_solve
from orvex.tall import column_order, lstsq


def rel(x, y):
    return np.linalg.norm(x - y) / np.linalg.norm(y)


class NpzBlocks:
    """Row blocks stored in .npz files, read again on every iteration (out of core)."""

    def __init__(self, directory, A, b, rows):
        self.paths = []
        for k, s in enumerate(range(0, A.shape[0], rows)):
            path = directory / f"block{k}.npz"
            blk = sp.coo_array(A[s:s + rows])
            np.savez(path, row=blk.row, col=blk.col, data=blk.data, b=b[s:s + rows],
                     shape=np.array(blk.shape))
            self.paths.append(path)
        self.reads = 0

    def __iter__(self):
        for path in self.paths:
            self.reads += 1
            with np.load(path) as z:
                yield sp.coo_array((z["data"], (z["row"], z["col"])), shape=tuple(z["shape"])), z["b"]


@variants
def test_matrix_in_row_blocks(dtype, itype):
    A, b = scattered_fit(10, 700, dtype, itype, seed=20)
    x_ref = spqr_solve(A, b)
    for rows in (None, 97, A.shape[0] + 5):
        res = lstsq(A, b, block_rows=rows)
        assert (res.rank, res.flag) == (A.shape[1], 0)
        assert rel(res.x, x_ref) < 1e-10
        assert res.residuals[0] == pytest.approx(np.linalg.norm(b - A @ x_ref) ** 2, rel=1e-10)
    # other formats and a dense A, two right-hand sides
    B = np.column_stack([b, 2 * b])
    assert rel(lstsq(sp.csc_matrix(A), B, block_rows=200).x, spqr_solve(A, B)) < 1e-10
    assert rel(lstsq(A.toarray(), b, block_rows=200, order="natural").x, x_ref) < 1e-10


@variants
def test_iterable_of_blocks_out_of_core(dtype, itype, tmp_path):
    A, b = scattered_fit(9, 500, dtype, itype, seed=21)
    blocks = NpzBlocks(tmp_path, A, b, 120)
    res = lstsq(blocks)
    assert blocks.reads == 2 * len(blocks.paths)  # once for the order, once for the factor
    assert rel(res.x, spqr_solve(A, b)) < 1e-10
    # a one-shot generator is read once, with the order given
    perm = column_order(blocks, order="amd")
    gen = ((A_i, b_i) for A_i, b_i in blocks)
    assert rel(lstsq(gen, perm=perm).x, res.x) < 1e-10
    with pytest.raises(TypeError, match="re-iterable"):
        lstsq(iter(blocks_of(A, b, [100, A.shape[0] - 100])))


@pytest.mark.parametrize("method", ["cod", "pinv", "basic"])
def test_rank_deficient_blocks_match_orvex_rank(method):
    A = make_matrix(150, 30, density=0.25, seed=22, rank=11)
    b = np.random.default_rng(23).standard_normal(150)
    ref = rk.lstsq(A, b, method=method)
    res = lstsq(blocks_of(A, b, [10, 0, 25, 115]), method=method, order="colamd")
    assert (res.rank, res.flag) == (ref.rank, ref.flag) == (11, 0)
    assert res.residuals == pytest.approx(ref.residuals, rel=1e-9)
    if method != "basic":
        assert rel(res.x, ref.x) < 1e-9
    assert lstsq(A, b, method=method, block_rows=40).rank == 11


def test_orders_all_solve_the_same_problem():
    A, b = scattered_fit(8, 300, seed=24)
    x_ref = spqr_solve(A, b)
    for order in ("default", "natural", "colamd", "amd", "metis", "best", "cholmod", "bestamd"):
        p = column_order(A, order)
        assert sorted(p) == list(range(A.shape[1]))
        assert rel(lstsq(A, b, order=order, block_rows=150).x, x_ref) < 1e-10
    assert np.array_equal(column_order(A, "natural"), np.arange(A.shape[1]))
    assert np.array_equal(column_order([A[:100], A[100:]]), column_order(blocks_of(A, b, [100, A.shape[0] - 100])))


def test_bad_input():
    A, b = scattered_fit(5, 100, seed=25)
    n = A.shape[1]
    with pytest.raises(ValueError, match="columns"):
        lstsq([(A[:50], b[:50]), (A[50:, :n - 1], b[50:])])
    with pytest.raises(ValueError, match="columns"):
        lstsq([(A[:50], b[:50]), (A[50:, :n - 1], b[50:])], perm=np.arange(n))
    with pytest.raises(ValueError, match="rows"):
        lstsq(A, b[:-1])
    with pytest.raises(ValueError, match="rows"):
        lstsq([(A[:50], b[:49])])
    with pytest.raises(ValueError, match="NaN"):
        lstsq(A, np.full(A.shape[0], np.nan))
    with pytest.raises(ValueError, match="length"):
        lstsq(A, b, perm=np.arange(n + 1))
    with pytest.raises(ValueError, match="no blocks"):
        lstsq([])
    with pytest.raises(TypeError, match="b is required"):
        lstsq(A)
    with pytest.raises(TypeError, match="must be None"):
        lstsq([(A, b)], b)
    with pytest.raises(TypeError, match="pair"):
        lstsq([A])
    with pytest.raises(TypeError, match="iterable"):
        lstsq(3.0, b)
    with pytest.raises(ValueError, match="positive"):
        lstsq(A, b, block_rows=0)
    with pytest.raises(TypeError, match="integer"):
        lstsq(A, b, block_rows=2.5)
    with pytest.raises(ValueError, match="order"):
        lstsq(A, b, order="random")
    with pytest.raises(ValueError, match="method"):
        lstsq(A, b, method="qr")


def test_imports_without_dask():
    code = """
import sys
sys.modules["dask"] = None          # import dask fails from here on
import numpy as np
import orvex.tall as tall
from scipy.sparse import random_array
A = random_array((400, 20), density=0.2, format="csr", rng=0)
print(tall.lstsq(A, np.ones(400), block_rows=100).rank, "dask" in sys.modules and sys.modules["dask"] is not None)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["20", "False"]
