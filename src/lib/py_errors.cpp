// Engine errors into Python exceptions.
//
// Operating-system errors keep the texts they have always had ("No such file or directory (os
// error 2)") and carry errno, strerror and filename as Python's own do. The interpreter's OSError
// prints "[Errno N] text: 'file'" whenever a filename is set, so each class of the table
// (FileNotFoundError, PermissionError, ..., plain OSError) is raised as a subclass of the same
// name, defined in korvane, that prints its message: `except PermissionError` and
// isinstance checks see the class the error number gives.
#include "lib/py_errors.h"

#include <cerrno>
#include <cstring>

namespace korvane::py {

namespace {

const int kErrnos[] = {0, ENOENT, EPERM, EACCES, EEXIST, EINTR, EAGAIN, EPIPE, ECONNRESET, ECONNABORTED,
                       ECONNREFUSED, ETIMEDOUT};

PyObject* builtin_class(int e) {
  switch (e) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case EEXIST: return PyExc_FileExistsError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    default: return PyExc_OSError;
  }
}

const char kClassSource[] = R"PY(
def make(base):
    def __str__(self):
        a = self.args
        return a[0] if len(a) == 1 and isinstance(a[0], str) else base.__str__(self)
    return type(base.__name__, (base,), {"__str__": __str__, "__module__": "korvane",
                                         "__doc__": base.__doc__})
)PY";

// Ours, by the builtin class they stand for (a handful: a linear search is enough).
std::pair<PyObject*, PyObject*> g_classes[12];

PyObject* our_class(int e) {
  PyObject* b = builtin_class(e);
  for (auto& [base, ours] : g_classes)
    if (base == b) return ours;
  return b;
}

// cls(text) with errno, strerror and filename set; raised.
void raise_os(PyObject* cls, int e, const std::string& text, const Error& err, const std::string* dir) {
  PyRef msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyRef exc(msg ? PyObject_CallFunctionObjArgs(cls, msg.get(), nullptr) : nullptr);
  if (!exc) return;
  PyRef num(PyLong_FromLong(e));
  PyRef str(PyUnicode_DecodeLocale(std::strerror(e), "surrogateescape"));
  std::string file = err.path;
  if (err.in_dir) file = dir == nullptr ? std::string() : err.path == "." ? *dir : *dir + "/" + err.path;
  PyRef name(file.empty() ? (Py_INCREF(Py_None), Py_None) : PyUnicode_DecodeFSDefault(file.c_str()));
  if (!num || !str || !name || PyObject_SetAttrString(exc.get(), "errno", num.get()) != 0 ||
      PyObject_SetAttrString(exc.get(), "strerror", str.get()) != 0 ||
      PyObject_SetAttrString(exc.get(), "filename", name.get()) != 0)
    return;
  PyErr_SetObject(cls, exc.get());
}

void raise_unguarded(const Error& err, const std::string* dir) {
  switch (err.kind) {
    case ErrorKind::InvalidJson:
    case ErrorKind::InvalidValue:
      set_message(PyExc_ValueError, err.message);
      return;
    case ErrorKind::Os:
      raise_os(our_class(err.errnum), err.errnum, os_error_text(err.errnum), err, dir);
      return;
    case ErrorKind::OsPlain:
      raise_os(our_class(0), err.errnum, os_error_text(err.errnum), err, dir);
      return;
    case ErrorKind::Unsupported: {
      // io.UnsupportedOperation, what Python's own files raise for a write to a read-only file.
      PyRef io(PyImport_ImportModule("io"));
      PyRef cls(io ? PyObject_GetAttrString(io.get(), "UnsupportedOperation") : nullptr);
      if (cls) set_message(cls.get(), err.message);
      return;
    }
    case ErrorKind::InUse:
      // Worded as the interpreter's own BlockingIOError prints: "[Errno 11] ...".
      raise_os(our_class(err.errnum), err.errnum, "[Errno " + std::to_string(err.errnum) + "] " + err.message,
               err, dir);
      return;
    case ErrorKind::OsMessage:
    case ErrorKind::Damaged:
      raise_os(our_class(err.errnum), err.errnum, err.message, err, dir);
      return;
    case ErrorKind::Fatal:
      set_message(panic_exception(), err.message);
      return;
  }
}

}  // namespace

PyObject* panic_exception() {
  static PyObject* exc = nullptr;
  if (exc == nullptr) exc = PyErr_NewException("korvane.PanicException", PyExc_BaseException, nullptr);
  return exc;
}

bool init_errors() {
  if (g_classes[0].first != nullptr) return true;
  PyRef builtins(PyImport_ImportModule("builtins"));
  PyRef globals(builtins ? PyDict_New() : nullptr);
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0) return false;
  PyRef code(Py_CompileString(kClassSource, "<korvane errors>", Py_file_input));
  PyRef done(code ? PyEval_EvalCode(code.get(), globals.get(), globals.get()) : nullptr);
  if (!done) return false;
  PyObject* make = PyDict_GetItemString(globals.get(), "make");  // borrowed
  if (make == nullptr) return false;
  size_t n = 0;
  for (int e : kErrnos) {
    PyObject* base = builtin_class(e);
    bool seen = false;
    for (size_t k = 0; k < n; ++k) seen |= g_classes[k].first == base;
    if (seen) continue;
    PyObject* ours = PyObject_CallFunctionObjArgs(make, base, nullptr);
    if (ours == nullptr) return false;
    g_classes[n++] = {base, ours};  // kept for the life of the process
  }
  return true;
}

void set_message(PyObject* type, const std::string& msg) {
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise_internal(const char* what) { PyErr_SetString(panic_exception(), what); }

// The texts are built as std::strings, which can fail to allocate.
void raise_error(const Error& err, const std::string* dir) {
  guarded([&] { raise_unguarded(err, dir); });
}

}  // namespace korvane::py
