// py_results_direct.cpp: result lists built object by object, as CPython builds them fastest.
#include <cstring>

#include "lib/py_errors.h"
#include "lib/py_results.h"

namespace korvane::py {

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

// A JSON value as json.loads gives it.
PyObject* json_to_py(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      Py_RETURN_NONE;
    case Json::value_t::boolean:
      return PyBool_FromLong(v.get<bool>());
    case Json::value_t::number_integer:
      return PyLong_FromLongLong(v.get<int64_t>());
    case Json::value_t::number_unsigned:
      return PyLong_FromUnsignedLongLong(v.get<uint64_t>());
    case Json::value_t::number_float:
      return PyFloat_FromDouble(v.get<double>());
    case Json::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    }
    case Json::value_t::array: {
      PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
      if (!list) return nullptr;
      Py_ssize_t i = 0;
      for (const Json& e : v) {
        PyObject* o = json_to_py(e);
        if (o == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
      }
      return list.release();
    }
    case Json::value_t::object: {
      PyRef dict(PyDict_New());
      if (!dict) return nullptr;
      for (auto it = v.begin(); it != v.end(); ++it) {
        PyRef val(json_to_py(it.value()));
        if (!val) return nullptr;
        PyRef key(PyUnicode_DecodeUTF8(it.key().data(), static_cast<Py_ssize_t>(it.key().size()), "surrogatepass"));
        if (!key || PyDict_SetItem(dict.get(), key.get(), val.get()) != 0) return nullptr;
      }
      return dict.release();
    }
    default:
      Py_RETURN_NONE;
  }
}

namespace {

// The tuple of the asked fields' values of result k.
PyObject* fields_tuple(const SearchOut& r, size_t k) {
  PyRef tup(PyTuple_New(static_cast<Py_ssize_t>(r.fields)));
  if (!tup) return nullptr;
  for (size_t f = 0; f < r.fields; ++f) {
    PyObject* o = json_to_py(r.values[k * r.fields + f]);
    if (o == nullptr) return nullptr;
    PyTuple_SET_ITEM(tup.get(), static_cast<Py_ssize_t>(f), o);
  }
  return tup.release();
}

}  // namespace

// The list is created at its final length and filled by position. A result tuple holds only
// strings and floats, so the cyclic collector has nothing to find in it: it is untracked at
// once (as the collector itself would do on its first pass), which keeps the collections that
// thousands of new tuples set off from walking them while every other thread waits. A tuple of
// projected fields may hold lists and dicts, and stays tracked.
// Each result: id, the distance where the search has one, the stored latitude and longitude
// with coords, then the metadata text (or the fields' values).
PyObject* result_list(const SearchOut& r) {
  const bool triples = r.with_dist, coords = r.with_coords;
  const Py_ssize_t width = 2 + (triples ? 1 : 0) + (coords ? 2 : 0);
  size_t n = r.size();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyRef tup(PyTuple_New(width));
    if (!tup) return nullptr;
    PyObject* id = text_obj(r, r.ids[i], "");
    if (id == nullptr) return nullptr;
    Py_ssize_t at = 0;
    PyTuple_SET_ITEM(tup.get(), at++, id);
    if (triples) {
      PyObject* d = PyFloat_FromDouble(static_cast<double>(r.dists[i]));
      if (d == nullptr) return nullptr;
      PyTuple_SET_ITEM(tup.get(), at++, d);
    }
    if (coords) {
      for (float c : {r.coords[i].first, r.coords[i].second}) {
        PyObject* d = PyFloat_FromDouble(static_cast<double>(c));
        if (d == nullptr) return nullptr;
        PyTuple_SET_ITEM(tup.get(), at++, d);
      }
    }
    PyObject* meta = r.with_fields ? fields_tuple(r, i) : text_obj(r, r.metas[i], "{}");
    if (meta == nullptr) return nullptr;
    PyTuple_SET_ITEM(tup.get(), at, meta);
#ifndef PYPY_VERSION
    if (!r.with_fields) PyObject_GC_UnTrack(tup.get());
#endif
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tup.release());
  }
  return list.release();
}

}  // namespace korvane::py
