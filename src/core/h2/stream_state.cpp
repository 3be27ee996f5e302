#include "core/h2/stream_state.h"

#include <array>

#include "core/h2/constants.h"
#include "core/invariant.h"

namespace vantric::h2 {
namespace {

using Kind = StreamState::Kind;
using Cause = StreamState::Cause;
constexpr PeerState kAwaiting = PeerState::kAwaitingHeaders;
constexpr PeerState kStreaming = PeerState::kStreaming;

constexpr std::string_view kBrokenPipeMessage = "stream closed because of a broken pipe";

// A frame the peer may not send in this state: the connection answers with
// GOAWAY(PROTOCOL_ERROR) (RFC 9113 section 5.1).
Error protocol_error() {
  return ConnError::go_away({}, code(Reason::kProtocolError), Initiator::kLibrary);
}

// A frame we may not send in this state: local misuse.
Error unexpected_frame() {
  return user_error(UserErrorKind::kUnexpectedFrameType);
}

constexpr std::array<std::string_view, 3> kInitiatorReprs = {"User", "Library", "Remote"};

std::string_view peer_repr(PeerState peer) {
  return peer == kStreaming ? "Streaming" : "AwaitingHeaders";
}

void append_reason(std::string& out, uint32_t reason) {
  std::string_view name = reason_name(reason);
  if (!name.empty()) {
    out += name;
  } else {
    out += "Reason(";
    out += std::to_string(reason);
    out += ')';
  }
}

// `text` between double quotes, backslash-escaping quotes, backslashes and
// control octets.  Octets from 0x80 up pass through unless `bytes` is set, so
// UTF-8 text stays readable while raw octets print as \xNN.
void append_quoted(std::string& out, std::string_view text, bool bytes) {
  out += '"';
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f || (bytes && c >= 0x80)) {
          constexpr std::string_view kHex = "0123456789abcdef";
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

void append_conn_error(std::string& out, const ConnError& error) {
  auto append_tail = [&out, &error] {
    out += ", ";
    append_reason(out, error.reason);
    out += ", ";
    out += kInitiatorReprs[static_cast<std::size_t>(error.initiator)];
    out += ')';
  };
  switch (error.variant) {
    case ConnError::Variant::kReset:
      out += "Reset(StreamId(";
      out += std::to_string(error.stream_id);
      out += ')';
      append_tail();
      return;
    case ConnError::Variant::kGoAway:
      out += "GoAway(b";
      append_quoted(out, error.debug_data, true);
      append_tail();
      return;
    case ConnError::Variant::kIo:
      out += "Io(";
      out += io_kind_name(error.io_kind);
      out += ", ";
      if (error.io_message) {
        out += "Some(";
        append_quoted(out, *error.io_message, false);
        out += ')';
      } else {
        out += "None";
      }
      out += ')';
      return;
  }
}

}  // namespace

void StreamState::set_open(PeerState local, PeerState remote) {
  kind_ = Kind::kOpen;
  local_ = local;
  remote_ = remote;
}

void StreamState::set_half_closed_local(PeerState remote) {
  kind_ = Kind::kHalfClosedLocal;
  remote_ = remote;
}

void StreamState::set_half_closed_remote(PeerState local) {
  kind_ = Kind::kHalfClosedRemote;
  local_ = local;
}

std::optional<Error> StreamState::send_open(bool eos) {
  switch (kind_) {
    case Kind::kIdle:
      if (eos)
        set_half_closed_local(kAwaiting);
      else
        set_open(kStreaming, kAwaiting);
      return std::nullopt;
    case Kind::kOpen:
      if (local_ != kAwaiting) break;
      if (eos)
        set_half_closed_local(remote_);
      else
        local_ = kStreaming;
      return std::nullopt;
    case Kind::kHalfClosedRemote:
      if (local_ != kAwaiting) break;
      [[fallthrough]];
    case Kind::kReservedLocal:
      // RFC 9113 section 5.1: sending HEADERS on a reserved (local) stream
      // leaves it half-closed (remote).
      if (eos)
        close(Cause::kEndStream);
      else
        set_half_closed_remote(kStreaming);
      return std::nullopt;
    case Kind::kReservedRemote:
    case Kind::kHalfClosedLocal:
    case Kind::kClosed:
      break;
  }
  return unexpected_frame();
}

std::variant<bool, Error> StreamState::recv_open(bool eos, bool informational) {
  switch (kind_) {
    case Kind::kIdle:
      if (eos)
        set_half_closed_remote(kAwaiting);
      else
        set_open(kAwaiting, informational ? kAwaiting : kStreaming);
      return true;
    case Kind::kReservedRemote:
      // RFC 9113 section 5.1: a reserved (remote) stream becomes half-closed
      // (local) on the peer's HEADERS.
      if (eos)
        close(Cause::kEndStream);
      else if (!informational)
        set_half_closed_local(kStreaming);
      return true;
    case Kind::kOpen:
      if (remote_ != kAwaiting) break;
      if (eos)
        set_half_closed_remote(local_);
      else if (!informational)
        remote_ = kStreaming;
      return false;
    case Kind::kHalfClosedLocal:
      if (remote_ != kAwaiting) break;
      if (eos)
        close(Cause::kEndStream);
      else if (!informational)
        remote_ = kStreaming;
      return false;
    case Kind::kReservedLocal:
    case Kind::kHalfClosedRemote:
    case Kind::kClosed:
      // RFC 9113 section 5.1: a second header block on a streaming half, or
      // any frame on a half that ended, is a connection error.
      break;
  }
  return protocol_error();
}

std::optional<Error> StreamState::reserve_remote() {
  if (kind_ != Kind::kIdle) return protocol_error();
  kind_ = Kind::kReservedRemote;
  return std::nullopt;
}

std::optional<Error> StreamState::reserve_local() {
  if (kind_ != Kind::kIdle) return unexpected_frame();
  kind_ = Kind::kReservedLocal;
  return std::nullopt;
}

std::optional<Error> StreamState::recv_close() {
  switch (kind_) {
    case Kind::kOpen:
      set_half_closed_remote(local_);
      return std::nullopt;
    case Kind::kHalfClosedLocal:
      close(Cause::kEndStream);
      return std::nullopt;
    default:
      return protocol_error();
  }
}

bool StreamState::send_close() {
  if (kind_ == Kind::kOpen && local_ == kStreaming) {
    set_half_closed_local(remote_);
    return true;
  }
  if (kind_ == Kind::kHalfClosedRemote && local_ == kStreaming) {
    close(Cause::kEndStream);
    return true;
  }
  return false;
}

void StreamState::close_after_failure(ConnError error) {
  close_with_error(is_recv_end_stream() ? Cause::kErrorAfterEndStream : Cause::kStreamError,
                   std::move(error));
}

void StreamState::recv_reset(uint32_t stream_id, uint32_t reason, bool queued) {
  VANTRIC_INVARIANT(stream_id <= kMaxStreamId, "recv_reset: stream id above 2^31 - 1");
  if (is_closed() && !queued) return;
  close_after_failure(ConnError::reset(stream_id, reason, Initiator::kRemote));
}

void StreamState::recv_eof() {
  if (is_closed()) return;  // before building the message, which allocates
  abort(ConnError::io(IoKind::kBrokenPipe, std::string(kBrokenPipeMessage)));
}

void StreamState::abort(ConnError error) {
  if (!is_closed()) close_after_failure(std::move(error));
}

void StreamState::set_reset(uint32_t stream_id, uint32_t reason, Initiator initiator) {
  VANTRIC_INVARIANT(stream_id <= kMaxStreamId, "set_reset: stream id above 2^31 - 1");
  close_with_error(Cause::kStreamError, ConnError::reset(stream_id, reason, initiator));
}

bool StreamState::set_scheduled_reset(uint32_t reason) {
  if (is_closed()) return false;
  close(Cause::kScheduledLibraryReset);
  scheduled_reason_ = reason;
  return true;
}

std::optional<uint32_t> StreamState::get_scheduled_reset() const {
  if (!is_scheduled_reset()) return std::nullopt;
  return scheduled_reason_;
}

std::variant<bool, Error> StreamState::ensure_recv_open() const {
  switch (kind_) {
    case Kind::kIdle:
    case Kind::kReservedRemote:
    case Kind::kOpen:
    case Kind::kHalfClosedLocal:
      return true;
    case Kind::kReservedLocal:
    case Kind::kHalfClosedRemote:
      return false;
    case Kind::kClosed:
      break;
  }
  switch (cause_) {
    case Cause::kEndStream:
    case Cause::kErrorAfterEndStream:
      return false;
    case Cause::kStreamError:
      return Error(error_);
    case Cause::kScheduledLibraryReset:
      break;
  }
  return ConnError::go_away({}, scheduled_reason_, Initiator::kLibrary);
}

bool StreamState::is_local_error() const {
  if (is_scheduled_reset()) return true;
  if (!has_stored_error()) return false;
  return error_.variant == ConnError::Variant::kIo || error_.initiator != Initiator::kRemote;
}

bool StreamState::is_remote_reset() const {
  return has_stored_error() && error_.variant == ConnError::Variant::kReset &&
         error_.initiator == Initiator::kRemote;
}

bool StreamState::is_send_streaming() const {
  return (kind_ == Kind::kOpen || kind_ == Kind::kHalfClosedRemote) && local_ == kStreaming;
}

bool StreamState::is_send_closed() const {
  return kind_ == Kind::kReservedRemote || kind_ == Kind::kHalfClosedLocal || is_closed();
}

bool StreamState::is_recv_headers() const {
  if (kind_ == Kind::kIdle || kind_ == Kind::kReservedRemote) return true;
  return (kind_ == Kind::kOpen || kind_ == Kind::kHalfClosedLocal) && remote_ == kAwaiting;
}

bool StreamState::is_recv_streaming() const {
  return (kind_ == Kind::kOpen || kind_ == Kind::kHalfClosedLocal) && remote_ == kStreaming;
}

bool StreamState::is_recv_end_stream() const {
  if (kind_ == Kind::kHalfClosedRemote) return true;
  return is_closed() && (cause_ == Cause::kEndStream || cause_ == Cause::kErrorAfterEndStream);
}

std::string StreamState::repr() const {
  std::string out;
  switch (kind_) {
    case Kind::kIdle:
      return "Idle";
    case Kind::kReservedLocal:
      return "ReservedLocal";
    case Kind::kReservedRemote:
      return "ReservedRemote";
    case Kind::kOpen:
      out = "Open { local: ";
      out += peer_repr(local_);
      out += ", remote: ";
      out += peer_repr(remote_);
      out += " }";
      return out;
    case Kind::kHalfClosedLocal:
      out = "HalfClosedLocal(";
      out += peer_repr(remote_);
      out += ')';
      return out;
    case Kind::kHalfClosedRemote:
      out = "HalfClosedRemote(";
      out += peer_repr(local_);
      out += ')';
      return out;
    case Kind::kClosed:
      break;
  }
  out = "Closed(";
  switch (cause_) {
    case Cause::kEndStream:
      out += "EndStream";
      break;
    case Cause::kStreamError:
    case Cause::kErrorAfterEndStream:
      out += cause_ == Cause::kStreamError ? "Error(" : "ErrorAfterEndStream(";
      append_conn_error(out, error_);
      out += ')';
      break;
    case Cause::kScheduledLibraryReset:
      out += "ScheduledLibraryReset(";
      append_reason(out, scheduled_reason_);
      out += ')';
      break;
  }
  out += ')';
  return out;
}

std::string conn_error_repr(const ConnError& error) {
  std::string out;
  append_conn_error(out, error);
  return out;
}

std::optional<Initiator> parse_initiator(std::string_view text) {
  for (std::size_t i = 0; i < kInitiatorReprs.size(); ++i) {
    auto initiator = static_cast<Initiator>(i);
    if (text == initiator_name(initiator)) return initiator;
  }
  return std::nullopt;
}

std::string initiator_error_message(std::string_view given) {
  std::string out = "initiator must be 'user' | 'library' | 'remote', got ";
  out += given;
  return out;
}

}  // namespace vantric::h2
