// The bound on nested module calls, and the depth handed on from a thread to the worker
// threads it starts.
#include "binding/functions.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace korvex {

namespace {

// The worker threads being started or run by module calls, with their starters' depths. Read
// and written under the interpreter lock.
std::vector<std::pair<PyObject*, int>> g_worker_depths;

// The depth handed on to the running thread, 0 when it is no worker of a module call.
int handed_on_depth() {
    if (g_worker_depths.empty()) return 0;
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* current = threading ? PyObject_CallMethod(threading, "current_thread", nullptr)
                                  : nullptr;
    Py_XDECREF(threading);
    if (!current) {
        PyErr_Clear();  // no thread object to know it by: the thread counts from 0
        return 0;
    }
    int depth = 0;
    for (const auto& worker : g_worker_depths)
        if (worker.first == current) depth = worker.second;
    Py_DECREF(current);
    return depth;
}

}  // namespace

bool nesting_allows(const char* function_name, int* nesting) {
    if (*nesting == 0) *nesting = 1 + handed_on_depth();
    if (*nesting - 1 < kMaximumNesting) return true;
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded while calling %.200s() of %s",
                 function_name, kModuleName);
    return false;
}

WorkerDepthHandoff::WorkerDepthHandoff(const Ref& thread) : thread_(thread) {
    g_worker_depths.emplace_back(thread_.get(), call_depth());
}

WorkerDepthHandoff::~WorkerDepthHandoff() noexcept(false) {
    if (!may_release_references()) return;  // a thread being ended: the lock is another's
    auto handed = std::find_if(g_worker_depths.begin(), g_worker_depths.end(),
                               [&](const auto& worker) { return worker.first == thread_.get(); });
    if (handed != g_worker_depths.end()) g_worker_depths.erase(handed);
}

}  // namespace korvex
