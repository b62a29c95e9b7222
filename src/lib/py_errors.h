// py_errors.h: owned Python references, and the one mapping of engine errors to Python
// exceptions. Only the surface's files include it (they include Python.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "core/error.h"

namespace korvane::py {

class PyRef {  // owns one new reference
 public:
  PyRef() = default;
  explicit PyRef(PyObject* o) : o_(o) {}
  PyRef(PyRef&& r) noexcept : o_(r.release()) {}
  PyRef& operator=(PyRef&& r) noexcept {
    std::swap(o_, r.o_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// korvane.PanicException: created once per process, a subclass of BaseException so that
// `except Exception` does not swallow an unrecoverable failure.
PyObject* panic_exception();
// Made at module initialisation: the OSError classes raised (see py_errors.cpp).
bool init_errors();

// Raises the exception for an engine error. `dir` is the storage directory the call concerns, or
// null: a file the error names within the directory becomes the exception's filename.
void raise_error(const Error& err, const std::string* dir = nullptr);
void raise_internal(const char* what);
// A message that may quote the caller's text up to a fault (undecodable bytes become U+FFFD).
void set_message(PyObject* type, const std::string& msg);

// Runs an engine call so that no C++ exception ever reaches the interpreter.
template <class F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    throw;  // a thread the interpreter ends at shutdown (lifecycle_gil.h)
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("internal failure");
  }
  return decltype(f())();
}

}  // namespace korvane::py
