// py_args.h: argument conversion for the surface: matching positional and keyword arguments,
// worded as the interpreter words these faults, and converting each argument. Each conversion
// returns false with the Python error set; a TypeError is re-raised with the "argument 'NAME': "
// prefix and the first error as its cause, other errors pass unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.h"
#include "lib/py_errors.h"
#include "lib/store.h"

namespace korvane::py {

// Argument matching: positional or keyword, then keyword-only.
struct Params {
  const char* callee;          // "Korvane.add"
  const char* const* names;    // parameter names
  int required, total;
  int kwonly = 0;              // the last kwonly of the names, all optional, are keyword-only
};

// A call's arguments as the interpreter hands them over: positional ones in an array, keywords
// either as a dictionary or as a tuple of names whose values follow the positional ones (the
// fast calling convention).
struct CallArgs {
  PyObject* const* pos = nullptr;
  Py_ssize_t npos = 0;
  PyObject* kwdict = nullptr;   // or null
  PyObject* kwnames = nullptr;  // or null: the values are pos[npos + i]

  static CallArgs of_tuple(PyObject* args, PyObject* kwargs) {
    CallArgs c;
    if (args != nullptr) {
      c.pos = &PyTuple_GET_ITEM(args, 0);
      c.npos = PyTuple_GET_SIZE(args);
    }
    c.kwdict = kwargs;
    return c;
  }
  static CallArgs of_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    CallArgs c;
    c.pos = args;
    c.npos = PyVectorcall_NARGS(static_cast<size_t>(nargs));
    c.kwnames = kwnames;
    return c;
  }
  // Calls f(key, value) for each keyword until it returns false; false if one did.
  template <class F>
  bool each_keyword(F&& f) const {
    if (kwdict != nullptr) {
      PyObject *key, *value;
      Py_ssize_t at = 0;
      while (PyDict_Next(kwdict, &at, &key, &value))
        if (!f(key, value)) return false;
    } else if (kwnames != nullptr) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
        if (!f(PyTuple_GET_ITEM(kwnames, i), pos[npos + i])) return false;
    }
    return true;
  }
};

// A method taking arguments, with the calling convention that costs least on this interpreter.
// Under PyPy an argument tuple and above all a keyword dictionary made for a C function cost
// several times a small search (0.8 µs for one keyword), which the fast convention's array and
// tuple of names avoid; CPython takes the tuple and dictionary, whose cost there is tens of
// nanoseconds, and so words a non-str keyword as before ("Korvane.m() keywords must be
// strings"), which its fast convention would reject itself, naming no callee.
using Method = PyObject* (*)(PyObject* self, const CallArgs& args);
#ifdef PYPY_VERSION
template <Method M>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return M(self, CallArgs::of_vector(args, nargs, kwnames));
}
constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;
#else
template <Method M>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return M(self, CallArgs::of_tuple(args, kwargs));
}
constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS;
#endif

// Fills out[0..total) with borrowed references (nullptr for omitted optional ones).
bool match_args(const Params& p, const CallArgs& args, PyObject** out);

struct Pending {
  PyObject *type, *value, *tb;
  static Pending take() {
    Pending p;
    PyErr_Fetch(&p.type, &p.value, &p.tb);
    PyErr_NormalizeException(&p.type, &p.value, &p.tb);
    if (p.tb != nullptr && p.value != nullptr) PyException_SetTraceback(p.value, p.tb);
    return p;
  }
  // cls(<format's text with the message of the pending one as its last argument>); null, with
  // the failure's own error set, when it cannot be made.
  template <class... Args>
  PyRef rebuilt(PyObject* cls, const char* format, Args... args) const {
    PyRef msg(value ? PyObject_Str(value) : nullptr);
    PyRef text(msg ? PyUnicode_FromFormat(format, args..., msg.get()) : nullptr);
    return PyRef(text ? PyObject_CallFunctionObjArgs(cls, text.get(), nullptr) : nullptr);
  }
  // Raises `exc` as cls, with the pending exception as its context and cause; consumes this.
  void raise_chained(PyObject* cls, PyRef exc) {
    Py_XINCREF(value);
    PyException_SetContext(exc.get(), value);  // steals
    PyException_SetCause(exc.get(), value);    // steals
    PyErr_SetObject(cls, exc.get());
    Py_XDECREF(type);
    Py_XDECREF(tb);
  }
};

bool prefix_type_error(const char* name);
bool fail_type(const char* name, const char* fmt, PyObject* o);
bool to_text(PyObject* o, const char* name, std::string_view* out);
bool to_double(PyObject* o, double* out);
bool to_f32(PyObject* o, const char* name, float* out);
bool to_count(PyObject* o, const char* name, uint64_t* out);
bool item_pair(PyObject* o, std::pair<float, float>* out);
bool to_pair(PyObject* o, const char* name, std::pair<float, float>* out);
bool to_points(PyObject* o, const char* name, std::vector<std::pair<float, float>>* out);
bool to_flag(PyObject* o, const char* name, bool* out);
bool to_limit(PyObject* o, const char* name, std::optional<float>* out);
bool to_filter(PyObject* o, const char* name, std::optional<std::string_view>* out);
bool to_durability(PyObject* o, Durability* out);
bool to_json_value(PyObject* o, int depth, Json* out);
// Puts "item K: " in front of the pending exception's message.
void prefix_item(size_t k);
// The keyword-only area of the counts.
bool to_area(PyObject* box, PyObject* circle, PyObject* polygon, CountArea* out);
// The keyword-only projections of the searches.
bool to_projection(PyObject* fields, PyObject* coords, Projection* out);
bool to_new_point(PyObject* item, NewPoint* out, std::vector<PyRef>* keep);

}  // namespace korvane::py
