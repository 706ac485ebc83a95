// SPQRFactor.copy: a deep copy of a factorization.
#include "orvex/spqr/factor/factor.hpp"

namespace orvex {

void register_factor_copy(nb::module_ &m) {
    m.def("factor_copy", [](nb::handle self) -> nb::object {
        raise(PyExc_NotImplementedError, "copy is not available yet");
    });
}

}  // namespace orvex
