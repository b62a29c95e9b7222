// py_results_packed.cpp: result lists sliced out of one packed buffer by a small Python builder,
// as interpreters that emulate the C API (PyPy) build them fastest.
#include "lib/py_errors.h"
#include "lib/py_results.h"

namespace korvane::py {

// Results on interpreters that emulate the C API (PyPy): there every object made from C costs
// far more than the same object made by Python code, so a search hands over its results packed
// in one buffer (packed_results.h), and one call to a small Python builder, compiled by that
// interpreter's JIT, slices it into the list. CPython builds the list directly (above), which is
// faster there. Both give the same list.
// The buffer is the builder's only argument (the count is in the buffer, and the decoding is
// the builder's own): under PyPy each further argument made from C costs some 0.2 µs. A small
// buffer goes over as a bytes object, which costs 0.15 µs there, but whose bytes PyPy copies
// at about 1 µs per KiB; a larger one as a read-only memoryview of the buffer (0.7 µs, whatever
// its size), which the builder copies at once and releases itself, in a finally clause, before
// it returns: the view is released before the buffer goes, and never outlives the call (from C
// its release would cost another microsecond). Should the call fail before the builder got to
// it, the view is released from C.
// The list is made at its final length and filled: a list grown result by result costs PyPy's
// young-object collections (which a thousand results set off several times over) a third more.
const char kBuilderSource[] = R"PY(
from array import array

def taken(b):
    if type(b) is bytes:
        return b
    try:
        return b.tobytes()
    finally:
        b.release()

def head(b):
    b = taken(b)
    o = array('q')
    o.frombytes(b[:8])
    n = o[0]
    at = 8 * (2 * n + 2)
    o = array('q')
    o.frombytes(b[8:at])
    return b, n, o, at

def pairs(b, encoding):
    b, n, o, at = head(b)
    s = b[at:].decode(encoding)
    r = [None] * n
    for i in range(n):
        r[i] = (s[o[2 * i]:o[2 * i + 1]], s[o[2 * i + 1]:o[2 * i + 2]])
    return r

def triples(b, encoding):
    b, n, o, at = head(b)
    d = array('f')
    d.frombytes(b[at:at + 4 * n])
    s = b[at + 4 * n:].decode(encoding)
    r = [None] * n
    for i in range(n):
        r[i] = (s[o[2 * i]:o[2 * i + 1]], d[i], s[o[2 * i + 1]:o[2 * i + 2]])
    return r

def pairs_ascii(b):
    return pairs(b, 'ascii')

def pairs_utf8(b):
    return pairs(b, 'utf-8')

def triples_ascii(b):
    return triples(b, 'ascii')

def triples_utf8(b):
    return triples(b, 'utf-8')
)PY";

#ifdef PYPY_VERSION
bool g_packed = true;  // whether searches hand over packed results
#else
bool g_packed = false;
#endif
// Compiled once per process: [with distances][text not ASCII].
PyObject* g_builders[2][2] = {};

bool compile_builders() {
  if (g_builders[0][0] != nullptr) return true;
  PyRef builtins(PyImport_ImportModule("builtins"));
  PyRef globals(builtins ? PyDict_New() : nullptr);
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0) return false;
  PyRef code(Py_CompileString(kBuilderSource, "<korvane results>", Py_file_input));
  if (!code) return false;
  PyRef done(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return false;
  const char* const names[2][2] = {{"pairs_ascii", "pairs_utf8"}, {"triples_ascii", "triples_utf8"}};
  PyObject* found[2][2];
  for (int d = 0; d < 2; ++d)
    for (int u = 0; u < 2; ++u) {
      found[d][u] = PyDict_GetItemString(globals.get(), names[d][u]);  // borrowed
      if (found[d][u] == nullptr) return raise_internal("result builders missing"), false;
    }
  for (int d = 0; d < 2; ++d)
    for (int u = 0; u < 2; ++u) {
      Py_INCREF(found[d][u]);
      g_builders[d][u] = found[d][u];
    }
  return true;
}

// Buffers up to this many bytes go over as bytes, larger ones as a memoryview (see above).
constexpr size_t kBytesAtMost = 1024;

PyObject* packed_list(const korvane::PackedResults& p) {
  if (p.n == 0) return PyList_New(0);
  PyObject* builder = g_builders[p.with_dist ? 1 : 0][p.ascii ? 0 : 1];
  const auto size = static_cast<Py_ssize_t>(p.buf.size());
  if (p.buf.size() <= kBytesAtMost) {
    PyRef bytes(PyBytes_FromStringAndSize(p.buf.data(), size));
    return bytes ? PyObject_CallOneArg(builder, bytes.get()) : nullptr;
  }
  PyRef view(PyMemoryView_FromMemory(const_cast<char*>(p.buf.data()), size, PyBUF_READ));
  if (!view) return nullptr;
  PyObject* list = PyObject_CallOneArg(builder, view.get());
  if (list == nullptr) {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyRef released(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!released) PyErr_Clear();  // only a view with exports refuses, and the builder makes none
    PyErr_Restore(et, ev, tb);
  }
  return list;
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

}  // namespace korvane::py
