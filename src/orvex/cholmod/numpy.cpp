#define ORVEX_NUMPY_IMPORT
#include "orvex/cholmod/numpy.hpp"

namespace orvex {

void import_numpy() {
    if (_import_array() < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            Py_XDECREF(type);
            Py_XDECREF(tb);
            PyErr_SetObject(PyExc_ImportError, value);
            Py_XDECREF(value);
        }
        throw nb::python_error();
    }
}

}  // namespace orvex
