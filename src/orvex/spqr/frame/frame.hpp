// Shared services of orvex.spqr: the module namespace, status checking and
// the ordering table.
#pragma once

#include "orvex/cholmod/cholmod.hpp"

#include <SuiteSparseQR.hpp>

namespace orvex {

// SPQR's factorization object, for the four variants.
template <class Entry, class Int> using QRFactor = SuiteSparseQR_factorization<Entry, Int>;

// orvex.spqr's namespace.  Names are looked up in it at the moment of use, so
// rebinding a module attribute changes what the native code calls.
nb::object module_attr(const char *name);

// Turn a non-zero CHOLMOD status into the module's exception (mapped class,
// message "<text> (code <status>)") and throw it.  Status 0 returns.
void check_status(int status);
[[noreturn]] void no_result(int status);
inline void check_status(const cholmod_common *cm) {
    if (cm->status != 0) check_status(cm->status);
}

// A result SPQR returned: null means failure, reported through the status
// (or as an unknown SPQR error when SPQR left no status).
template <class T> T *require_result(T *result, const cholmod_common *cm) {
    if (!result) no_result(cm->status);
    return result;
}
[[noreturn]] void no_result(int status);

// Adopt what an SPQR call of a native phase returned: after a failure (a
// status other than 0, or no result) it is freed and the mapped exception
// raised; otherwise a NumPy array (a dense result; with `column`, its column
// 0) or a SciPy csc_array takes it over.
template <class Int> nb::object adopt_result(cholmod_dense *X, cholmod_common *cm, bool column = false) {
    DenseOwner<Int> owned(cm, X);
    check_status(cm);
    require_result(owned.get(), cm);
    return adopt_dense(owned.release(), cm, column);
}
template <class Int> nb::object adopt_result(cholmod_sparse *A, cholmod_common *cm, bool = false) {
    SparseOwner<Int> owned(cm, A);
    check_status(cm);
    require_result(owned.get(), cm);
    return adopt_sparse(owned.release(), cm);
}

// SPQR's multiplication code of a method name ("QX", "QTX", "XQ", "XQT").
// The name must be exactly a str (or None, which is refused as unknown).
int qmult_code(nb::handle method);
inline bool left_multiply(int code) { return code == 0 || code == 1; }

// A Python integer as a C int (TypeError for non-integers, OverflowError
// outside 32 bits).
int as_int32(nb::handle v);

// Is `obj` a NumPy ndarray (or subclass)?
bool is_ndarray(nb::handle obj);

// Describe a validated CSC matrix with a CHOLMOD header, through the module's
// `_cholmod_sparse_from_csc`.  `view` keeps the arrays it describes alive;
// the caller runs view.validate() after its last Python callback.
void csc_header(nb::handle A, SparseView &view);

// The same for a sparse operand of an SPQR variant with 32-bit (`use_int32`)
// or 64-bit indices: index arrays of the other width are converted first.
void csc_header_as(nb::handle X, bool use_int32, SparseView &view);

// validate_csc_input(A) (looked up in the namespace), unpacked into exactly
// three items.
nb::tuple validate(nb::handle A);

// SPQR ordering code of a user's `order` argument (None: SPQR's default, 7).
int ordering_code(nb::handle order);

// Name of an ordering code, or "unknown <code>".
std::string ordering_name(int code);

// SPQR's sentinel asking for its own default tolerance.
constexpr double default_tol = -2.0;

// The tolerance of a user's `tol` argument (None: SPQR's default).
double tolerance(nb::handle tol);

// A user's tolerance for the matrix scaled by `scale` (SPQR's negative
// sentinels, asking for its default, stay as they are).
inline double scaled_tol(double tol, double scale) { return tol > 0 ? tol * scale : tol; }

// The prologue of the calls that factorize a matrix given by the user: A
// through validate_csc_input, `convert()` (the call's own arguments), the
// ordering and the tolerance; then A's header, captured with its values
// checked.  No Python code runs after it.
struct Prologue {
    SparseView view;
    int ordering = 7;
    double tol = default_tol;
    double scale = 1.0;
    std::vector<double> scaled;
    cholmod_sparse *A() { return view.header(); }
    // For a numeric factorization: scale A's values where SPQR's norms need
    // it (see scale_for).
    void scale_values() {
        scale = scale_for(view.max_abs());
        if (scale != 1.0) orvex::scale_values(*view.header(), scale, scaled);
    }
};
template <class F> void prologue(Prologue &p, nb::handle A, nb::handle order, nb::handle tol, F &&convert) {
    nb::object Av = validate(A)[0];
    convert();
    p.ordering = ordering_code(order);
    p.tol = tolerance(tol);
    csc_header(Av, p.view);
    p.view.capture(true);
}

// Issue a Python warning at the caller's line (the first frame outside the
// orvex package); throws when warnings are configured as errors.
void warn(nb::handle category, const std::string &message);

void register_frame(nb::module_ &m);

}  // namespace orvex
