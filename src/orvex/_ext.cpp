// The compiled core of orvex: one extension module holding the CHOLMOD
// conversions and the native parts of orvex.spqr.
#include "orvex/spqr/factor/factor.hpp"

namespace orvex {
void register_functions(nb::module_ &m);
void register_info(nb::module_ &m);
void register_faults(nb::module_ &m);
void register_rank(nb::module_ &m);
void register_qkernel(nb::module_ &m);
}  // namespace orvex

NB_MODULE(_ext, m) {
    orvex::import_numpy();
    orvex::register_cholmod(m);
    orvex::register_frame(m);
    orvex::register_factor(m);
    orvex::register_info(m);
    orvex::register_functions(m);
    orvex::register_faults(m);
    orvex::register_rank(m);
    orvex::register_qkernel(m);
}
