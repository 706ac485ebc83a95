#include "orvex/spqr/frame/frame.hpp"

#include <cstring>
#include <limits>
#include <string>

#include <SuiteSparseQR_definitions.h>

namespace orvex {

namespace {

// Set once by the module body of orvex.spqr; never changed afterwards.
nb::dict &namespace_dict() {
    static nb::dict *ns = new nb::dict();  // lives as long as the process
    return *ns;
}
nb::dict &error_map() {
    static nb::dict *map = new nb::dict();
    return *map;
}

struct Ordering {
    const char *name;
    int code;
};
// Insertion order matters: the inverse table keeps the last name per code.
constexpr Ordering orderings[] = {
    {"default", 7}, {"fixed", 0}, {"natural", 1}, {"colamd", 2}, {"cholmod", 4},
    {"amd", 5},     {"metis", 6}, {"best", 8},    {"bestamd", 9},
};

nb::dict &ordering_map() {
    static nb::dict *map = [] {
        auto *d = new nb::dict();
        for (const Ordering &o : orderings) (*d)[o.name] = o.code;
        return d;
    }();
    return *map;
}

}  // namespace

nb::object module_attr(const char *name) {
    PyObject *value = PyDict_GetItemString(namespace_dict().ptr(), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined in orvex.spqr", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

void check_status(int status) {
    if (status == 0) return;
    nb::object key = nb::int_(status);
    PyObject *entry = PyDict_GetItemWithError(error_map().ptr(), key.ptr());
    if (!entry && PyErr_Occurred()) throw nb::python_error();
    nb::object cls, text;
    if (entry) {
        nb::tuple pair = nb::borrow<nb::tuple>(entry);
        cls = pair[0];
        text = pair[1];
    } else {
        cls = module_attr("SPQRError");
        text = nb::str("An unknown SPQR error occurred.");
    }
    nb::str message = nb::str("{} (code {})").format(text, status);
    if (PyType_Check(cls.ptr()) && PyType_IsSubtype((PyTypeObject *)cls.ptr(), (PyTypeObject *)PyExc_Warning)) {
        if (PyErr_WarnEx(cls.ptr(), message.c_str(), 2) != 0) throw nb::python_error();
        return;
    }
    PyErr_SetObject(cls.ptr(), message.ptr());
    throw nb::python_error();
}

void no_result(int status) {
    check_status(status);
    std::string message = "An unknown SPQR error occurred. (code " + std::to_string(status) + ")";
    PyErr_SetString(module_attr("SPQRError").ptr(), message.c_str());
    throw nb::python_error();
}

// The C name of an object's type (tp_name: "int", "numpy.float64", "Foo" for a
// class statement, "collections.deque" for an extension's heap type), as
// CPython's own messages print it.  The limited API has no tp_name; CPython's
// check of a method descriptor reports it (up to 100 characters), so a call
// of str.isascii on a non-str object reveals it.
std::string c_type_name(nb::handle obj) {
    static const char head[] = "doesn't apply to a '", tail[] = "' object";
    PyObject *saved = PyErr_GetRaisedException();
    std::string name;
    PyObject *descriptor = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyUnicode_Type), "isascii");
    PyObject *result = descriptor ? PyObject_CallFunctionObjArgs(descriptor, obj.ptr(), nullptr) : nullptr;
    Py_XDECREF(descriptor);
    Py_XDECREF(result);
    if (PyObject *error = PyErr_GetRaisedException()) {
        PyObject *text = PyObject_Str(error);
        const char *s = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
        if (s) {
            std::string message(s);
            size_t at = message.rfind(head);
            if (at != std::string::npos && message.size() > at + sizeof head - 1 + sizeof tail - 1 &&
                message.compare(message.size() - (sizeof tail - 1), sizeof tail - 1, tail) == 0)
                name = message.substr(at + sizeof head - 1,
                                      message.size() - at - (sizeof head - 1) - (sizeof tail - 1));
        }
        Py_XDECREF(text);
        Py_DECREF(error);
        PyErr_Clear();
    }
    if (name.empty() || name.size() >= 100) {
        // Truncated (or not found): the candidates are __name__ (what a class
        // statement sets) and module.qualname (a static type's C name); the
        // one that extends the 100 characters seen is taken.
        PyTypeObject *tp = Py_TYPE(obj.ptr());
        auto text = [](PyObject *o) {
            std::string r;
            if (o && PyUnicode_Check(o))
                if (const char *u = PyUnicode_AsUTF8AndSize(o, nullptr)) r = u;
            Py_XDECREF(o);
            PyErr_Clear();
            return r;
        };
        const std::string bare = text(PyType_GetName(tp)), qual = text(PyType_GetQualName(tp));
        const std::string module = text(PyObject_GetAttrString(reinterpret_cast<PyObject *>(tp), "__module__"));
        const std::string dotted = module.empty() || module == "builtins" ? qual : module + "." + qual;
        if (!name.empty() && bare.compare(0, name.size(), name) == 0) name = bare;
        else if (!name.empty() && dotted.compare(0, name.size(), name) == 0) name = dotted;
        else if (name.empty()) name = (PyType_GetFlags(tp) & Py_TPFLAGS_HEAPTYPE) ? bare : dotted;
    }
    PyErr_SetRaisedException(saved);
    return name;
}

nb::tuple validate(nb::handle A) {
    nb::object result = module_attr("validate_csc_input")(A);
    nb::object seq = nb::steal(PySequence_Tuple(result.ptr()));
    if (!seq.is_valid()) throw nb::python_error();
    Py_ssize_t n = PyTuple_Size(seq.ptr());
    if (n != 3) {
        PyErr_Format(PyExc_ValueError, n < 3 ? "not enough values to unpack (expected 3, got %zd)"
                                             : "too many values to unpack (expected 3, got %zd)", n);
        throw nb::python_error();
    }
    return nb::borrow<nb::tuple>(seq);
}

int qmult_code(nb::handle method) {
    if (!method.is_none() && !PyUnicode_CheckExact(method.ptr())) {
        const std::string got = c_type_name(method);
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", got.c_str());
        throw nb::python_error();
    }
    static const char *names[] = {"QX", "QTX", "XQ", "XQT"};
    static const int codes[] = {SPQR_QX, SPQR_QTX, SPQR_XQ, SPQR_XQT};
    if (!method.is_none())
        for (int k = 0; k < 4; ++k)  // compared as str: any text, surrogates included, is just a name
            if (PyUnicode_CompareWithASCIIString(method.ptr(), names[k]) == 0) return codes[k];
    PyErr_Format(PyExc_ValueError, "Invalid method '%S'. Expected one of ['QX', 'QTX', 'XQ', 'XQT'].",
                 method.ptr());
    throw nb::python_error();
}

int as_int32(nb::handle v) {
    nb::object index = nb::steal(PyNumber_Index(v.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    long long value = PyLong_AsLongLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        raise(PyExc_OverflowError, "value too large to convert to int");
    return int(value);
}

bool is_ndarray(nb::handle obj) {
    static PyObject *ndarray = nb::object(nb::module_::import_("numpy").attr("ndarray")).release().ptr();
    return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject *>(ndarray));
}

void csc_header(nb::handle A, SparseView &view) {
    // The package's own converter is called directly; a replacement bound in
    // the module namespace is called through Python, and may fill the header
    // only through the native converter (which keeps the arrays it was given).
    static PyObject *native =
        nb::object(nb::module_::import_("orvex._ext").attr("_cholmod_sparse_from_csc")).release().ptr();
    nb::object fill = module_attr("_cholmod_sparse_from_csc");
    nb::object shape = A.attr("shape"), indptr = A.attr("indptr"), indices = A.attr("indices"),
               data = A.attr("data");
    if (fill.is(native)) {
        view.fill(shape, indptr, indices, data, 0);
        return;
    }
    FillPermit permit(view);
    fill(shape, indptr, indices, data, 0, nb::int_(reinterpret_cast<uintptr_t>(view.header())));
    if (!view.filled()) raise(PyExc_ValueError, "invalid sparse matrix header");
}

// A sparse operand for an SPQR variant with index type Int: its arrays are
// converted to Int first when they have the other width.
void csc_header_as(nb::handle X, bool use_int32, SparseView &view) {
    csc_header(X, view);
    const cholmod_sparse *hdr = view.header();
    if ((hdr->itype == CHOLMOD_INT) == use_int32) return;
    if (use_int32 && (hdr->nrow > size_t(std::numeric_limits<int32_t>::max()) ||
                      hdr->ncol > size_t(std::numeric_limits<int32_t>::max()) ||
                      hdr->nzmax > size_t(std::numeric_limits<int32_t>::max())))
        raise(PyExc_ValueError, "the sparse operand is too large for 32-bit indices");
    const char *dtype = use_int32 ? "int32" : "int64";
    nb::object indptr = X.attr("indptr").attr("astype")(dtype);
    nb::object indices = X.attr("indices").attr("astype")(dtype);
    view.fill(X.attr("shape"), indptr, indices, X.attr("data"), 0);
}

void raise_native(const NativeError &e) {
    switch (e.kind) {
    case NativeError::OutOfMemory: PyErr_NoMemory(); throw nb::python_error();
    case NativeError::Overflow: raise(PyExc_OverflowError, e.message);
    case NativeError::NotImplemented: raise(PyExc_NotImplementedError, e.message);
    case NativeError::Assertion: PyErr_SetNone(PyExc_AssertionError); throw nb::python_error();
    case NativeError::Spqr: raise(module_attr("SPQRError").ptr(), e.message);
    case NativeError::Value:
    default: raise(PyExc_ValueError, e.message);
    }
}

int ordering_code(nb::handle order) {
    if (order.is_none()) return 7;
    PyObject *code = PyDict_GetItemWithError(ordering_map().ptr(), order.ptr());
    if (code) return nb::cast<int>(nb::handle(code));
    if (PyErr_Occurred()) throw nb::python_error();  // unhashable, for instance
    // Report with the failed lookup as context, as a Python `except
    // KeyError: raise ValueError(...)` would.
    PyErr_SetObject(PyExc_KeyError, order.ptr());
    PyObject *type, *key_error, *tb;
    PyErr_Fetch(&type, &key_error, &tb);
    PyErr_NormalizeException(&type, &key_error, &tb);
    if (tb) PyException_SetTraceback(key_error, tb);
    nb::object keys = nb::steal(PySet_New(ordering_map().ptr()));
    std::string message = "Unknown ordering method: " + std::string(nb::str(order).c_str()) +
                          ". Must be one of " + std::string(nb::str(keys).c_str()) + ".";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    PyObject *t2, *value_error, *tb2;
    PyErr_Fetch(&t2, &value_error, &tb2);
    PyErr_NormalizeException(&t2, &value_error, &tb2);
    PyException_SetContext(value_error, key_error);  // steals key_error
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Restore(t2, value_error, tb2);
    throw nb::python_error();
}

std::string ordering_name(int code) {
    const char *name = nullptr;
    for (const Ordering &o : orderings)
        if (o.code == code) name = o.name;
    return name ? std::string(name) : "unknown " + std::to_string(code);
}

double tolerance(nb::handle tol) {
    if (tol.is_none()) return default_tol;
    double t = PyFloat_AsDouble(tol.ptr());
    if (t == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return t;
}

void warn(nb::handle category, const std::string &message) {
    // Attributed to the first frame outside the package: the caller's line,
    // whichever of orvex's Python layers the call came through.
    static nb::object *warn_fn = nullptr, *skip = nullptr;  // live as long as the process
    if (!warn_fn) {
        nb::object os_path = nb::module_::import_("os.path");
        nb::object dir = os_path.attr("dirname")(nb::module_::import_("orvex").attr("__file__"));
        skip = new nb::object(nb::make_tuple(os_path.attr("join")(dir, "")));
        warn_fn = new nb::object(nb::module_::import_("warnings").attr("warn"));
    }
    (*warn_fn)(nb::str(message.c_str(), message.size()), category, nb::arg("skip_file_prefixes") = *skip);
}

void register_frame(nb::module_ &m) {
    m.def(
        "_bind_namespace",
        [](nb::dict ns, nb::dict errors) {
            // Once only: afterwards the status table can no longer be
            // replaced from Python.
            static bool bound = false;
            if (bound) raise(PyExc_RuntimeError, "orvex.spqr's namespace is already bound");
            namespace_dict() = ns;
            PyObject *copy = PyDict_Copy(errors.ptr());  // private: out of the caller's reach
            if (!copy) throw nb::python_error();
            error_map() = nb::steal<nb::dict>(copy);
            bound = true;
        },
        "Bind orvex.spqr's namespace and its private status table (module body only).");
    m.def(
        "_check_status",
        [](int status) {
            check_status(status);
            return 0;
        },
        nb::arg("status").none(), "Raise the exception mapped to a CHOLMOD status (0 returns 0).");
}

}  // namespace orvex
