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

}  // namespace korvane::py
