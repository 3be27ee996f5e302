// What makes a received header block a well-formed request head, response head
// or trailer section (RFC 9113 sections 8.1 to 8.3), beyond the rules on each
// field that the HPACK decoder and the header-list step apply.  The frame
// reader cannot judge this: whether a block is a head or a trailer section
// depends on the stream's state, which the connection state keeps.
#pragma once

#include <cstdint>

#include "core/h2/hpack/field.h"

namespace vantric::h2 {

class HeaderBlock;

// The facts of a header block these rules read.
struct MessageShape {
  uint8_t pseudo = 0;          // bit (1 << hpack::Pseudo) for each pseudo-header present, :status too
  bool empty_path = false;     // :path present and empty
  bool connect = false;        // :method is CONNECT
  bool host_conflict = false;  // a host field names another authority than :authority
  bool over_size = false;      // fields past our SETTINGS_MAX_HEADER_LIST_SIZE were dropped

  constexpr bool has(hpack::Pseudo which) const noexcept {
    return (pseudo & (1u << static_cast<unsigned>(which))) != 0;
  }
  constexpr MessageShape& with(hpack::Pseudo which) noexcept {
    pseudo = static_cast<uint8_t>(pseudo | (1u << static_cast<unsigned>(which)));
    return *this;
  }

  // The shapes of an ordinary request (:method, :scheme, :path, :authority)
  // and response (:status).
  static constexpr MessageShape request() noexcept {
    return MessageShape{}
        .with(hpack::Pseudo::kMethod)
        .with(hpack::Pseudo::kScheme)
        .with(hpack::Pseudo::kPath)
        .with(hpack::Pseudo::kAuthority);
  }
  static constexpr MessageShape response() noexcept { return MessageShape{}.with(hpack::Pseudo::kStatus); }
};

MessageShape shape_of(const HeaderBlock& block) noexcept;

// RFC 9113 sections 8.3.1 and 8.5: :method, :scheme and a non-empty :path,
// or for CONNECT :authority without :scheme and :path; no :status; a host
// field that agrees with :authority.  :protocol only where we announced
// SETTINGS_ENABLE_CONNECT_PROTOCOL (`extended_connect`), and then on a
// CONNECT with :scheme, a non-empty :path and :authority (RFC 8441 section 4).
bool is_request_head(const MessageShape& shape, bool extended_connect = false) noexcept;
// RFC 9113 section 8.3.2: :status and no request pseudo-header.
bool is_response_head(const MessageShape& shape) noexcept;
// RFC 9113 section 8.1: "Trailers MUST NOT include pseudo-header fields".
bool is_trailer_section(const MessageShape& shape) noexcept;

}  // namespace vantric::h2
