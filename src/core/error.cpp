#include "core/error.h"

#include <cstring>

namespace korvane {

std::string os_error_text(int e) {
  return std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")";
}

Error Error::fatal_os(int e, const std::string& what) {
  return {ErrorKind::Fatal, e, what + ": " + os_error_text(e)};
}

}  // namespace korvane
