"""orvex demonstration on real matrices from the SuiteSparse collection.

ash219 (219 x 85) is an overdetermined least-squares problem, lp_e226
(223 x 472) an underdetermined LP constraint matrix.
"""

from pathlib import Path

import numpy as np
import scipy.io
from scipy.sparse import csc_array

from orvex.spqr import SPQRFactor, spqr, spqr_qmult, spqr_solve

# The matrices are those of the test suite (one copy of each file).
DATA = Path(__file__).resolve().parents[1] / "tests" / "data"


def load(name):
    return csc_array(scipy.io.mmread(DATA / f"{name}.mtx"), dtype=np.float64)


def main():
    rng = np.random.default_rng(0)

    # --- least squares: analyse once, factorize, solve -----------------------
    A = load("ash219")
    m, n = A.shape
    f = SPQRFactor(A)
    print(f)
    print("column permutation E[:10]:", f.perm[:10], "...")
    f.factorize(A)
    print(f)
    b = rng.standard_normal(m)
    x = f.solve(b)
    r = b - A @ x
    print(f"least squares ash219: rank={f.rank}, |r|={np.linalg.norm(r):.6g}, "
          f"|A^H r|={np.linalg.norm(A.T @ r):.3g}")

    # Refactorize a matrix of the same pattern with new values.
    A2 = A.copy()
    A2.data = rng.uniform(0.5, 2.0, A2.nnz)
    f.factorize(A2)
    x2 = f.solve(b)
    print(f"refactorized with new values: |A2^H r2|={np.linalg.norm(A2.T @ (b - A2 @ x2)):.3g}")

    # --- Q without forming it -------------------------------------------------
    y = f.qmult(b, "QTX")
    print(f"Q^T b computed without forming Q: |Q^T b| = {np.linalg.norm(y):.6g} (= |b| = {np.linalg.norm(b):.6g})")

    # --- minimum 2-norm solution of an underdetermined system -----------------
    W = load("lp_e226")
    c = W @ rng.standard_normal(W.shape[1])
    z = spqr_solve(W, c)
    print(f"minimum norm lp_e226 {W.shape}: |W z - c|={np.linalg.norm(W @ z - c):.3g}, |z|={np.linalg.norm(z):.6g}")

    # --- explicit economic QR and the Householder form ------------------------
    Q, R, E = spqr(A, mode="economic")
    err = abs(Q @ R - A[:, E]).max()
    print(f"economic QR of ash219: Q {Q.shape}, R {R.shape}, nnz(R)={R.nnz}, max|QR - AE|={err:.3g}")
    house, R, E = spqr(A, mode="householder")
    back = spqr_qmult(house, spqr_qmult(house, b), "QTX")
    print(f"Householder form: H {house.H.shape} with {house.H.nnz} nonzeros, round trip error {abs(back - b).max():.3g}")

    print(f.info)


if __name__ == "__main__":
    main()
