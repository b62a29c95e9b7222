// lifecycle_gil.h: engine calls with the interpreter lock released, and how a thread that the
// interpreter ends at shutdown leaves such a call. The rest of a store's life (open, fork, exit)
// is lifecycle.h.
//
// At shutdown CPython ends a daemon thread from inside the call that takes the interpreter lock
// back: the thread unwinds (a forced unwind) from PyEval_RestoreThread up through its C++ frames.
// So the lock is never taken back in a destructor (unwinding out of a destructor aborts the
// process) nor inside a catch block, and every catch-all lets a forced unwind go on (swallowing
// it aborts the process too). The engine's locks are all released before the lock is taken back,
// so the exit hook's write of the log buffers never waits for a thread that is gone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <utility>

namespace korvane::py {

// Runs an engine call with the interpreter lock released, so that other threads run while the
// index works and no thread ever waits for one of the store's locks while it holds the
// interpreter lock. The call must not touch Python objects. Its exception, if any, is rethrown
// once the lock is held again.
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
  using R = decltype(f());
  std::optional<R> out;
  std::exception_ptr thrown;
  PyThreadState* ts = PyEval_SaveThread();
  try {
    out.emplace(f());
  } catch (abi::__forced_unwind&) {
    PyEval_RestoreThread(ts);  // never reached in practice: engine calls do not end threads
    throw;
  } catch (...) {
    thrown = std::current_exception();
  }
  PyEval_RestoreThread(ts);  // may end this thread at shutdown: see above
  if (thrown) std::rethrow_exception(thrown);
  return std::move(*out);
}

}  // namespace korvane::py
