#include "core/h2/error.h"

#include <array>

namespace vantric::h2 {
namespace {

struct ReasonText {
  std::string_view name;
  std::string_view description;
};

constexpr std::array<ReasonText, kReasonCount> kReasonTexts = {{
    {"NO_ERROR", "not a result of an error"},
    {"PROTOCOL_ERROR", "unspecific protocol error detected"},
    {"INTERNAL_ERROR", "unexpected internal error encountered"},
    {"FLOW_CONTROL_ERROR", "flow-control protocol violated"},
    {"SETTINGS_TIMEOUT", "settings ACK not received in timely manner"},
    {"STREAM_CLOSED", "received frame when stream half-closed"},
    {"FRAME_SIZE_ERROR", "frame with invalid size"},
    {"REFUSED_STREAM", "refused stream before processing any application logic"},
    {"CANCEL", "stream no longer needed"},
    {"COMPRESSION_ERROR", "unable to maintain the header compression context"},
    {"CONNECT_ERROR",
     "connection established in response to a CONNECT request was reset or abnormally closed"},
    {"ENHANCE_YOUR_CALM", "detected excessive load generating behavior"},
    {"INADEQUATE_SECURITY", "security properties do not meet minimum requirements"},
    {"HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"},
}};

constexpr std::array<std::string_view, 3> kInitiatorNames = {"user", "library", "remote"};

struct UserErrorText {
  std::string_view kind;
  std::string_view message;
};

constexpr std::array<UserErrorText, kUserErrorKindCount> kUserErrorTexts = {{
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
}};

}  // namespace

std::string_view reason_name(uint32_t code) {
  return code < kReasonCount ? kReasonTexts[code].name : std::string_view();
}

std::string_view reason_description(uint32_t code) {
  return code < kReasonCount ? kReasonTexts[code].description : "unknown reason";
}

std::string_view initiator_name(Initiator initiator) {
  return kInitiatorNames[static_cast<std::size_t>(initiator)];
}

std::string_view user_error_kind_name(UserErrorKind kind) {
  return kUserErrorTexts[static_cast<std::size_t>(kind)].kind;
}

std::string_view user_error_default_message(UserErrorKind kind) {
  return kUserErrorTexts[static_cast<std::size_t>(kind)].message;
}

std::string ConnError::message() const {
  switch (variant) {
    case Variant::kGoAway:
      return std::string(reason_description(reason));
    case Variant::kIo:
      return io_message ? *io_message : std::string(io_kind_description(io_kind));
    case Variant::kReset:
      break;
  }
  return {};
}

}  // namespace vantric::h2
