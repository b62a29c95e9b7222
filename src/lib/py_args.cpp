// py_args.cpp: argument conversion for the surface. Each conversion returns false with the
// Python error set.
#include "lib/py_args.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/numeric_bsi.h"
#include "lib/py_errors.h"

namespace korvane::py {

// ---------------------------------------------------------------------------------------------
// Argument matching: positional or keyword, then keyword-only, worded as the interpreter words
// these faults.


static std::string quoted_list(const std::vector<std::string>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() > 2 ? ", " : " ";
    if (i + 1 == names.size() && names.size() > 1) s += "and ";
    s += "'" + names[i] + "'";
  }
  return s;
}

namespace {

// The parameter a keyword names, or -1. The key's text is read once and compared in C: under
// PyPy each call into the C API costs far more than the comparison. A key that is not UTF-8
// names no parameter.
int parameter_of(const Params& p, PyObject* key) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &len);
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < p.total; ++i)
    if (std::strlen(p.names[i]) == static_cast<size_t>(len) && std::memcmp(p.names[i], text, len) == 0) return i;
  return -1;
}

// Fills out[0..total) with borrowed references (nullptr for omitted optional ones).
bool match_args_unguarded(const Params& p, const CallArgs& c, PyObject** out) {
  Py_ssize_t npos = c.npos;
  int positional = p.total - p.kwonly;
  for (int i = 0; i < p.total; ++i) out[i] = nullptr;
  if (npos > positional) {
    std::string takes = p.required == positional
                            ? std::to_string(positional) + " positional argument" + (positional == 1 ? "" : "s")
                            : "from " + std::to_string(p.required) + " to " + std::to_string(positional) +
                                  " positional arguments";
    // Keyword-only arguments given as well are counted, as the interpreter does.
    int kw = 0;
    c.each_keyword([&](PyObject* key, PyObject*) {
      kw += PyUnicode_Check(key) && parameter_of(p, key) >= positional;
      return true;
    });
    std::string given = std::to_string(npos);
    if (kw > 0)
      given += std::string(" positional argument") + (npos == 1 ? "" : "s") + " (and " + std::to_string(kw) +
               " keyword-only argument" + (kw == 1 ? "" : "s") + ")";
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %s %s given", p.callee, takes.c_str(), given.c_str(),
                 npos == 1 && kw == 0 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = c.pos[i];
  bool matched = c.each_keyword([&](PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p.callee);
      return false;
    }
    int found = parameter_of(p, key);
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.callee, key);
      return false;
    }
    if (out[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.callee, p.names[found]);
      return false;
    }
    out[found] = value;
    return true;
  });
  if (!matched) return false;
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

}  // namespace

// The messages are built as std::strings, which can fail to allocate.
bool match_args(const Params& p, const CallArgs& c, PyObject** out) {
  return guarded([&] { return match_args_unguarded(p, c, out); });
}

// ---------------------------------------------------------------------------------------------
// Conversions. Each returns false with the Python error set. A TypeError is re-raised with the
// "argument 'NAME': " prefix and the first error as its cause; other errors pass unchanged.

// The pending exception, taken and normalized, its traceback attached.

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

static bool points_too_long(const char* name, Py_ssize_t n) {
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

// box=, circle= and polygon= of the counts: at most one, each as its search takes it.
bool to_area(PyObject* box, PyObject* circle, PyObject* polygon, CountArea* out) {
  auto given = [](PyObject* o) { return o != nullptr && o != Py_None; };
  if (given(box) + given(circle) + given(polygon) > 1) {
    PyErr_SetString(PyExc_ValueError, "give at most one of box, circle and polygon");
    return false;
  }
  if (given(box)) {
    out->kind = CountArea::Kind::Box;
    std::pair<float, float> tl, br;
    if (!PyTuple_Check(box) || PyTuple_GET_SIZE(box) != 2)
      return fail_type("box", "expected ((north, west), (south, east)), got %.200s", box);
    if (!to_pair(PyTuple_GET_ITEM(box, 0), "box", &tl) || !to_pair(PyTuple_GET_ITEM(box, 1), "box", &br)) return false;
    std::tie(out->a, out->b) = tl;
    std::tie(out->c, out->d) = br;
  } else if (given(circle)) {
    out->kind = CountArea::Kind::Circle;
    if (!PyTuple_Check(circle) || PyTuple_GET_SIZE(circle) != 3)
      return fail_type("circle", "expected (lat, lon, radius_m), got %.200s", circle);
    if (!to_f32(PyTuple_GET_ITEM(circle, 0), "circle", &out->a) || !to_f32(PyTuple_GET_ITEM(circle, 1), "circle", &out->b) ||
        !to_f32(PyTuple_GET_ITEM(circle, 2), "circle", &out->c))
      return false;
  } else if (given(polygon)) {
    out->kind = CountArea::Kind::Polygon;
    if (!to_points(polygon, "polygon", &out->points)) return false;
  }
  return true;
}

// fields=: None, or a tuple (or list) of str; coords=: a flag.
bool to_projection(PyObject* fields, PyObject* coords, Projection* out) {
  if (!to_flag(coords, "coords", &out->coords)) return false;
  if (fields == nullptr || fields == Py_None) return true;
  if (!PyTuple_Check(fields) && !PyList_Check(fields))
    return fail_type("fields", "expected a tuple of field names, got %.200s", fields);
  PyRef seq(PySequence_Tuple(fields));
  if (!seq) return false;
  out->with_fields = true;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(name)) return fail_type("fields", "expected a tuple of str, got an item of %.200s", name);
    std::string_view text;
    if (!to_text(name, "fields", &text)) return false;
    if (!guarded([&]() -> std::optional<bool> { return (out->fields.emplace_back(text), true); })) return false;
  }
  return true;
}

}  // namespace korvane::py
