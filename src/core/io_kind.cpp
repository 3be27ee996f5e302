#include "core/io_kind.h"

#include <array>

namespace vantric {
namespace {

struct IoKindText {
  std::string_view name;
  std::string_view description;
};

constexpr std::array<IoKindText, kIoKindCount> kIoKindTexts = {{
    {"NotFound", "entity not found"},
    {"PermissionDenied", "permission denied"},
    {"ConnectionRefused", "connection refused"},
    {"ConnectionReset", "connection reset"},
    {"ConnectionAborted", "connection aborted"},
    {"NotConnected", "not connected"},
    {"AddrInUse", "address in use"},
    {"AddrNotAvailable", "address not available"},
    {"BrokenPipe", "broken pipe"},
    {"AlreadyExists", "entity already exists"},
    {"WouldBlock", "operation would block"},
    {"InvalidInput", "invalid input parameter"},
    {"InvalidData", "invalid data"},
    {"TimedOut", "timed out"},
    {"WriteZero", "write zero"},
    {"Interrupted", "operation interrupted"},
    {"Unsupported", "unsupported"},
    {"UnexpectedEof", "unexpected end of file"},
    {"OutOfMemory", "out of memory"},
    {"Other", "other error"},
}};

// The snake_case names, derived once from the CamelCase names.
const std::array<std::string, kIoKindCount>& snake_names() {
  static const std::array<std::string, kIoKindCount> names = [] {
    std::array<std::string, kIoKindCount> out;
    for (std::size_t i = 0; i < kIoKindCount; ++i) out[i] = camel_to_snake(kIoKindTexts[i].name);
    return out;
  }();
  return names;
}

}  // namespace

std::string_view io_kind_name(IoKind kind) {
  return kIoKindTexts[static_cast<std::size_t>(kind)].name;
}

std::string_view io_kind_description(IoKind kind) {
  return kIoKindTexts[static_cast<std::size_t>(kind)].description;
}

std::string_view io_kind_snake_name(IoKind kind) {
  return snake_names()[static_cast<std::size_t>(kind)];
}

std::string camel_to_snake(std::string_view camel) {
  std::string out;
  out.reserve(camel.size() + 4);
  for (std::size_t i = 0; i < camel.size(); ++i) {
    char c = camel[i];
    if (c >= 'A' && c <= 'Z') {
      if (i != 0) out.push_back('_');
      out.push_back(static_cast<char>(c + ('a' - 'A')));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<IoKind> first_io_kind(const ErrorCause* cause) {
  for (; cause != nullptr; cause = cause->source.get())
    if (cause->io_kind) return cause->io_kind;
  return std::nullopt;
}

}  // namespace vantric
