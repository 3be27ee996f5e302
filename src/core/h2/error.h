// HTTP/2 error values: what the HTTP/2 core returns for a failure.
//
// Plain data only, so a value can be built under an object lock and raised as
// a host exception after the lock is released.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/io_kind.h"

namespace vantric::h2 {

// RFC 9113 section 7 error codes.
enum class Reason : uint32_t {
  kNoError = 0,
  kProtocolError = 1,
  kInternalError = 2,
  kFlowControlError = 3,
  kSettingsTimeout = 4,
  kStreamClosed = 5,
  kFrameSizeError = 6,
  kRefusedStream = 7,
  kCancel = 8,
  kCompressionError = 9,
  kConnectError = 10,
  kEnhanceYourCalm = 11,
  kInadequateSecurity = 12,
  kHttp11Required = 13,
};

inline constexpr uint32_t kReasonCount = 14;

constexpr uint32_t code(Reason r) {
  return static_cast<uint32_t>(r);
}

// "PROTOCOL_ERROR" for 1; empty for codes above 13.  Static storage.
std::string_view reason_name(uint32_t code);
// The description text of a code; "unknown reason" above 13.  Static storage.
std::string_view reason_description(uint32_t code);

// Who asked for a reset or GOAWAY.
enum class Initiator : uint8_t { kUser, kLibrary, kRemote };

// "user", "library" or "remote".  Static storage.
std::string_view initiator_name(Initiator initiator);

// The connection error value: a stream reset, a GOAWAY, or a transport failure.
struct ConnError {
  enum class Variant : uint8_t { kReset, kGoAway, kIo };

  Variant variant = Variant::kReset;
  uint32_t stream_id = 0;  // Reset
  uint32_t reason = 0;     // Reset, GoAway
  Initiator initiator = Initiator::kLibrary;
  std::string debug_data;                 // GoAway
  IoKind io_kind = IoKind::kOther;        // Io
  std::optional<std::string> io_message;  // Io

  static ConnError reset(uint32_t stream_id, uint32_t reason, Initiator initiator) {
    ConnError e;
    e.variant = Variant::kReset;
    e.stream_id = stream_id;
    e.reason = reason;
    e.initiator = initiator;
    return e;
  }
  static ConnError go_away(std::string debug_data, uint32_t reason, Initiator initiator) {
    ConnError e;
    e.variant = Variant::kGoAway;
    e.debug_data = std::move(debug_data);
    e.reason = reason;
    e.initiator = initiator;
    return e;
  }
  static ConnError io(IoKind kind, std::optional<std::string> message = std::nullopt) {
    ConnError e;
    e.variant = Variant::kIo;
    e.io_kind = kind;
    e.io_message = std::move(message);
    return e;
  }

  // GoAway: the reason's description; Io: the message, else the kind's
  // description; Reset: empty (a reset is reported by its fields).
  std::string message() const;
};

// Local misuse of the HTTP/2 interface, in index order.
enum class UserErrorKind : uint8_t {
  kInactiveStreamId,
  kUnexpectedFrameType,
  kPayloadTooBig,
  kRejected,
  kReleaseCapacityTooBig,
  kOverflowedStreamId,
  kMalformedHeaders,
  kMissingUriSchemeAndAuthority,
  kPollResetAfterSendResponse,
  kSendPingWhilePending,
  kSendSettingsWhilePending,
  kPeerDisabledServerPush,
  kInvalidInformationalStatusCode,
};

inline constexpr std::size_t kUserErrorKindCount =
    static_cast<std::size_t>(UserErrorKind::kInvalidInformationalStatusCode) + 1;

std::string_view user_error_kind_name(UserErrorKind kind);
std::string_view user_error_default_message(UserErrorKind kind);

struct UserError {
  UserErrorKind kind;
  std::string message;  // empty: the kind's default message

  std::string_view text() const {
    return message.empty() ? user_error_default_message(kind) : std::string_view(message);
  }
};

// A connection-level violation with an explicit reason (or none) and message.
struct ProtocolError {
  std::optional<uint32_t> reason;
  std::string message;
};

// A flow-control window overflow or underflow (FLOW_CONTROL_ERROR).
struct FlowControlError {};

// The transport failed with work in flight.
struct TransportError {
  std::string message;
};

// Everything the HTTP/2 core can fail with.
using Error = std::variant<ConnError, UserError, ProtocolError, FlowControlError, TransportError>;

// A stream error this module detected: reset with initiator "library".
inline Error library_reset(uint32_t stream_id, Reason reason) {
  return ConnError::reset(stream_id, code(reason), Initiator::kLibrary);
}

inline Error user_error(UserErrorKind kind, std::string message = {}) {
  return UserError{kind, std::move(message)};
}

}  // namespace vantric::h2
