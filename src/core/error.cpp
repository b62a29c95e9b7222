#include "core/error.h"

#include <cstring>

namespace korvane {

std::string os_error_text(int e) {
  return std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")";
}

std::string file_named_by(const std::string& what) {
  size_t sp = what.rfind(' ');
  std::string last = sp == std::string::npos ? what : what.substr(sp + 1);
  if (last == "directory") return ".";
  if (last.empty() || last.find('/') != std::string::npos) return {};
  for (const char* end : {".bin", ".tmp", ".vac", ".commit", ".corrupt"}) {
    size_t n = std::strlen(end);
    if (last.size() > n && last.compare(last.size() - n, n, end) == 0) return last;
  }
  return {};
}

Error Error::named(Error e) {
  e.path = file_named_by(e.message);
  e.in_dir = !e.path.empty();
  return e;
}

Error Error::fatal_os(int e, const std::string& what) {
  Error err{ErrorKind::Fatal, e, what + ": " + os_error_text(e), {}, false, nullptr};
  err.path = file_named_by(what);
  err.in_dir = !err.path.empty();
  return err;
}

}  // namespace korvane
