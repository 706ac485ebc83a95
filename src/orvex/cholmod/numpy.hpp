// NumPy's native array interface, for making arrays over memory we own and
// for reading right-hand sides without going through Python attributes.
#pragma once

#include <nanobind/nanobind.h>

#include <complex>
#include <cstdint>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#endif
#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#endif
#define PY_ARRAY_UNIQUE_SYMBOL orvex_ARRAY_API
#ifndef ORVEX_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace orvex {

namespace nb = nanobind;

template <class T> constexpr int npy_type();
template <> constexpr int npy_type<double>() { return NPY_DOUBLE; }
template <> constexpr int npy_type<std::complex<double>>() { return NPY_CDOUBLE; }
template <> constexpr int npy_type<int32_t>() { return NPY_INT32; }
template <> constexpr int npy_type<int64_t>() { return NPY_INT64; }

// Bind NumPy's array interface (module initialisation; ImportError when the
// NumPy found is older than the one the extension was built for).
void import_numpy();

// A writable array of `T` over `data`, kept alive by `owner`.
template <class T>
nb::object wrap_array(T *data, int ndim, const npy_intp *dims, const npy_intp *strides, nb::handle owner) {
    PyObject *a = PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp *>(dims), npy_type<T>(),
                              const_cast<npy_intp *>(strides), data, 0, NPY_ARRAY_WRITEABLE, nullptr);
    if (!a) throw nb::python_error();
    nb::object arr = nb::steal(a);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(a), owner.inc_ref().ptr()) != 0)
        throw nb::python_error();
    return arr;
}

}  // namespace orvex
