// The HPACK decoder (RFC 7541 sections 3, 4.2 and 6): header block fragments in,
// validated fields out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/h2/constants.h"
#include "core/h2/hpack/dynamic_table.h"
#include "core/h2/hpack/field.h"
#include "core/h2/hpack/status.h"

namespace vantric::hpack {

// Receives the fields of a header block as they are decoded.
class FieldSink {
 public:
  // Takes one decoded field whose name, value and pseudo-header kind are valid.  The
  // views last only for the call: they point into the fragment, the dynamic table
  // or the decoder's scratch buffer.  Returning false stops decoding, and decode()
  // returns kOverAbuseLimit (the one reason the header-list step has to stop).
  virtual bool on_field(const Field& field) = 0;

  // Takes, instead of on_field, a field that HPACK decoded whole but whose name or
  // value HTTP/2 does not allow (RFC 9113 sections 8.2.1 and 8.3: an upper-case or
  // non-token name, NUL, CR or LF in a value, an undefined pseudo-header, a bad
  // :status); `why` names the rule.  Returns nullopt to drop the field and go on (the
  // dynamic table keeps it, so that it stays in step with the peer's), or the
  // status decode() ends with.  By default the field fails the block with `why`.
  virtual DecodeStatus on_invalid_field(const Field& field, DecodeStatus why) {
    (void)field;
    return why;
  }

 protected:
  ~FieldSink() = default;
};

class Decoder {
 public:
  // `table_size` is the table size both ends start from: the protocol default
  // unless the connection began with another agreed size.
  explicit Decoder(uint32_t table_size = h2::kDefaultHeaderTableSize);

  // Decodes the representations of one fragment of a header block, handing each
  // field to `sink` in order; `end_of_block` marks the block's last fragment.
  // Complete representations are consumed from the front of `fragment`; it keeps
  // the undecoded tail.  An is_need_more() error on a fragment that does not end
  // the block is not an error: prepend the tail to the next fragment and call
  // again.  Any other error ends the block and leaves the table out of step with
  // the peer's, so the connection must fail.
  DecodeStatus decode(std::string_view& fragment, bool end_of_block, FieldSink& sink);

  // Records the SETTINGS_HEADER_TABLE_SIZE we announced: from the next block on,
  // the peer may set the table to at most this size.  When one is already pending
  // the larger of the two counts, since the peer may still be using it.
  void set_header_table_size(uint32_t size);

  const DynamicTable& table() const { return table_; }
  uint32_t last_max_update() const { return last_max_update_; }

 private:
  DecodeStatus decode_representation(const uint8_t** p, const uint8_t* end, FieldSink& sink);
  DecodeStatus decode_literal(const uint8_t** p, const uint8_t* end, int prefix_bits, bool indexing,
                              bool sensitive, FieldSink& sink);
  DecodeStatus decode_size_update(const uint8_t** p, const uint8_t* end);
  // A field of either table with what was found of it when it was decoded.
  struct Indexed {
    Field field;
    DecodeStatus validity = std::nullopt;
    bool name_invalid = false;
  };
  std::optional<Indexed> lookup(uint32_t index) const;
  std::optional<std::string_view> materialize(std::string_view raw, bool huffman, std::size_t* scratch_used);

  DynamicTable table_;
  uint32_t last_max_update_;
  std::optional<uint32_t> max_size_update_;
  bool in_block_ = false;
  bool field_seen_ = false;          // size updates are allowed only before the first field
  std::unique_ptr<char[]> scratch_;  // Huffman-decoded names and values
  std::size_t scratch_capacity_;
};

}  // namespace vantric::hpack
