// Allocation failures on demand, for the tests: the k-th allocation made
// through SuiteSparse's allocator (everything CHOLMOD and SPQR allocate, and
// orvex's own SuiteSparse blocks), or through NumPy's data allocator, fails.
// The SuiteSparse hooks also count the blocks that are live, so that a test
// can see that a failed operation leaked nothing.
//
// Private entry points of orvex._ext; nothing of the library uses them.
#include "orvex/cholmod/cholmod.hpp"

#ifdef ORVEX_TEST_HOOKS

#include <atomic>
#include <cstdlib>

namespace orvex {

namespace {

struct SuiteSparseHooks {
    void *(*malloc_fn)(size_t);
    void *(*calloc_fn)(size_t, size_t);
    void *(*realloc_fn)(void *, size_t);
    void (*free_fn)(void *);
};

SuiteSparseHooks original{};
bool installed = false;
std::atomic<int64_t> countdown{0};  // fail when it reaches 0 from 1; <= 0: never
std::atomic<int64_t> seen{0};       // allocations requested since installation
std::atomic<int64_t> live{0};       // blocks allocated minus blocks freed

bool fail_now() {
    seen.fetch_add(1, std::memory_order_relaxed);
    return countdown.load(std::memory_order_relaxed) > 0 && countdown.fetch_sub(1) == 1;
}

void *hook_malloc(size_t n) {
    if (fail_now()) return nullptr;
    void *p = original.malloc_fn(n);
    if (p) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void *hook_calloc(size_t n, size_t size) {
    if (fail_now()) return nullptr;
    void *p = original.calloc_fn(n, size);
    if (p) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void *hook_realloc(void *old, size_t n) {
    if (fail_now()) return nullptr;
    void *p = original.realloc_fn(old, n);
    if (p && !old) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void hook_free(void *p) {
    if (p) live.fetch_sub(1, std::memory_order_relaxed);
    original.free_fn(p);
}

// ---- NumPy ------------------------------------------------------------------------

PyDataMem_Handler *numpy_original = nullptr;  // the handler in place when installed
PyObject *numpy_original_capsule = nullptr;
std::atomic<int64_t> numpy_countdown{0};
std::atomic<int64_t> numpy_seen{0};

bool numpy_fail_now() {
    numpy_seen.fetch_add(1, std::memory_order_relaxed);
    return numpy_countdown.load(std::memory_order_relaxed) > 0 && numpy_countdown.fetch_sub(1) == 1;
}

void *np_malloc(void *, size_t n) {
    if (numpy_fail_now()) return nullptr;
    return numpy_original->allocator.malloc(numpy_original->allocator.ctx, n);
}
void *np_calloc(void *, size_t n, size_t size) {
    if (numpy_fail_now()) return nullptr;
    return numpy_original->allocator.calloc(numpy_original->allocator.ctx, n, size);
}
void *np_realloc(void *, void *p, size_t n) {
    if (numpy_fail_now()) return nullptr;
    return numpy_original->allocator.realloc(numpy_original->allocator.ctx, p, n);
}
void np_free(void *, void *p, size_t n) { numpy_original->allocator.free(numpy_original->allocator.ctx, p, n); }

PyDataMem_Handler failing_handler = {"orvex_failing_allocator", 1, {nullptr, np_malloc, np_calloc, np_realloc, np_free}};

}  // namespace

void register_faults(nb::module_ &m) {
    m.def(
        "_fault_injection",
        [](int64_t k) {
            if (!installed) {
                original = {SuiteSparse_config_malloc_func_get(), SuiteSparse_config_calloc_func_get(),
                            SuiteSparse_config_realloc_func_get(), SuiteSparse_config_free_func_get()};
                SuiteSparse_config_malloc_func_set(hook_malloc);
                SuiteSparse_config_calloc_func_set(hook_calloc);
                SuiteSparse_config_realloc_func_set(hook_realloc);
                SuiteSparse_config_free_func_set(hook_free);
                installed = true;
                live = 0;
            }
            seen = 0;
            countdown = k;
        },
        nb::arg("k"),
        "Count SuiteSparse's allocations from now on and make the k-th one fail (k <= 0:\n"
        "none fails).  Tests only.");
    m.def(
        "_fault_counts",
        []() { return nb::make_tuple(int64_t(seen), int64_t(live), countdown.load() > 0); },
        "(allocations requested, blocks live, failure still pending) since _fault_injection.");
    m.def(
        "_numpy_fault_injection",
        [](int64_t k) {
            if (!numpy_original_capsule) {
                PyObject *current = PyDataMem_GetHandler();
                if (!current) throw nb::python_error();
                numpy_original = static_cast<PyDataMem_Handler *>(PyCapsule_GetPointer(current, "mem_handler"));
                if (!numpy_original) {
                    Py_DECREF(current);
                    throw nb::python_error();
                }
                numpy_original_capsule = current;  // kept for as long as the process lives
                nb::capsule mine(&failing_handler, "mem_handler");
                PyObject *previous = PyDataMem_SetHandler(mine.ptr());
                if (!previous) throw nb::python_error();
                Py_DECREF(previous);
            }
            numpy_seen = 0;
            numpy_countdown = k;
        },
        nb::arg("k"),
        "Make the k-th NumPy data allocation of this context fail (k <= 0: none).  Tests only.");
    m.def(
        "_numpy_fault_counts", []() { return nb::make_tuple(int64_t(numpy_seen), numpy_countdown.load() > 0); },
        "(NumPy data allocations requested, failure still pending) since _numpy_fault_injection.");
}

}  // namespace orvex

#endif  // ORVEX_TEST_HOOKS
