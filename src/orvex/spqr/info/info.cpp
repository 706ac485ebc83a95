// SPQRFactor.info: an SPQRInfo record filled from the factor's workspace.
#include "orvex/spqr/factor/factor.hpp"

#include <nanobind/stl/vector.h>

#include <cmath>

namespace orvex {

namespace {

// Python's int() of a float: NaN and infinities raise as int() does.
nb::object truncated(double v) {
    nb::object f = nb::steal(PyFloat_FromDouble(v));
    nb::object i = nb::steal(PyNumber_Long(f.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    return i;
}

void store(nb::handle record, const char *field, nb::handle value) {
    nb::object name = nb::str(field);
    // The record's own __setattr__ refuses (it is frozen); a class (what a
    // rebound SPQRInfo may return) is set through type's own setattr, which
    // keeps the attribute cache of the type system right.
    const int rc = PyType_Check(record.ptr()) ? PyObject_SetAttr(record.ptr(), name.ptr(), value.ptr())
                                              : PyObject_GenericSetAttr(record.ptr(), name.ptr(), value.ptr());
    if (rc != 0) throw nb::python_error();
}

// Fill a record with the statistics SPQR left in `cm`.
void init_from_common(nb::handle record, const cholmod_common *cm) {
    if (!cm) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    static const struct { const char *field; int index; } istat[] = {
        {"nnzR_upper_bound", 0}, {"nnzH_upper_bound", 1}, {"nf", 2},
        {"rank_A_estimate", 4},  {"n1cols", 5},           {"n1rows", 6},
    };
    for (const auto &s : istat) store(record, s.field, nb::int_(cm->SPQR_istat[s.index]));
    const int32_t code = int32_t(uint32_t(uint64_t(cm->SPQR_istat[7]) & 0xffffffffu));
    store(record, "ordering", nb::str(ordering_name(code).c_str()));
    store(record, "memory", nb::steal(PyLong_FromSize_t(cm->memory_usage)));
    store(record, "flops_upper_bound", truncated(cm->SPQR_flopcount_bound));
    store(record, "tol", nb::float_(cm->SPQR_tol_used));
    store(record, "norm_E_fro", nb::float_(cm->SPQR_norm_E_fro));
    store(record, "analyze_time", nb::float_(cm->SPQR_analyze_time));
    store(record, "factorize_time", nb::float_(cm->SPQR_factorize_time));
    store(record, "solve_time", nb::float_(cm->SPQR_solve_time));
    store(record, "total_time",
          nb::float_((cm->SPQR_analyze_time + cm->SPQR_factorize_time) + cm->SPQR_solve_time));
    store(record, "flops", truncated(cm->SPQR_flopcount));
}

}  // namespace

PyObject *factor_info(PyObject *self, void *) {
    Call guard;
    try {
        FactorObject *f = as_factor(self);
        FactorCall call(f, FactorCall::Use);
        // The statistics are taken before any Python code runs.
        const bool started = f->cm != nullptr;
        cholmod_common stats{};
        if (started) {
            stats = *f->cm;
            // Reported for A itself, not for the scaled matrix SPQR saw.
            stats.SPQR_tol_used /= f->scale;
            stats.SPQR_norm_E_fro /= f->scale;
        }
        nb::object record = module_attr("SPQRInfo")();
        init_from_common(record, started ? &stats : nullptr);
        return record.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

void register_info(nb::module_ &m) {
#ifdef ORVEX_TEST_HOOKS
    m.def(
        "_info_from_istat",
        [](nb::handle record, std::vector<int64_t> istat, std::vector<double> stats, size_t memory) {
            // Fill a record from given workspace statistics (used by tests to
            // exercise the conversion rules on chosen values).
            cholmod_common c{};
            for (size_t k = 0; k < 8 && k < istat.size(); ++k) c.SPQR_istat[k] = istat[k];
            double *fields[] = {&c.SPQR_flopcount_bound, &c.SPQR_tol_used,       &c.SPQR_norm_E_fro,
                                &c.SPQR_analyze_time,    &c.SPQR_factorize_time, &c.SPQR_solve_time,
                                &c.SPQR_flopcount};
            for (size_t k = 0; k < 7 && k < stats.size(); ++k) *fields[k] = stats[k];
            c.memory_usage = memory;
            init_from_common(record, &c);
        },
        nb::arg("record").none(), nb::arg("istat").none(), nb::arg("stats").none(), nb::arg("memory").none());
#else
    (void)m;
#endif
}

}  // namespace orvex
