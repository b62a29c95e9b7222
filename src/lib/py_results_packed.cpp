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
// The buffer goes over as one bytes object, the builder's only argument (the count is in the
// buffer, and the decoding is the builder's own): under PyPy a memoryview made from C and its
// release cost some 1.7 µs and each further argument 0.2 µs, several times a small search's own
// cost, where the copy of even a thousand results' bytes costs less than building them.
// The list is made at its final length and filled: a list grown result by result costs PyPy's
// young-object collections (which a thousand results set off several times over) a third more.
const char kBuilderSource[] = R"PY(
from array import array

def pairs(b, encoding):
    o = array('q')
    o.frombytes(b[:8])
    n = o[0]
    at = 8 * (2 * n + 2)
    o = array('q')
    o.frombytes(b[8:at])
    s = b[at:].decode(encoding)
    r = [None] * n
    for i in range(n):
        r[i] = (s[o[2 * i]:o[2 * i + 1]], s[o[2 * i + 1]:o[2 * i + 2]])
    return r

def triples(b, encoding):
    o = array('q')
    o.frombytes(b[:8])
    n = o[0]
    at = 8 * (2 * n + 2)
    o = array('q')
    o.frombytes(b[8:at])
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

PyObject* packed_list(const korvane::PackedResults& p) {
  if (p.n == 0) return PyList_New(0);
  PyRef bytes(PyBytes_FromStringAndSize(p.buf.data(), static_cast<Py_ssize_t>(p.buf.size())));
  if (!bytes) return nullptr;
  return PyObject_CallOneArg(g_builders[p.with_dist ? 1 : 0][p.ascii ? 0 : 1], bytes.get());
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
