// py_results_packed.cpp: result lists sliced out of one packed buffer by a small Python builder,
// as interpreters that emulate the C API (PyPy) build them fastest.
#include "lib/py_errors.h"
#include "lib/py_results.h"

namespace korvane::py {

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

}  // namespace korvane::py
