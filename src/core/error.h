// error.h: failures carried as values. Engine code never throws on purpose; the Python
// surface turns an Error into the matching exception.
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

namespace korvane {

enum class ErrorKind {
  InvalidJson,  // message: the parser's description, ending " at line L column C"
  InvalidValue, // message: a plain ValueError text (limits of the stored formats)
  Os,           // errnum: errno; message: context only (the surface shows strerror)
  OsPlain,      // as Os, but always raised as the base OSError class
  Fatal,        // unrecoverable step: message names the step and the cause
  Unsupported,  // an operation this object does not offer (a read-only store's writes)
  InUse,        // the directory is held by another engine: message only (errno EAGAIN)
  OsMessage,    // an OSError about the storage directory with its own message, of errnum's class
  Damaged,      // a file does not hold what it must: OSError, errno EIO, message shown as is
};

struct Error {
  ErrorKind kind;
  int errnum = 0;
  std::string message;
  // The file or directory the failure concerns, "" when none. With `in_dir`, a name within the
  // storage directory ("wal.bin"; "." for the directory itself), else a path as the caller gave
  // it. The surface hands it to Python as the exception's filename.
  std::string path;
  bool in_dir = false;
  // The error this one was built from, when a step failed because of another error: kept whole
  // (its own cause included) for a C++ caller or a debugger. The Python surface shows only
  // this error's kind, errnum and message.
  std::shared_ptr<const Error> cause = nullptr;

  // The step texts of OS errors name their file last ("open wal.bin"): that name is the error's
  // path (see file_named_by).
  static Error os(int e, std::string what) { return named({ErrorKind::Os, e, std::move(what), {}, false, nullptr}); }
  static Error fatal(std::string what) { return {ErrorKind::Fatal, 0, std::move(what), {}, false, nullptr}; }
  static Error fatal_os(int e, const std::string& what);
  static Error json(std::string what) { return {ErrorKind::InvalidJson, 0, std::move(what), {}, false, nullptr}; }
  static Error value(std::string what) { return {ErrorKind::InvalidValue, 0, std::move(what), {}, false, nullptr}; }
  static Error os_plain(int e, std::string what) { return named({ErrorKind::OsPlain, e, std::move(what), {}, false, nullptr}); }
  static Error unsupported(std::string what) { return {ErrorKind::Unsupported, 0, std::move(what), {}, false, nullptr}; }
  static Error in_use(std::string what) { return {ErrorKind::InUse, EAGAIN, std::move(what), {}, false, nullptr}; }
  static Error os_message(int e, std::string what) {
    return {ErrorKind::OsMessage, e, std::move(what), ".", true, nullptr};
  }
  // `path` holds damage that `what` describes (the message shown, naming the file).
  // `file`, a file of the storage directory, holds damage that `what` describes (the message
  // shown, naming the file).
  static Error damaged(std::string file, std::string what) {
    return {ErrorKind::Damaged, EIO, std::move(what), std::move(file), true, nullptr};
  }
  // The same error, concerning `p`: a path as given, or (in_dir) a name in the storage directory.
  Error&& at(std::string p, bool within_dir = false) && {
    path = std::move(p);
    in_dir = within_dir;
    return std::move(*this);
  }

  // Built from an inner error: the step that failed, with the inner error's errno, and the
  // inner error as the cause.
  static Error os(const Error& inner, std::string step) {
    Error e = os(inner.errnum, std::move(step));
    if (e.path.empty()) std::tie(e.path, e.in_dir) = std::tie(inner.path, inner.in_dir);
    return std::move(e).caused_by(inner);
  }
  static Error fatal_os(const Error& inner, const std::string& step) {
    Error e = fatal_os(inner.errnum, step);
    if (e.path.empty()) std::tie(e.path, e.in_dir) = std::tie(inner.path, inner.in_dir);
    return std::move(e).caused_by(inner);
  }
  // An error raised as the base OSError class instead: its errno, context and cause kept.
  static Error os_plain(const Error& e) { return {ErrorKind::OsPlain, e.errnum, e.message, e.path, e.in_dir, e.cause}; }

 private:
  static Error named(Error e);
  Error caused_by(const Error& inner) && {
    cause = std::make_shared<const Error>(inner);
    return std::move(*this);
  }
};

// The file a step text names: its last word when that is a file of the storage directory
// ("wal.bin", "snapshot.bin.tmp", "coords.bin.vac", "vacuum.commit"), "." for "directory"; else "".
std::string file_named_by(const std::string& what);

// The system's description of an errno followed by " (os error N)".
std::string os_error_text(int e);

// A T or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}
  Result(Error e) : v_(std::in_place_index<1>, std::move(e)) {}
  explicit operator bool() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error e) : err_(std::move(e)), ok_(false) {}
  explicit operator bool() const { return ok_; }
  const Error& error() const { return err_; }

 private:
  Error err_{ErrorKind::Fatal, 0, {}, {}, false, nullptr};
  bool ok_ = true;
};

using Status = Result<void>;

}  // namespace korvane

#define KV_TRY(expr)                     \
  do {                                   \
    auto _kv_r = (expr);                 \
    if (!_kv_r) return _kv_r.error();    \
  } while (0)
