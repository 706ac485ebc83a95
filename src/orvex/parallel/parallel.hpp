// Threads of orvex's numeric factorizations: the thread knob, the pool that
// runs SPQR's task tree, and the interruption of a native call by a signal.
//
// One pool of std::threads serves the whole process: every factorization,
// from whichever Python thread, hands its ready tasks to it, so that many
// concurrent calls do not multiply the threads.  The calling thread works on
// its own tree too, and a call uses at most get_num_threads() threads.
#pragma once

#include <cholmod.h>

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace orvex {

// The number of threads a numeric factorization may use (>= 1).
int num_threads();
void set_num_threads(int n);

// True when SPQR takes orvex's scheduler (SuiteSparse built with orvex's
// task-hook patch); otherwise every factorization runs sequentially.
bool parallel_factorization_available();

// Prepare a CHOLMOD workspace for SPQR with the current thread count: the
// task-tree grain of an analysis and the threads of a numeric factorization.
// Every workspace that reaches SPQR's analysis or numeric phase goes through
// here, in the call's Python phase.
void configure_threads(cholmod_common *cc);

// ---- interruption ------------------------------------------------------------

// Thrown by check_interrupt(); run_native raises the signal handler's
// exception (KeyboardInterrupt) instead.
struct Interrupted {};

// The native phase of one call (run_native creates it, with the GIL held).
// In the main thread, where Python handles signals, the thread running the
// call takes the GIL back for a moment every few milliseconds while it polls
// (between tasks, fronts, column blocks, batches) and runs the signal
// handlers; an exception they raise stops the call, and is raised once the
// call has freed everything.
class Interruption {
public:
    Interruption();
    ~Interruption();
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;

    // True once the call should stop (any thread may ask).
    bool requested();
    // With the GIL held again: raise the handler's exception, if any.
    void raise_pending();

private:
    friend class Pool;
    friend struct Run;
    void poll();
    bool requested_flag() const;

    Interruption *outer_;
    bool checks_signals_;
    std::thread::id thread_;
    std::atomic<bool> stop_{false};
    PyObject *raised_ = nullptr;
    std::chrono::steady_clock::time_point next_{};
};

// True once the native call this thread works for should stop (no call,
// or no signal: false).  Cheap; polls signals at most every few ms.
bool interrupt_requested();
inline void check_interrupt() {
    if (interrupt_requested()) throw Interrupted{};
}

}  // namespace orvex
