#include "core/h2/hpack/header_list.h"

#include <algorithm>
#include <string_view>

namespace vantric::hpack {

// RFC 9113 section 8.2.2: "An endpoint MUST NOT generate an HTTP/2 message
// containing connection-specific header fields", and "the only exception to this
// is the TE header field, which MAY be present in an HTTP/2 request; when it is,
// it MUST NOT contain any value other than "trailers"."
bool is_connection_specific(std::string_view name, std::string_view value) {
  switch (name.size()) {
    case 2:
      return name == "te" && value != "trailers";
    case 7:
      return name == "upgrade";
    case 10:
      return name == "connection" || name == "keep-alive";
    case 16:
      return name == "proxy-connection";
    case 17:
      return name == "transfer-encoding";
    default:
      return false;
  }
}

HeaderListStep::HeaderListStep(FieldStore& store, uint32_t max_header_list_size)
    : store_(store),
      max_size_(max_header_list_size),
      abuse_limit_(static_cast<uint32_t>(
          std::min<uint64_t>(4 * static_cast<uint64_t>(max_header_list_size), UINT32_MAX))) {}

namespace {

// RFC 9113 section 8.2.1: "A field value MUST NOT start or end with an ASCII
// whitespace character (ASCII SP or HTAB, 0x20 or 0x09)."
bool has_outer_whitespace(std::string_view value) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return !value.empty() && (blank(value.front()) || blank(value.back()));
}

}  // namespace

DecodeStatus HeaderListStep::on_invalid_field(const Field& field, DecodeStatus) {
  malformed_ = true;
  // The peer still made us decode it: it counts toward the abuse limit.
  list_size_ += field_size(field.name, field.value);
  if (list_size_ > abuse_limit_) return DecodeError::kOverAbuseLimit;
  return std::nullopt;
}

bool HeaderListStep::on_field(const Field& field) {
  if (has_outer_whitespace(field.value))
    return on_invalid_field(field, DecodeError::kInvalidUtf8) == std::nullopt;
  if (field.pseudo != Pseudo::kNone) {
    // RFC 9113 section 8.3: pseudo-headers come first, each at most once.
    const auto bit = static_cast<uint8_t>(1u << static_cast<unsigned>(field.pseudo));
    if (regular_seen_ || (pseudo_set_ & bit)) {
      malformed_ = true;
      return true;
    }
  } else if (is_connection_specific(field.name, field.value)) {
    malformed_ = true;
    return true;
  } else {
    regular_seen_ = true;
  }
  list_size_ += field_size(field.name, field.value);
  // A peer that keeps sending past the limit is abusive, not just verbose.
  if (list_size_ > abuse_limit_) return false;
  if (list_size_ < max_size_ && !over_size_) {
    if (store_.store(field)) {
      if (field.pseudo != Pseudo::kNone)
        pseudo_set_ |= static_cast<uint8_t>(1u << static_cast<unsigned>(field.pseudo));
      return true;
    }
  }
  // Keep decoding the rest of the block so that the dynamic table stays in step.
  over_size_ = true;
  return true;
}

}  // namespace vantric::hpack
