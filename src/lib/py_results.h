// py_results.h: result lists for the surface, per interpreter. CPython builds each list object by
// object (py_results_direct.cpp); interpreters that emulate the C API (PyPy) hand over results
// packed in one buffer that a small Python builder slices (py_results_packed.cpp). Both give the
// same list.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "lib/lifecycle_gil.h"
#include "lib/packed_results.h"
#include "lib/py_errors.h"
#include "lib/store.h"

namespace korvane::py {

// The list of (id, metadata) or (id, distance, metadata) tuples, built directly; with
// projections, the coordinates after the distance and the fields' values in place of the text.
PyObject* result_list(const SearchOut& r);
// A JSON value as json.loads gives it.
PyObject* json_to_py(const Json& v);

// Whether searches hand over packed results (on by default under PyPy).
extern bool g_packed;
// Compiles the packed builders once per process.
bool compile_builders();
// The same list, sliced out of a packed buffer by the builders.
PyObject* packed_list(const PackedResults& p);
// korvane._packed_results(on): switches the hand-off; returns whether packed results were on.
PyObject* module_packed_results(PyObject*, PyObject* arg);

// Runs an engine call returning Status and gives None.
template <class F>
PyObject* none_or_raise(const Store& store, F&& f) {
  auto r = guarded([&]() -> std::optional<Status> { return without_gil(f); });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store.storage_path());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Runs an engine call returning a Result and turns its value into a Python object with to_py.
template <class F, class ToPy>
PyObject* value_or_raise(const Store& store, F&& f, ToPy&& to_py) {
  auto r = guarded([&]() -> std::optional<decltype(f())> { return without_gil(f); });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store.storage_path());
    return nullptr;
  }
  return to_py(r->value());
}

// Runs a search and builds its list. Projected results are built directly on every interpreter
// (the packed builders know only the plain shapes).
template <class F>
PyObject* list_or_raise(const Store& store, F&& f, bool projected = false) {
  if (g_packed && !projected) {
    auto r = guarded([&]() -> std::optional<Result<PackedResults>> {
      return without_gil([&]() -> Result<PackedResults> {
        Result<SearchOut> found = f();
        if (!found) return found.error();
        return pack_results(found.value());
      });
    });
    if (!r) return nullptr;
    if (!*r) {
      raise_error(r->error(), &store.storage_path());
      return nullptr;
    }
    return packed_list(r->value());
  }
  auto r = guarded([&]() -> std::optional<Result<SearchOut>> {
    return without_gil([&]() -> Result<SearchOut> {
      Result<SearchOut> found = f();
      if (found) found->ascii = is_ascii(found->arena.data(), found->arena.size());
      return found;
    });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store.storage_path());
    return nullptr;
  }
  // The locks are released: only now are Python objects made.
  return result_list(r->value());
}

}  // namespace korvane::py
