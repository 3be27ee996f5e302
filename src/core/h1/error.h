// The HTTP/1 error record: what every HTTP/1 core operation returns on failure.
//
// A record is plain data (kind, sub-kind, owned cause chain), so it can be built
// while an object lock is held and turned into a host exception afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/io_kind.h"

namespace vantric::h1 {

enum class ErrorKind : uint8_t {
  kParse,
  kUser,
  kIncompleteMessage,
  kUnexpectedMessage,
  kCanceled,
  kChannelClosed,
  kIo,
  kHeaderTimeout,
  kBody,
  kBodyWrite,
  kShutdown,
};

// Sub-kinds of ErrorKind::kParse, in the record's order.
enum class ParseKind : uint8_t {
  kMethod,
  kVersion,
  kVersionH2,
  kUri,
  kUriTooLong,
  kHeaderToken,
  kHeaderContentLengthInvalid,
  kHeaderTransferEncodingInvalid,
  kHeaderTransferEncodingUnexpected,
  kTooLarge,
  kStatus,
  kInternal,
};

// Sub-kinds of ErrorKind::kUser, in the record's order.
enum class UserKind : uint8_t {
  kBody,
  kBodyWriteAborted,
  kService,
  kUnexpectedHeader,
  kUnsupportedStatusCode,
  kNoUpgrade,
  kManualUpgrade,
  kDispatchGone,
};

inline constexpr std::size_t kErrorKindCount = static_cast<std::size_t>(ErrorKind::kShutdown) + 1;
inline constexpr std::size_t kParseKindCount = static_cast<std::size_t>(ParseKind::kInternal) + 1;
inline constexpr std::size_t kUserKindCount = static_cast<std::size_t>(UserKind::kDispatchGone) + 1;

struct Error {
  ErrorKind kind = ErrorKind::kParse;
  // A ParseKind or UserKind for those two kinds; 0 otherwise.
  uint8_t sub_kind = 0;
  std::unique_ptr<ErrorCause> cause;

  static Error parse(ParseKind sub) { return Error{ErrorKind::kParse, static_cast<uint8_t>(sub), nullptr}; }
  static Error user(UserKind sub) { return Error{ErrorKind::kUser, static_cast<uint8_t>(sub), nullptr}; }
  static Error of(ErrorKind kind, std::unique_ptr<ErrorCause> cause = nullptr) {
    return Error{kind, 0, std::move(cause)};
  }
  // A Body record caused by an I/O condition, e.g. a body cut short by EOF.
  static Error body(IoKind io_kind, std::string cause_text) {
    return of(ErrorKind::kBody, ErrorCause::io(io_kind, std::move(cause_text)));
  }

  // The kind string of a Parse or User record ("header_token"); empty otherwise.
  std::string_view kind_string() const;
  // The description text of the kind, or of the sub-kind for Parse and User.
  std::string_view description() const;
  // The description, then ": " and the cause's display text when there is a cause.
  std::string message() const;
  // The snake_case I/O kind of the first I/O error in the cause chain, or "other".
  std::string_view io_kind() const;
};

std::string_view parse_kind_string(ParseKind sub);
std::string_view user_kind_string(UserKind sub);

}  // namespace vantric::h1
