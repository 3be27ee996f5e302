// I/O error kinds carried by error causes.
//
// The module performs no I/O, but its failures still name the I/O condition
// they amount to (a body cut short is an unexpected end of input), and the
// host sees that name as a snake_case kind string.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantric {

// Each kind has a CamelCase name (see io_kind_name) and a standard description.
enum class IoKind : uint8_t {
  kNotFound,
  kPermissionDenied,
  kConnectionRefused,
  kConnectionReset,
  kConnectionAborted,
  kNotConnected,
  kAddrInUse,
  kAddrNotAvailable,
  kBrokenPipe,
  kAlreadyExists,
  kWouldBlock,
  kInvalidInput,
  kInvalidData,
  kTimedOut,
  kWriteZero,
  kInterrupted,
  kUnsupported,
  kUnexpectedEof,
  kOutOfMemory,
  kOther,
};

inline constexpr std::size_t kIoKindCount = static_cast<std::size_t>(IoKind::kOther) + 1;

// The kind's CamelCase name, e.g. "UnexpectedEof".  Static storage.
std::string_view io_kind_name(IoKind kind);
// The standard description text, e.g. "unexpected end of file".  Static storage.
std::string_view io_kind_description(IoKind kind);
// The kind's name in snake_case, e.g. "unexpected_eof".  Static storage.
std::string_view io_kind_snake_name(IoKind kind);

// CamelCase to snake_case: every ASCII uppercase letter becomes lowercase,
// preceded by an underscore unless it is the first character.
std::string camel_to_snake(std::string_view camel);

// One link of an error's cause chain: a display text, optionally an I/O
// error kind (the link *is* an I/O error), and optionally the error it wraps.
struct ErrorCause {
  std::string text;
  std::optional<IoKind> io_kind;
  std::unique_ptr<ErrorCause> source;

  static std::unique_ptr<ErrorCause> io(IoKind kind, std::string text) {
    auto cause = std::make_unique<ErrorCause>();
    cause->text = std::move(text);
    cause->io_kind = kind;
    return cause;
  }
  static std::unique_ptr<ErrorCause> plain(std::string text, std::unique_ptr<ErrorCause> source = nullptr) {
    auto cause = std::make_unique<ErrorCause>();
    cause->text = std::move(text);
    cause->source = std::move(source);
    return cause;
  }
};

// The first I/O kind found walking from `cause` through its sources, if any.
std::optional<IoKind> first_io_kind(const ErrorCause* cause);

}  // namespace vantric
