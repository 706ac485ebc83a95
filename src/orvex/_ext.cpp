// The compiled core of orvex: one extension module holding the CHOLMOD
// conversions and the native parts of orvex.spqr.
#include "orvex/spqr/factor/factor.hpp"

namespace orvex {
void register_functions(nb::module_ &m);
void register_info(nb::module_ &m);
void register_faults(nb::module_ &m);
void register_rank(nb::module_ &m);
void register_qkernel(nb::module_ &m);
void register_parallel(nb::module_ &m);
}  // namespace orvex

#ifdef ORVEX_BLAS_FORWARD
// The bundled SuiteSparse calls BLAS/LAPACK through pointers that this fills
// from SciPy's scipy.linalg.cython_blas / cython_lapack (blas_forward.c,
// generated at build time); nothing in SuiteSparse may run before it.
extern "C" int orvex_blas_resolve(void);
#endif

NB_MODULE(_ext, m) {
#ifdef ORVEX_BLAS_FORWARD
    if (orvex_blas_resolve() != 0)
        throw nanobind::python_error();
#endif
    orvex::import_numpy();
    orvex::register_cholmod(m);
    orvex::register_frame(m);
    orvex::register_factor(m);
    orvex::register_info(m);
    orvex::register_functions(m);
#ifdef ORVEX_TEST_HOOKS
    orvex::register_faults(m);
#endif
    orvex::register_rank(m);
    orvex::register_qkernel(m);
    orvex::register_parallel(m);
}
