// The header-list step: the checks of RFC 9113 sections 8.2 and 8.3 on a decoded field list
// and its size accounting against SETTINGS_MAX_HEADER_LIST_SIZE, applied to every
// field the decoder hands out.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/field.h"

namespace vantric::hpack {

// Whether a regular field (lowercase name) is connection-specific, which HTTP/2
// forbids in both directions: connection, keep-alive, proxy-connection,
// transfer-encoding, upgrade, and te with any value but "trailers".
bool is_connection_specific(std::string_view name, std::string_view value);

// Keeps the fields of a header list that pass the header-list step.
class FieldStore {
 public:
  // Keeps one field: a pseudo-header in its slot (the step never offers the same
  // one twice), a regular field after the ones before it.  The views last only for
  // the call.  Returns false when the collection is full; the list is then over size.
  virtual bool store(const Field& field) = 0;

 protected:
  ~FieldStore() = default;
};

// One per header block, kept across the block's fragments; pass it to
// Decoder::decode as the sink.
class HeaderListStep final : public FieldSink {
 public:
  HeaderListStep(FieldStore& store, uint32_t max_header_list_size);

  // Applies the step to one field: drops it and marks the list malformed when it
  // breaks a rule, drops it and marks the list over size when the list has reached
  // the limit, else stores it.  Returns false (stop) once the list's size passes
  // four times the limit.
  bool on_field(const Field& field) override;
  // A field HTTP/2 does not allow makes the message malformed, not the
  // connection broken (RFC 9113 section 8.1.1): it is dropped, the list is
  // marked malformed and decoding goes on (kOverAbuseLimit past the abuse limit).
  DecodeStatus on_invalid_field(const Field& field, DecodeStatus why) override;

  bool malformed() const { return malformed_; }
  bool over_size() const { return over_size_; }
  // The sizes (name + value + 32) of the fields decoded so far, except those
  // dropped for breaking a field-order or connection-specific rule.
  uint64_t list_size() const { return list_size_; }

 private:
  FieldStore& store_;
  uint32_t max_size_;
  uint32_t abuse_limit_;
  uint64_t list_size_ = 0;
  uint8_t pseudo_set_ = 0;  // bit (1 << Pseudo) for each pseudo-header stored
  bool regular_seen_ = false;
  bool malformed_ = false;
  bool over_size_ = false;
};

}  // namespace vantric::hpack
