// The Python surface: module initialisation, the Korvane type and its method table, argument and
// result conversion, and the mapping of engine errors to Python exceptions. The only file that
// includes Python.h; it builds against CPython's and PyPy's headers alike, so it uses public API
// only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/numeric_bsi.h"
#include "lib/arena_cache.h"
#include "lib/packed_results.h"
#include "lib/lifecycle_gil.h"
#include "lib/py_errors.h"
#include "lib/store.h"
#include "spatial/search.h"

using korvane::Error;
using korvane::ErrorKind;
using korvane::SearchOut;
using korvane::Store;
using korvane::py::PyRef;
using korvane::py::guarded;
using korvane::py::without_gil;
using korvane::py::panic_exception;
using korvane::py::raise_error;
using korvane::py::raise_internal;
using korvane::py::set_message;

namespace {

// ---------------------------------------------------------------------------------------------
// Argument matching: positional or keyword, then keyword-only, worded as the interpreter words
// these faults.

struct Params {
  const char* callee;          // "Korvane.add"
  const char* const* names;    // parameter names
  int required, total;
  int kwonly = 0;              // the last kwonly of the names, all optional, are keyword-only
};

std::string quoted_list(const std::vector<std::string>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() > 2 ? ", " : " ";
    if (i + 1 == names.size() && names.size() > 1) s += "and ";
    s += "'" + names[i] + "'";
  }
  return s;
}

// Fills out[0..total) with borrowed references (nullptr for omitted optional ones).
bool match_args_unguarded(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
  int positional = p.total - p.kwonly;
  for (int i = 0; i < p.total; ++i) out[i] = nullptr;
  if (npos > positional) {
    std::string takes = p.required == positional
                            ? std::to_string(positional) + " positional argument" + (positional == 1 ? "" : "s")
                            : "from " + std::to_string(p.required) + " to " + std::to_string(positional) +
                                  " positional arguments";
    // Keyword-only arguments given as well are counted, as the interpreter does.
    int kw = 0;
    for (int i = positional; i < p.total && kwargs != nullptr; ++i) {
      PyObject* v = PyDict_GetItemString(kwargs, p.names[i]);
      kw += v != nullptr;
    }
    std::string given = std::to_string(npos);
    if (kw > 0)
      given += std::string(" positional argument") + (npos == 1 ? "" : "s") + " (and " + std::to_string(kw) +
               " keyword-only argument" + (kw == 1 ? "" : "s") + ")";
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %s %s given", p.callee, takes.c_str(), given.c_str(),
                 npos == 1 && kw == 0 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p.callee);
        return false;
      }
      int found = -1;
      for (int i = 0; i < p.total; ++i)
        if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) found = i;
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.callee, key);
        return false;
      }
      if (out[found] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.callee,
                     p.names[found]);
        return false;
      }
      out[found] = value;
    }
  }
  std::vector<std::string> missing;
  for (int i = 0; i < p.required; ++i)
    if (out[i] == nullptr) missing.push_back(p.names[i]);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", p.callee,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }
  return true;
}

// The messages are built as std::strings, which can fail to allocate.
bool match_args(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  return guarded([&] { return match_args_unguarded(p, args, kwargs, out); });
}

// ---------------------------------------------------------------------------------------------
// Conversions. Each returns false with the Python error set. A TypeError is re-raised with the
// "argument 'NAME': " prefix and the first error as its cause; other errors pass unchanged.

// The pending exception, taken and normalized, its traceback attached.
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

bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  Pending p = Pending::take();
  PyRef exc = p.rebuilt(PyExc_TypeError, "argument '%s': %U", name);
  if (!exc) {
    Py_XDECREF(p.type);
    Py_XDECREF(p.value);
    Py_XDECREF(p.tb);
    return false;
  }
  p.raise_chained(PyExc_TypeError, std::move(exc));
  return false;
}

bool fail_type(const char* name, const char* fmt, PyObject* o) {
  PyErr_Format(PyExc_TypeError, fmt, Py_TYPE(o)->tp_name);
  return prefix_type_error(name);
}

bool to_text(PyObject* o, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(o)) return fail_type(name, "expected str, got %.200s", o);
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) return false;  // UnicodeEncodeError, unchanged
  *out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

// The interpreter's float conversion: __float__, else __index__. PyPy's PyFloat_AsDouble does
// not try __index__, so an object that has only that is converted through it here.
bool to_double(PyObject* o, double* out) {
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || !PyIndex_Check(o) ||
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__float__"))
      return false;
    PyErr_Clear();
    PyRef idx(PyNumber_Index(o));
    if (!idx) return false;
    d = PyLong_AsDouble(idx.get());
    if (d == -1.0 && PyErr_Occurred()) return false;
  }
  *out = d;
  return true;
}

bool to_f32(PyObject* o, const char* name, float* out) {
  double d;
  if (!to_double(o, &d)) return prefix_type_error(name);
  *out = korvane::narrow_to_f32(d);
  return true;
}

bool to_count(PyObject* o, const char* name, uint64_t* out) {
  PyRef idx(PyNumber_Index(o));
  if (!idx) return prefix_type_error(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(name);
  *out = v;
  return true;
}

bool item_pair(PyObject* o, std::pair<float, float>* out) {
  if (!PyTuple_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected a tuple of two numbers, got %.200s", Py_TYPE(o)->tp_name);
    return false;
  }
  if (PyTuple_GET_SIZE(o) != 2) {
    PyErr_Format(PyExc_TypeError, "expected a tuple of two numbers, got a tuple of %zd items",
                 PyTuple_GET_SIZE(o));
    return false;
  }
  for (int k = 0; k < 2; ++k) {
    double d;
    if (!to_double(PyTuple_GET_ITEM(o, k), &d)) return false;
    (k == 0 ? out->first : out->second) = korvane::narrow_to_f32(d);
  }
  return true;
}

bool to_pair(PyObject* o, const char* name, std::pair<float, float>* out) {
  if (!item_pair(o, out)) return prefix_type_error(name);
  return true;
}

bool points_too_long(const char* name, Py_ssize_t n) {
  PyErr_Format(PyExc_MemoryError, "argument '%s': a sequence of %zd points does not fit in memory", name, n);
  return false;
}

// The length a sequence reports is only a claim: at most kPointsReserve slots are reserved up
// front, and the items are read one by one until that length (an item that is missing raises
// the sequence's own error). A length no vector can hold fails at once.
constexpr size_t kPointsReserve = 4096;

bool to_points(PyObject* o, const char* name, std::vector<std::pair<float, float>>* out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return prefix_type_error(name);
  }
  if (!PySequence_Check(o)) return fail_type(name, "expected a sequence of (lat, lon) tuples, got %.200s", o);
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return prefix_type_error(name);
  if (static_cast<size_t>(n) > out->max_size()) return points_too_long(name, n);
  try {
    out->reserve(std::min(static_cast<size_t>(n), kPointsReserve));
  } catch (...) {
    return points_too_long(name, n);
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(o, i));
    if (!item) return prefix_type_error(name);
    std::pair<float, float> p;
    if (!item_pair(item.get(), &p)) return prefix_type_error(name);
    try {
      out->push_back(p);
    } catch (...) {
      return points_too_long(name, n);
    }
  }
  return true;
}

// A flag: True, False, 1 or 0; omitted is false. Anything else is refused rather than read by
// its truth value, so that a misplaced argument (a filter text, None, "no") is not taken for a
// flag.
bool to_flag(PyObject* o, const char* name, bool* out) {
  *out = false;
  if (o == nullptr) return true;
  if (!PyLong_Check(o)) return fail_type(name, "expected bool, 0 or 1, got %.200s", o);
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return prefix_type_error(name);
  if (overflow != 0 || (v != 0 && v != 1)) {
    PyErr_Format(PyExc_TypeError, "expected bool, 0 or 1, got %R", o);
    return prefix_type_error(name);
  }
  *out = v == 1;
  return true;
}

// A distance limit: omitted or None is none.
bool to_limit(PyObject* o, const char* name, std::optional<float>* out) {
  out->reset();
  if (o == nullptr || o == Py_None) return true;
  float v = 0;
  if (!to_f32(o, name, &v)) return false;
  *out = v;
  return true;
}

bool to_filter(PyObject* o, const char* name, std::optional<std::string_view>* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::string_view s;
  if (!to_text(o, name, &s)) return false;
  *out = s;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Results

// A record that is not UTF-8 reads as the fallback ("" for an id, "{}" for metadata). An ASCII
// arena (checked before the interpreter lock was taken back) needs no decoding: its bytes are
// the string's characters.
PyObject* text_obj(const SearchOut& r, std::pair<size_t, size_t> span, const char* fallback) {
  const char* p = r.arena.data() + span.first;
  const auto len = static_cast<Py_ssize_t>(span.second);
#ifndef PYPY_VERSION
  if (r.ascii) {
    PyObject* s = PyUnicode_New(len, 127);
    if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), p, static_cast<size_t>(len));
    return s;
  }
#endif
  PyObject* s = PyUnicode_DecodeUTF8(p, len, "strict");
  if (s == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    s = PyUnicode_FromString(fallback);
  }
  return s;
}

// The list is created at its final length and filled by position. A result tuple holds only
// strings and a float, so the cyclic collector has nothing to find in it: it is untracked at
// once (as the collector itself would do on its first pass), which keeps the collections that
// thousands of new tuples set off from walking them while every other thread waits.
PyObject* result_list(const SearchOut& r) {
  bool triples = r.with_dist;
  size_t n = r.size();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyRef tup(PyTuple_New(triples ? 3 : 2));
    if (!tup) return nullptr;
    PyObject* id = text_obj(r, r.ids[i], "");
    if (id == nullptr) return nullptr;
    PyTuple_SET_ITEM(tup.get(), 0, id);
    if (triples) {
      PyObject* d = PyFloat_FromDouble(static_cast<double>(r.dists[i]));
      if (d == nullptr) return nullptr;
      PyTuple_SET_ITEM(tup.get(), 1, d);
    }
    PyObject* meta = text_obj(r, r.metas[i], "{}");
    if (meta == nullptr) return nullptr;
    PyTuple_SET_ITEM(tup.get(), triples ? 2 : 1, meta);
#ifndef PYPY_VERSION
    PyObject_GC_UnTrack(tup.get());
#endif
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tup.release());
  }
  return list.release();
}

// Results on interpreters that emulate the C API (PyPy): there every object made from C costs
// far more than the same object made by Python code, so a search hands over its results packed
// in one buffer (packed_results.h), and one call to a small Python builder, compiled by that
// interpreter's JIT, slices it into the list. CPython builds the list directly (above), which is
// faster there. Both give the same list. The builder reads the buffer through a memoryview,
// which it copies at once and must not keep: the view is released before the buffer goes.
// The list is made at its final length and filled: a list grown result by result costs PyPy's
// young-object collections (which a thousand results set off several times over) a third more.
const char kBuilderSource[] = R"PY(
from array import array

def pairs(view, n, encoding):
    b = view.tobytes()
    at = 8 * (2 * n + 1)
    o = array('q')
    o.frombytes(b[:at])
    s = b[at:].decode(encoding)
    r = [None] * n
    for i in range(n):
        r[i] = (s[o[2 * i]:o[2 * i + 1]], s[o[2 * i + 1]:o[2 * i + 2]])
    return r

def triples(view, n, encoding):
    b = view.tobytes()
    at = 8 * (2 * n + 1)
    o = array('q')
    o.frombytes(b[:at])
    d = array('f')
    d.frombytes(b[at:at + 4 * n])
    s = b[at + 4 * n:].decode(encoding)
    r = [None] * n
    for i in range(n):
        r[i] = (s[o[2 * i]:o[2 * i + 1]], d[i], s[o[2 * i + 1]:o[2 * i + 2]])
    return r
)PY";

#ifdef PYPY_VERSION
bool g_packed = true;  // whether searches hand over packed results
#else
bool g_packed = false;
#endif
// Compiled once per process, with the names of the two decodings.
PyObject* g_pairs = nullptr;
PyObject* g_triples = nullptr;
PyObject* g_ascii = nullptr;
PyObject* g_utf8 = nullptr;

bool compile_builders() {
  if (g_pairs != nullptr) return true;
  PyRef builtins(PyImport_ImportModule("builtins"));
  PyRef globals(builtins ? PyDict_New() : nullptr);
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0) return false;
  PyRef code(Py_CompileString(kBuilderSource, "<korvane results>", Py_file_input));
  if (!code) return false;
  PyRef done(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return false;
  PyObject* pairs = PyDict_GetItemString(globals.get(), "pairs");      // borrowed
  PyObject* triples = PyDict_GetItemString(globals.get(), "triples");  // borrowed
  PyRef ascii(PyUnicode_FromString("ascii"));
  PyRef utf8(PyUnicode_FromString("utf-8"));
  if (pairs == nullptr || triples == nullptr || !ascii || !utf8) {
    if (!PyErr_Occurred()) raise_internal("result builders missing");
    return false;
  }
  Py_INCREF(pairs);
  Py_INCREF(triples);
  g_pairs = pairs;
  g_triples = triples;
  g_ascii = ascii.release();
  g_utf8 = utf8.release();
  return true;
}

// A read-only memoryview of memory that outlives it: released (whatever the builder kept of it
// can then no longer read the memory) before its reference goes. A pending exception stays.
class BorrowedView {
 public:
  BorrowedView(const void* p, size_t n)
      : v_(PyMemoryView_FromMemory(static_cast<char*>(const_cast<void*>(p)), static_cast<Py_ssize_t>(n),
                                   PyBUF_READ)) {}
  BorrowedView(const BorrowedView&) = delete;
  BorrowedView& operator=(const BorrowedView&) = delete;
  ~BorrowedView() {
    if (!v_) return;
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyRef released(PyObject_CallMethod(v_.get(), "release", nullptr));
    if (!released) PyErr_Clear();  // only a view with exports refuses, and the builder makes none
    PyErr_Restore(et, ev, tb);
  }
  PyObject* get() const { return v_.get(); }
  explicit operator bool() const { return static_cast<bool>(v_); }

 private:
  PyRef v_;
};

PyObject* packed_list(const korvane::PackedResults& p) {
  if (p.n == 0) return PyList_New(0);
  BorrowedView view(p.buf.data(), p.buf.size());
  PyRef n(view ? PyLong_FromSize_t(p.n) : nullptr);
  if (!n) return nullptr;
  return PyObject_CallFunctionObjArgs(p.with_dist ? g_triples : g_pairs, view.get(), n.get(),
                                     p.ascii ? g_ascii : g_utf8, nullptr);
}

// korvane._packed_results(on): switches this process's searches between the packed hand-off and
// the direct one, and returns whether packed results were on. For tests.
PyObject* module_packed_results(PyObject*, PyObject* arg) {
  int on = PyObject_IsTrue(arg);
  if (on < 0) return nullptr;
  if (on && !compile_builders()) return nullptr;
  bool was = g_packed;
  g_packed = on != 0;
  return PyBool_FromLong(was);
}

// ---------------------------------------------------------------------------------------------
// The type

struct KorvaneObject {
  PyObject_HEAD
  // This object's share of its directory's engine (every object on one directory shares one):
  // created in the creation slot, released in dealloc.
  std::shared_ptr<Store>* store;
  bool read_only;       // this object refuses changes, whatever the engine allows
  bool closed;          // close() released its share: every call but close() refuses
  bool strict_filters;  // this object's filters are checked first (the engine is shared)
  korvane::Durability durability;  // how far this object's changes go before they return
};

// The receiver's engine object. Only PyPy lets object.__new__ make an instance that skipped the
// creation slot; such an object has no directory and refuses every call.
// Tests search_polygon's candidates edge after edge, as the rule is written, while on: the
// benchmark measures the edge index against it.
PyObject* module_plain_polygons(PyObject*, PyObject* arg) {
  int on = PyObject_IsTrue(arg);
  if (on < 0) return nullptr;
  korvane::set_plain_polygons(on != 0);
  Py_RETURN_NONE;
}

std::shared_ptr<Store> store_of(PyObject* self) {
  auto* obj = reinterpret_cast<KorvaneObject*>(self);
  std::shared_ptr<Store>* s = obj->store;
  if (s == nullptr) {
    PyErr_SetString(PyExc_ValueError, obj->closed ? "the store is closed"
                                                  : "Korvane object is not initialized: create it as Korvane(storage_path)");
    return nullptr;
  }
  return *s;
}

// The engine for a change: none (with the exception set) when this object is read-only.
std::shared_ptr<Store> writable_store_of(PyObject* self) {
  std::shared_ptr<Store> s = store_of(self);
  if (s != nullptr && reinterpret_cast<KorvaneObject*>(self)->read_only) {
    raise_error(korvane::Error::unsupported("the store is read-only"));
    return nullptr;
  }
  return s;
}

bool strict_filters_of(PyObject* self) { return reinterpret_cast<KorvaneObject*>(self)->strict_filters; }

korvane::Durability durability_of(PyObject* self) { return reinterpret_cast<KorvaneObject*>(self)->durability; }

// The durability keyword: "buffered" when omitted. Any other text is a ValueError.
bool to_durability(PyObject* o, korvane::Durability* out) {
  *out = korvane::Durability::Buffered;
  if (o == nullptr) return true;
  std::string_view level;
  if (!to_text(o, "durability", &level)) return false;
  if (level == "buffered") return true;
  if (level == "process") {
    *out = korvane::Durability::Process;
    return true;
  }
  if (level == "power") {
    *out = korvane::Durability::Power;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "durability must be \"buffered\", \"process\" or \"power\", not %R", o);
  return false;
}

const char* const kCtorNames[] = {"storage_path", "read_only", "strict_filters", "durability", "recover"};
const char* const kAddNames[] = {"id", "lat", "lon", "metadata"};
const char* const kDeleteNames[] = {"id"};
const char* const kAddManyNames[] = {"points"};
const char* const kDbfNames[] = {"filter_json"};
const char* const kKnnNames[] = {"lat", "lon", "k", "filter_json", "exact", "max_distance_m"};
const char* const kBoxNames[] = {"top_left", "bottom_right", "filter_json"};
const char* const kRadiusNames[] = {"lat", "lon", "radius_m", "filter_json"};
const char* const kPolygonNames[] = {"points", "filter_json"};

PyObject* korvane_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!match_args({"Korvane", kCtorNames, 1, 5, 3}, args, kwargs, a)) return nullptr;
  // A path object (pathlib.Path and the like) stands for the text it gives.
  PyRef fspath;
  if (!PyUnicode_Check(a[0]) && PyObject_HasAttrString(a[0], "__fspath__")) {
    fspath = PyRef(PyOS_FSPath(a[0]));
    if (!fspath) return nullptr;
    if (!PyUnicode_Check(fspath.get()))
      return fail_type("storage_path", "expected a path giving str, got one giving %.200s", fspath.get()), nullptr;
    a[0] = fspath.get();
  }
  std::string_view path;
  if (!to_text(a[0], "storage_path", &path)) return nullptr;
  bool read_only = false, strict = false;
  if (!to_flag(a[1], "read_only", &read_only) || !to_flag(a[2], "strict_filters", &strict)) return nullptr;
  // A read-only object changes nothing, so any level holds for it; it is accepted all the same.
  korvane::Durability durability;
  if (!to_durability(a[3], &durability)) return nullptr;
  // recover=True: a damaged snapshot is rebuilt from the record files and the log instead of
  // failing the open; what was restored and what was not comes as a RuntimeWarning.
  bool recover = false;
  if (!to_flag(a[4], "recover", &recover)) return nullptr;
  if (path.find('\0') != std::string_view::npos) {
    // The system cannot name such a directory; cutting the text at the NUL would open another.
    PyErr_SetString(PyExc_ValueError, "embedded null character in path");
    return nullptr;
  }
  if (path.empty()) {
    // "" is no directory; the current one would be taken instead.
    PyErr_SetString(PyExc_ValueError, "storage_path is empty");
    return nullptr;
  }
  // Opening (a snapshot to load, a log to replay) runs without the interpreter lock.
  std::optional<std::string> dir = guarded([&]() -> std::optional<std::string> { return std::string(path); });
  if (!dir) return nullptr;
  auto opened = guarded([&]() -> std::optional<korvane::Result<std::shared_ptr<Store>>> {
    return without_gil([&] { return Store::open(*dir, read_only, recover); });
  });
  if (!opened) return nullptr;
  if (!*opened) {
    raise_error(opened->error(), &*dir);
    return nullptr;
  }
  auto held = guarded([&]() -> std::optional<std::shared_ptr<Store>*> {
    return new std::shared_ptr<Store>(std::move(opened->value()));
  });
  if (!held) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    delete *held;
    return nullptr;
  }
  auto* obj = reinterpret_cast<KorvaneObject*>(self);
  obj->store = *held;
  obj->closed = false;
  obj->read_only = read_only || (*obj->store)->read_only();
  obj->strict_filters = strict;
  obj->durability = durability;
  std::string recovered = (*obj->store)->take_recovery_report();
  if (!recovered.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, recovered.c_str(), 1) < 0) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

void korvane_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  try {
    delete reinterpret_cast<KorvaneObject*>(self)->store;
  } catch (...) {
    // Destruction reports nothing.
  }
  reinterpret_cast<KorvaneObject*>(self)->store = nullptr;
  PyObject_Free(self);
  Py_DECREF(type);
}

// Runs an engine call returning Status and gives None.
template <class F>
PyObject* none_or_raise(const Store& store, F&& f) {
  auto r = guarded([&]() -> std::optional<korvane::Status> { return without_gil(f); });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store.storage_path());
    return nullptr;
  }
  Py_RETURN_NONE;
}

template <class F>
PyObject* list_or_raise(const Store& store, F&& f) {
  if (g_packed) {
    auto r = guarded([&]() -> std::optional<korvane::Result<korvane::PackedResults>> {
      return without_gil([&]() -> korvane::Result<korvane::PackedResults> {
        korvane::Result<SearchOut> found = f();
        if (!found) return found.error();
        return korvane::pack_results(found.value());
      });
    });
    if (!r) return nullptr;
    if (!*r) {
      raise_error(r->error(), &store.storage_path());
      return nullptr;
    }
    return packed_list(r->value());
  }
  auto r = guarded([&]() -> std::optional<korvane::Result<SearchOut>> {
    return without_gil([&]() -> korvane::Result<SearchOut> {
      korvane::Result<SearchOut> found = f();
      if (found) found->ascii = korvane::is_ascii(found->arena.data(), found->arena.size());
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

PyObject* korvane_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  if (!match_args({"Korvane.add", kAddNames, 4, 4}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  std::string_view id, meta;
  float lat = 0, lon = 0;
  if (!to_text(a[0], "id", &id) || !to_f32(a[1], "lat", &lat) || !to_f32(a[2], "lon", &lon) ||
      !to_text(a[3], "metadata", &meta))
    return nullptr;
  korvane::Durability d = durability_of(self);
  return none_or_raise(*store, [&] { return store->add(id, lat, lon, meta, d); });
}

PyObject* korvane_persist(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  return none_or_raise(*store, [&] { return store->persist(); });
}

PyObject* korvane_count(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  auto n = guarded([&]() -> std::optional<uint64_t> { return without_gil([&] { return store->count(); }); });
  if (!n) return nullptr;
  return PyLong_FromUnsignedLongLong(*n);
}

// The store of a change taking one text argument, and that text; null with the error set.
std::shared_ptr<Store> writable_with_text(PyObject* self, PyObject* args, PyObject* kwargs, const Params& p,
                                          const char* name, std::string_view* text) {
  PyObject* a[1];
  if (!match_args(p, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr || !to_text(a[0], name, text)) return nullptr;
  return store;
}

PyObject* korvane_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string_view id;
  std::shared_ptr<Store> store = writable_with_text(self, args, kwargs, {"Korvane.delete", kDeleteNames, 1, 1}, "id", &id);
  if (store == nullptr) return nullptr;
  korvane::Durability d = durability_of(self);
  return none_or_raise(*store, [&] { return store->remove(id, d); });
}

PyObject* korvane_delete_by_filter(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string_view f;
  std::shared_ptr<Store> store =
      writable_with_text(self, args, kwargs, {"Korvane.delete_by_filter", kDbfNames, 1, 1}, "filter_json", &f);
  if (store == nullptr) return nullptr;
  bool strict = strict_filters_of(self);
  korvane::Durability d = durability_of(self);
  auto r = guarded([&]() -> std::optional<korvane::Result<uint64_t>> {
    return without_gil([&] { return store->delete_by_filter(f, strict, d); });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(r->value());
}

PyObject* korvane_vacuum(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  return none_or_raise(*store, [&] { return store->vacuum(); });
}

PyObject* korvane_search_knn(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[6];
  if (!match_args({"Korvane.search_knn", kKnnNames, 3, 6, 2}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  float lat = 0, lon = 0;
  uint64_t k = 0;
  std::optional<std::string_view> f;
  bool exact = false;
  if (!to_f32(a[0], "lat", &lat) || !to_f32(a[1], "lon", &lon) || !to_count(a[2], "k", &k) ||
      !to_filter(a[3], "filter_json", &f) || !to_flag(a[4], "exact", &exact))
    return nullptr;
  std::optional<float> max_m;
  if (!to_limit(a[5], "max_distance_m", &max_m)) return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_knn(lat, lon, k, f, exact, strict, max_m); });
}

PyObject* korvane_search_box(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  if (!match_args({"Korvane.search_box", kBoxNames, 2, 3}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::pair<float, float> tl, br;
  std::optional<std::string_view> f;
  if (!to_pair(a[0], "top_left", &tl) || !to_pair(a[1], "bottom_right", &br) || !to_filter(a[2], "filter_json", &f))
    return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_box(tl, br, f, strict); });
}

PyObject* korvane_search_radius(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  if (!match_args({"Korvane.search_radius", kRadiusNames, 3, 4}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  float lat = 0, lon = 0, r = 0;
  std::optional<std::string_view> f;
  if (!to_f32(a[0], "lat", &lat) || !to_f32(a[1], "lon", &lon) || !to_f32(a[2], "radius_m", &r) ||
      !to_filter(a[3], "filter_json", &f))
    return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_radius(lat, lon, r, f, strict); });
}

PyObject* korvane_search_polygon(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!match_args({"Korvane.search_polygon", kPolygonNames, 1, 2}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::vector<std::pair<float, float>> pts;
  std::optional<std::string_view> f;
  if (!to_points(a[0], "points", &pts) || !to_filter(a[1], "filter_json", &f)) return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_polygon(pts, f, strict); });
}

// ---------------------------------------------------------------------------------------------
// Shapes

const char* const kGeojsonNames[] = {"geometry", "filter_json"};

// A GeoJSON value given as Python objects, as the JSON library holds it: dicts with str keys,
// lists and tuples, str, int, float, bool and None.
bool to_json_value(PyObject* o, int depth, korvane::Json* out) {
  if (depth > korvane::kMaxJsonDepth) {
    PyErr_SetString(PyExc_ValueError, "geometry: nested too deeply");
    return false;
  }
  if (PyFloat_Check(o)) {
    *out = PyFloat_AS_DOUBLE(o);
  } else if (PyBool_Check(o)) {
    *out = o == Py_True;
  } else if (PyLong_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
      double d = PyLong_AsDouble(o);
      if (d == -1.0 && PyErr_Occurred()) return false;
      *out = d;
    } else {
      *out = static_cast<int64_t>(v);
    }
  } else if (o == Py_None) {
    *out = nullptr;
  } else if (PyUnicode_Check(o)) {
    Py_ssize_t n;
    const char* t = PyUnicode_AsUTF8AndSize(o, &n);
    if (t == nullptr) return false;
    *out = std::string(t, static_cast<size_t>(n));
  } else if (PyList_Check(o) || PyTuple_Check(o)) {
    PyRef seq(PySequence_Fast(o, "expected a sequence"));
    if (!seq) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    *out = korvane::Json::array();
    out->get_ref<korvane::Json::array_t&>().reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      out->push_back(korvane::Json());
      if (!to_json_value(PySequence_Fast_GET_ITEM(seq.get(), i), depth + 1, &out->back())) return false;
    }
  } else if (PyDict_Check(o)) {
    *out = korvane::Json::object();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(o, &pos, &key, &value)) {
      std::string_view k;
      if (!PyUnicode_Check(key)) return fail_type("geometry", "a GeoJSON object's keys are str, got %.200s", key);
      if (!to_text(key, "geometry", &k)) return false;
      if (!to_json_value(value, depth + 1, &(*out)[std::string(k)])) return false;
    }
  } else {
    return fail_type("geometry", "a GeoJSON value cannot hold %.200s", o);
  }
  return true;
}

PyObject* korvane_search_geojson(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!match_args({"Korvane.search_geojson", kGeojsonNames, 1, 2}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::optional<std::string_view> f;
  std::string_view text;
  korvane::Json doc;
  bool as_text = PyUnicode_Check(a[0]);
  if (as_text) {
    if (!to_text(a[0], "geometry", &text)) return nullptr;
  } else if (PyDict_Check(a[0])) {
    if (!guarded([&] { return to_json_value(a[0], 0, &doc); })) return nullptr;
  } else {
    fail_type("geometry", "expected a GeoJSON geometry as a dict or JSON text, got %.200s", a[0]);
    return nullptr;
  }
  if (!to_filter(a[1], "filter_json", &f)) return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] {
    return store->search_geojson(as_text ? &text : nullptr, as_text ? nullptr : &doc, f, strict);
  });
}

// Puts "item K: " in front of the pending exception's message, keeping its type (and the
// original as its cause). An exception that cannot be rebuilt from a message stays as it is.
void prefix_item(size_t k) {
  Pending p = Pending::take();
  PyRef exc = p.rebuilt(p.type, "item %zu: %U", k);
  if (!exc || !PyExceptionInstance_Check(exc.get())) {
    PyErr_Clear();
    PyErr_Restore(p.type, p.value, p.tb);
    return;
  }
  p.raise_chained(p.type, std::move(exc));
}

// One item of add_many, converted as add converts its arguments. A list item is copied into a
// tuple first: converting a coordinate may run the caller's code (__float__), which may change
// the list, and a tuple's items cannot go. The point views the item's two strings, which `keep`
// then holds.
bool to_new_point(PyObject* item, korvane::NewPoint* out, std::vector<PyRef>* keep) {
  if (!PyTuple_Check(item) && !PyList_Check(item)) {
    PyErr_Format(PyExc_TypeError, "expected a tuple (id, lat, lon, metadata), got %.200s", Py_TYPE(item)->tp_name);
    return false;
  }
  PyRef tuple(PySequence_Tuple(item));
  if (!tuple) return false;
  if (PyTuple_GET_SIZE(tuple.get()) != 4) {
    PyErr_Format(PyExc_TypeError, "expected a tuple (id, lat, lon, metadata), got %zd items",
                 PyTuple_GET_SIZE(tuple.get()));
    return false;
  }
  PyObject* f[4];
  for (int k = 0; k < 4; ++k) f[k] = PyTuple_GET_ITEM(tuple.get(), k);
  if (!to_text(f[0], "id", &out->id) || !to_f32(f[1], "lat", &out->lat) || !to_f32(f[2], "lon", &out->lon) ||
      !to_text(f[3], "metadata", &out->metadata))
    return false;
  Py_INCREF(f[0]);
  keep->emplace_back(f[0]);
  Py_INCREF(f[3]);
  keep->emplace_back(f[3]);
  return true;
}

PyObject* korvane_add_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!match_args({"Korvane.add_many", kAddManyNames, 1, 1}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  korvane::Durability d = durability_of(self);
  PyRef it(PyObject_GetIter(a[0]));
  if (!it) {
    prefix_type_error("points");
    return nullptr;
  }
  // Items go to the store in chunks, each under one acquisition of its locks.
  constexpr size_t kChunk = 8192;
  std::vector<korvane::NewPoint> chunk;
  std::vector<PyRef> keep;  // the strings chunk views
  size_t base = 0;  // position of chunk[0]
  uint64_t added = 0;
  bool more = true;
  while (more) {
    chunk.clear();
    keep.clear();
    bool bad_item = false;
    while (chunk.size() < kChunk) {
      PyRef item(PyIter_Next(it.get()));
      if (!item) {
        more = false;
        if (PyErr_Occurred()) bad_item = true;  // the iterator itself failed at this position
        break;
      }
      auto ok = guarded([&]() -> std::optional<bool> {
        if (chunk.empty()) {
          chunk.reserve(kChunk);
          keep.reserve(2 * kChunk);
        }
        chunk.emplace_back();
        return true;
      });
      if (!ok) return nullptr;
      if (!to_new_point(item.get(), &chunk.back(), &keep)) {
        chunk.pop_back();
        bad_item = true;
        more = false;
        break;
      }
    }
    PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
    if (bad_item) PyErr_Fetch(&et, &ev, &etb);  // the items before it are added first
    size_t done = 0;
    auto r = guarded([&]() -> std::optional<korvane::Status> {
      return without_gil([&] { return store->add_many(chunk, &done, &added, d); });
    });
    if (!r || !*r) {
      Py_XDECREF(et);
      Py_XDECREF(ev);
      Py_XDECREF(etb);
      if (r) raise_error(r->error(), &store->storage_path());
      prefix_item(base + done);
      return nullptr;
    }
    if (bad_item) {
      PyErr_Restore(et, ev, etb);
      prefix_item(base + chunk.size());
      return nullptr;
    }
    base += chunk.size();
  }
  return PyLong_FromUnsignedLongLong(added);
}

PyObject* korvane_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!match_args({"Korvane.get", kDeleteNames, 1, 1}, args, kwargs, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::string_view id;
  if (!to_text(a[0], "id", &id)) return nullptr;
  auto r = guarded([&]() -> std::optional<korvane::Result<std::optional<korvane::PointOut>>> {
    return without_gil([&] { return store->get(id); });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return nullptr;
  }
  const auto& p = r->value();
  if (!p) Py_RETURN_NONE;
  PyObject* meta = PyUnicode_DecodeUTF8(p->metadata.data(), static_cast<Py_ssize_t>(p->metadata.size()), "strict");
  if (meta == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    meta = PyUnicode_FromString("{}");
  }
  if (meta == nullptr) return nullptr;
  return Py_BuildValue("(ddN)", static_cast<double>(p->lat), static_cast<double>(p->lon), meta);
}

// (syncs, length): the log syncs the "power" level made so far on this object's store, and the
// length of wal.bin the last one covered. For tests.
PyObject* korvane_log_syncs(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  auto [syncs, len] = store->log_syncs();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(syncs), static_cast<unsigned long long>(len));
}

PyObject* korvane_flush(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  return none_or_raise(*store, [&] { return store->flush(); });
}

// Releases this object's share of its directory's engine, after writing out and forcing the log.
// The files, mappings and lock go when the last object sharing them closes.
PyObject* korvane_close(PyObject* self, PyObject*) {
  auto* obj = reinterpret_cast<KorvaneObject*>(self);
  if (obj->store == nullptr) Py_RETURN_NONE;
  std::shared_ptr<Store> store = *obj->store;  // another thread may close it meanwhile
  // A forked child has nothing of its own to write: it only lets go.
  if (!store->foreign()) {
    PyObject* flushed = none_or_raise(*store, [&] { return store->flush(); });
    if (flushed == nullptr) return nullptr;
    Py_DECREF(flushed);
  }
  std::shared_ptr<Store>* held = obj->store;
  obj->store = nullptr;
  obj->closed = true;
  if (held == nullptr) Py_RETURN_NONE;  // closed by another thread while this one flushed
  try {
    delete held;
  } catch (...) {
    // Destruction reports nothing.
  }
  Py_RETURN_NONE;
}

PyObject* korvane_enter(PyObject* self, PyObject*) {
  if (!store_of(self)) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* korvane_exit(PyObject* self, PyObject*) {
  PyObject* r = korvane_close(self, nullptr);
  if (r == nullptr) return nullptr;
  Py_DECREF(r);
  Py_RETURN_FALSE;  // an exception from the block goes on
}

Py_ssize_t korvane_len(PyObject* self) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return -1;
  auto n = guarded([&]() -> std::optional<uint64_t> { return without_gil([&] { return store->count(); }); });
  if (!n) return -1;
  return static_cast<Py_ssize_t>(*n);
}

// Whether a live point has this id; anything but a str is never one.
int korvane_contains(PyObject* self, PyObject* key) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return -1;
  if (!PyUnicode_Check(key)) return 0;
  std::string_view id;
  if (!to_text(key, "id", &id)) return -1;
  auto r = guarded([&]() -> std::optional<korvane::Result<bool>> {
    return without_gil([&] { return store->contains(id); });
  });
  if (!r) return -1;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return -1;
  }
  return r->value() ? 1 : 0;
}

#define KV_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"add", KV_KW(korvane_add), METH_VARARGS | METH_KEYWORDS, "add($self, id, lat, lon, metadata)\n--\n\n"},
    {"persist", korvane_persist, METH_NOARGS, "persist($self)\n--\n\n"},
    {"count", korvane_count, METH_NOARGS, "count($self)\n--\n\n"},
    {"delete", KV_KW(korvane_delete), METH_VARARGS | METH_KEYWORDS, "delete($self, id)\n--\n\n"},
    {"delete_by_filter", KV_KW(korvane_delete_by_filter), METH_VARARGS | METH_KEYWORDS,
     "delete_by_filter($self, filter_json)\n--\n\n"},
    {"vacuum", korvane_vacuum, METH_NOARGS, "vacuum($self)\n--\n\n"},
    {"search_knn", KV_KW(korvane_search_knn), METH_VARARGS | METH_KEYWORDS,
     "search_knn($self, lat, lon, k, filter_json=None, *, exact=False, max_distance_m=None)\n--\n\n"},
    {"search_box", KV_KW(korvane_search_box), METH_VARARGS | METH_KEYWORDS,
     "search_box($self, top_left, bottom_right, filter_json=None)\n--\n\n"},
    {"search_radius", KV_KW(korvane_search_radius), METH_VARARGS | METH_KEYWORDS,
     "search_radius($self, lat, lon, radius_m, filter_json=None)\n--\n\n"},
    {"search_polygon", KV_KW(korvane_search_polygon), METH_VARARGS | METH_KEYWORDS,
     "search_polygon($self, points, filter_json=None)\n--\n\n"},
    {"add_many", KV_KW(korvane_add_many), METH_VARARGS | METH_KEYWORDS, "add_many($self, points)\n--\n\n"},
    {"get", KV_KW(korvane_get), METH_VARARGS | METH_KEYWORDS, "get($self, id)\n--\n\n"},
    {"flush", korvane_flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"_log_syncs", korvane_log_syncs, METH_NOARGS, "_log_syncs($self)\n--\n\n"},
    {"close", korvane_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", korvane_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", korvane_exit, METH_VARARGS, "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"},
    {"search_geojson", KV_KW(korvane_search_geojson), METH_VARARGS | METH_KEYWORDS,
     "search_geojson($self, geometry, filter_json=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(korvane_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(korvane_dealloc)},
    {Py_tp_doc, const_cast<char*>("Korvane(storage_path, read_only=False, *, strict_filters=False, durability='buffered', recover=False)\n--\n\n")},
    {Py_tp_methods, kMethods},
    {Py_sq_length, reinterpret_cast<void*>(korvane_len)},
    {Py_sq_contains, reinterpret_cast<void*>(korvane_contains)},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {"Korvane", sizeof(KorvaneObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyMethodDef kModuleMethods[] = {
    {"_packed_results", module_packed_results, METH_O, "_packed_results(on, /)\n--\n\n"},
    {"_plain_polygons", module_plain_polygons, METH_O, "_plain_polygons(on, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "korvane", "", -1, kModuleMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

namespace {

// Creates the type. Its name carries no module, which CPython reports with a DeprecationWarning
// while it builds the type; under "-W error" that warning would fail the import, so it is
// silenced for the duration of the call, and __module__ is set right after.
PyObject* make_type() {
  PyRef warnings(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  PyRef ctx(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!ctx) return nullptr;
  PyRef entered(PyObject_CallMethod(ctx.get(), "__enter__", nullptr));
  if (!entered) return nullptr;
  PyRef filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
  PyObject* type = filtered ? PyType_FromSpec(&kTypeSpec) : nullptr;
  PyObject *et, *ev, *tb;
  PyErr_Fetch(&et, &ev, &tb);
  PyRef exited(PyObject_CallMethod(ctx.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (et != nullptr) {
    PyErr_Restore(et, ev, tb);  // the first failure wins
  } else if (!exited) {
    Py_CLEAR(type);
  }
  if (type == nullptr) return nullptr;
  PyRef mod(PyUnicode_FromString("korvane"));
  if (!mod || PyObject_SetAttrString(type, "__module__", mod.get()) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;
}

}  // namespace

PyMODINIT_FUNC PyInit_korvane(void) {
  korvane::keep_freed_arenas();
  static PyObject* type = nullptr;  // created once per process
  PyRef m(PyModule_Create(&kModule));
  if (!m) return nullptr;
  if (type == nullptr) {
    // The type's name carries no module; its __module__ names this one, so that help() and
    // inspect find the class where it lives.
    type = make_type();
    if (type == nullptr) return nullptr;
  }
  // An empty docstring on every interpreter (PyPy leaves an empty one unset).
  if (PyModule_AddStringConstant(m.get(), "__doc__", "") != 0) return nullptr;
  // The package's version, from pyproject.toml through the build.
  if (PyModule_AddStringConstant(m.get(), "__version__", KORVANE_VERSION) != 0) return nullptr;
  if (panic_exception() == nullptr || !korvane::py::init_errors()) return nullptr;
  if (g_packed && !compile_builders()) return nullptr;
  Py_INCREF(type);
  if (PyModule_AddObject(m.get(), "Korvane", type) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return m.release();
}
