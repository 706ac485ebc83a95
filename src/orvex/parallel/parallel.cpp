#include "orvex/parallel/parallel.hpp"

#include "orvex/cholmod/cholmod.hpp"

#include <SuiteSparseQR.hpp>

#include <dlfcn.h>
#include <pthread.h>
#ifdef __linux__
#include <link.h>
#include <sched.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace orvex {

namespace {

using Clock = std::chrono::steady_clock;

// Signals are polled at most this often by a running call, and a waiting
// thread wakes up this often: well inside the 0.2 s a user may wait for
// Ctrl-C, and rare enough that taking the GIL costs nothing measurable.
constexpr auto poll_period = std::chrono::milliseconds(5);

std::atomic<int> threads_knob{1};
unsigned long main_thread_ident = 0;
thread_local Interruption *current_call = nullptr;

// Task-tree granularity of an analysis made for T > 1 threads: about
// `grain_per_thread` * T tasks, none below `min_task_flops` (and no tree at
// all for a factorization of fewer flops: one thread is then faster).
std::atomic<double> grain_per_thread{4};
std::atomic<double> min_task_flops{2e7};

// The shape of the last task tree run, for the benchmarks: the tasks' total
// time, the longest chain of dependent tasks (the span) and the trunk's part.
struct TreeProfile {
    int64_t ntasks = 0, work_ns = 0, span_ns = 0, trunk_ns = 0;
};
TreeProfile last_profile;

// The BLAS thread count, where the BLAS in the process exposes it: every
// OpenBLAS loaded (the system's, which a development build links, and the
// builds inside NumPy's and SciPy's wheels, whose symbols carry a prefix or
// suffix; the wheel's SuiteSparse calls SciPy's).  A parallel factorization
// runs its tasks with one BLAS thread and gives the BLAS its threads back
// for the trunk of the tree (the root fronts, the critical path).
struct BlasThreads {
    struct Library {
        int (*get)();
        void (*set)(int);
        int saved;
    };
    std::vector<Library> libraries;

    void add(void *handle) {
        static const char *const names[][2] = {
            {"openblas_get_num_threads", "openblas_set_num_threads"},
            {"openblas_get_num_threads64_", "openblas_set_num_threads64_"},
            {"scipy_openblas_get_num_threads", "scipy_openblas_set_num_threads"},
            {"scipy_openblas_get_num_threads64_", "scipy_openblas_set_num_threads64_"},
        };
        for (const auto &n : names) {
            auto get = reinterpret_cast<int (*)()>(dlsym(handle, n[0]));
            auto set = reinterpret_cast<void (*)(int)>(dlsym(handle, n[1]));
            if (!get || !set) continue;
            for (const Library &l : libraries)
                if (l.get == get) return;
            libraries.push_back({get, set, 1});
            return;
        }
    }

    BlasThreads() {
        add(RTLD_DEFAULT);
#ifdef __linux__
        dl_iterate_phdr(
            [](dl_phdr_info *info, size_t, void *self) {
                const char *name = info->dlpi_name;
                if (name && std::strstr(name, "openblas")) {
                    if (void *h = dlopen(name, RTLD_LAZY | RTLD_NOLOAD)) {
                        static_cast<BlasThreads *>(self)->add(h);
                        dlclose(h);
                    }
                }
                return 0;
            },
            this);
#endif
    }

    // Remember each library's count and set it to 1; give it back.
    void narrow() {
        for (Library &l : libraries) {
            l.saved = l.get();
            if (l.saved > 1) l.set(1);
        }
    }
    void widen() {
        for (const Library &l : libraries)
            if (l.saved > 1) l.set(l.saved);
    }
    bool any_wider() const {
        for (const Library &l : libraries)
            if (l.saved > 1) return true;
        return false;
    }
};

}  // namespace

// ---- the pool ----------------------------------------------------------------------

// One task tree being factorized: its state lives on the calling thread's
// stack, is changed only with the pool's lock held, and is listed in the
// pool while the call runs.
struct Run {
    void (*kernel)(void *, int64_t);
    void *blob;
    int64_t ntasks;
    int64_t *parent;   // parent task of each task (ntasks-1: the empty root)
    int64_t *waiting;  // children not yet done, per task
    int64_t *ready;    // tasks whose children are all done (a stack)
    int64_t *trunk;    // nonzero for a task whose every other task is an ancestor or descendant
    int64_t *busy;     // nanoseconds each task ran
    int64_t nready = 0;
    int64_t left;      // tasks not yet done
    int limit;         // threads this run may use
    int active = 0;    // tasks running now
    Interruption *owner;
    std::condition_variable changed;

    bool stopping() const { return owner && owner->requested_flag(); }
};

class Pool {
public:
    static Pool &get() {
        static Pool *first = install();
        (void)first;
        return *current();
    }
    int run(Run &r);
    int workers() {
        std::lock_guard<std::mutex> hold(mutex_);
        return workers_;
    }
    TreeProfile take_profile() {
        std::lock_guard<std::mutex> hold(mutex_);
        TreeProfile p = last_profile;
        last_profile = TreeProfile();
        return p;
    }

private:
    static Pool *&current() {
        static Pool *p = nullptr;
        return p;
    }
    static Pool *install() {
        current() = new Pool();  // never destroyed: workers may outlive exit
        pthread_atfork(nullptr, nullptr, [] { current() = new Pool(); });  // the child has no worker
        return current();
    }
    void grow(int n);
    void worker();
    bool take(Run *&r, int64_t &t);
    void execute(std::unique_lock<std::mutex> &lock, Run *r, int64_t t);

    std::mutex mutex_;
    std::condition_variable work_;
    std::vector<Run *> runs_;
    int workers_ = 0;
    BlasThreads blas_;
    int blas_users_ = 0;  // runs in progress (the BLAS is narrowed while there are any)
};

bool Interruption::requested_flag() const { return stop_.load(std::memory_order_relaxed); }

void Pool::grow(int n) {
    while (workers_ < n) {
        std::thread([this] { worker(); }).detach();
        ++workers_;
    }
}

bool Pool::take(Run *&r, int64_t &t) {
    for (Run *run : runs_) {
        if (run->nready > 0 && run->active < run->limit && !run->stopping()) {
            r = run;
            t = run->ready[--run->nready];
            return true;
        }
    }
    return false;
}

void Pool::execute(std::unique_lock<std::mutex> &lock, Run *r, int64_t t) {
    // A task of the trunk (the root fronts) runs alone, with the BLAS's
    // threads; every other task with one.  Which fronts get which is a
    // property of the tree, not of the thread count or of timing, so the
    // factors do not depend on either (unless other factorizations run in
    // the process at the same time: the BLAS setting is the process's).
    const bool widen = r->trunk[t] && blas_users_ == 1 && blas_.any_wider();
    ++r->active;
    if (widen) blas_.widen();
    lock.unlock();
    Interruption *before = current_call;
    current_call = r->owner;
    const auto start = Clock::now();
    r->kernel(r->blob, t);
    r->busy[t] = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    current_call = before;
    lock.lock();
    if (widen) blas_.narrow();
    --r->active;
    --r->left;
    const int64_t p = r->parent[t];
    if (p >= 0 && p < r->ntasks - 1 && --r->waiting[p] == 0) {
        r->ready[r->nready++] = p;
        work_.notify_all();
    }
    r->changed.notify_all();
}

void Pool::worker() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Run *r;
        int64_t t;
        if (take(r, t)) execute(lock, r, t);
        else work_.wait(lock);
    }
}

int Pool::run(Run &r) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (r.limit > 1) grow(r.limit - 1);
    if (blas_users_++ == 0) blas_.narrow();
    runs_.push_back(&r);
    work_.notify_all();
    for (;;) {
        if (r.left == 0) break;
        const bool stop = r.stopping();
        if (stop && r.active == 0) break;
        if (!stop && r.nready > 0 && r.active < r.limit) {
            const int64_t t = r.ready[--r.nready];
            execute(lock, &r, t);
            continue;
        }
        r.changed.wait_for(lock, poll_period);
        if (r.owner) {
            // signals are checked without the pool's lock
            lock.unlock();
            r.owner->requested();
            lock.lock();
        }
    }
    runs_.erase(std::find(runs_.begin(), runs_.end(), &r));
    if (r.left == 0) {
        // work and span of the tree (children are numbered before parents)
        TreeProfile p;
        p.ntasks = r.ntasks - 1;
        int64_t *longest = r.waiting;  // all zero now
        for (int64_t t = 0; t < r.ntasks - 1; ++t) {
            p.work_ns += r.busy[t];
            if (r.trunk[t]) p.trunk_ns += r.busy[t];
            const int64_t chain = longest[t] + r.busy[t];
            p.span_ns = std::max(p.span_ns, chain);
            const int64_t q = r.parent[t];
            if (q >= 0) longest[q] = std::max(longest[q], chain);
        }
        last_profile = p;
    }
    if (--blas_users_ == 0) blas_.widen();
    return r.left == 0 ? 0 : 1;
}

namespace {

// SPQR's scheduler hook.  Returns 0 when every task ran, 1 when the call was
// interrupted, CHOLMOD_OUT_OF_MEMORY without memory for the schedule.
template <class Int>
int run_tree_typed(int64_t ntasks, const Int *childp, const Int *child, void (*kernel)(void *, int64_t), void *blob,
                   cholmod_common *cc) {
    auto *mem = static_cast<int64_t *>(SuiteSparse_malloc(size_t(5 * ntasks), sizeof(int64_t)));
    if (!mem) return CHOLMOD_OUT_OF_MEMORY;
    Run r;
    r.kernel = kernel;
    r.blob = blob;
    r.ntasks = ntasks;
    r.parent = mem;
    r.waiting = mem + ntasks;
    r.ready = mem + 2 * ntasks;
    r.trunk = mem + 3 * ntasks;
    r.busy = mem + 4 * ntasks;
    r.left = ntasks - 1;
    r.limit = std::max(1, cc->SPQR_nthreads);
    r.owner = current_call;
    for (int64_t t = 0; t < ntasks; ++t) r.parent[t] = -1;
    for (int64_t t = 0; t < ntasks; ++t) {
        r.waiting[t] = int64_t(childp[t + 1] - childp[t]);
        for (Int p = childp[t]; p < childp[t + 1]; ++p) r.parent[child[p]] = t;
    }
    // Parents are numbered after their children: the trunk, from the root
    // placeholder down, is the chain of only children.
    r.trunk[ntasks - 1] = 1;
    for (int64_t t = ntasks - 2; t >= 0; --t) {
        const int64_t p = r.parent[t];
        r.trunk[t] = p >= 0 && r.trunk[p] && childp[p + 1] - childp[p] == 1;
    }
    // The stack pops the lowest task (first in SPQR's postorder) first.
    for (int64_t t = ntasks - 2; t >= 0; --t)
        if (r.waiting[t] == 0) r.ready[r.nready++] = t;
    const int status = Pool::get().run(r);
    SuiteSparse_free(mem);
    return status;
}

int run_tree(int64_t ntasks, int itype, const void *childp, const void *child, void (*kernel)(void *, int64_t),
             void *blob, cholmod_common *cc) {
    if (itype == CHOLMOD_INT)
        return run_tree_typed(ntasks, static_cast<const int32_t *>(childp), static_cast<const int32_t *>(child),
                              kernel, blob, cc);
    return run_tree_typed(ntasks, static_cast<const int64_t *>(childp), static_cast<const int64_t *>(child), kernel,
                          blob, cc);
}

int interrupted() { return interrupt_requested() ? 1 : 0; }

}  // namespace

// ---- the knob ------------------------------------------------------------------------

int num_threads() { return threads_knob.load(std::memory_order_relaxed); }
void set_num_threads(int n) { threads_knob.store(std::max(1, n), std::memory_order_relaxed); }

bool parallel_factorization_available() {
#ifdef SPQR_HAS_TASK_HOOKS
    return true;
#else
    return false;
#endif
}

void configure_threads(cholmod_common *cc) {
    const int t = parallel_factorization_available() ? num_threads() : 1;
    cc->SPQR_nthreads = t;
    if (t > 1) {
        cc->SPQR_grain = grain_per_thread.load() * t;
        cc->SPQR_small = min_task_flops.load();
    } else {
        cc->SPQR_grain = 1;
    }
}

// ---- interruption ----------------------------------------------------------------------

Interruption::Interruption() : outer_(current_call) {
    checks_signals_ = PyThread_get_thread_ident() == main_thread_ident;
    thread_ = std::this_thread::get_id();
    current_call = this;
}

Interruption::~Interruption() {
    current_call = outer_;
    Py_XDECREF(raised_);
}

void Interruption::poll() {
    const auto now = Clock::now();
    if (now < next_ || stop_.load(std::memory_order_relaxed)) return;
    next_ = now + poll_period;
    PyGILState_STATE state = PyGILState_Ensure();
    if (PyErr_CheckSignals() < 0) {
        raised_ = PyErr_GetRaisedException();
        stop_.store(true, std::memory_order_relaxed);
    }
    PyGILState_Release(state);
}

bool Interruption::requested() {
    if (checks_signals_ && std::this_thread::get_id() == thread_) poll();
    return stop_.load(std::memory_order_relaxed);
}

void Interruption::raise_pending() {
    if (!raised_) return;
    PyErr_SetRaisedException(raised_);
    raised_ = nullptr;
    throw nb::python_error();
}

bool interrupt_requested() {
    Interruption *c = current_call;
    return c && c->requested();
}

// ---- registration --------------------------------------------------------------------

namespace {

int affinity_cpus() {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

void register_parallel(nb::module_ &m) {
    main_thread_ident = nb::cast<unsigned long>(
        nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    set_num_threads(affinity_cpus());
#ifdef SPQR_HAS_TASK_HOOKS
    static const SuiteSparseQR_task_hooks hooks = {run_tree, interrupted};
    SuiteSparseQR_set_task_hooks(&hooks);
#endif
#ifdef SUITESPARSE_HAS_INTERRUPT
    // COLAMD, AMD and METIS poll the same check as SPQR's kernel
    SuiteSparse_config_interrupt_func_set(interrupted);
    m.attr("_interruptible_orderings") = true;
#else
    m.attr("_interruptible_orderings") = false;
#endif
    m.def("get_num_threads", &num_threads);
    m.def("set_num_threads", [](int n) { set_num_threads(n); }, nb::arg("n"));
    m.def("parallel_factorization_available", &parallel_factorization_available);
    m.def("_cpu_count", &affinity_cpus);
#ifdef ORVEX_TEST_HOOKS
    m.def(
        "_task_grain",
        [](double per_thread, double min_flops) {
            return nb::make_tuple(grain_per_thread.exchange(per_thread), min_task_flops.exchange(min_flops));
        },
        nb::arg("per_thread"), nb::arg("min_flops"),
        "Set the tasks per thread and the smallest task (flops) of later analyses; returns the\n"
        "previous pair.  Tests and benchmarks only.");
    m.def("_pool_workers", [] { return Pool::get().workers(); }, "Threads of the pool.  Tests only.");
    m.def(
        "_last_tree_profile",
        []() {
            TreeProfile p = Pool::get().take_profile();
            return nb::make_tuple(p.ntasks, p.work_ns * 1e-9, p.span_ns * 1e-9, p.trunk_ns * 1e-9);
        },
        "(tasks, work s, span s, trunk s) of the last task tree run (zeros when none ran since the\n"
        "last call).  Tests and benchmarks only.");
#endif
}

}  // namespace orvex

// threadpoolctl finds orvex's pool through these (orvex.parallel registers
// the controller that calls them).
extern "C" __attribute__((visibility("default"))) int orvex_get_num_threads(void) { return orvex::num_threads(); }
extern "C" __attribute__((visibility("default"))) void orvex_set_num_threads(int n) { orvex::set_num_threads(n); }
