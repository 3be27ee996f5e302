#include "core/h2/hpack/decoder.h"

#include <array>

#include "core/h2/hpack/primitives.h"
#include "core/h2/hpack/static_table_gen.h"
#include "core/http/field_rules.h"
#include "core/http/status.h"
#include "core/http/utf8.h"

namespace vantric::hpack {

namespace {

// The pseudo-header kind of a name, Pseudo::kNone for a regular name, nothing for
// a name that starts with a colon but is no pseudo-header.
std::optional<Pseudo> pseudo_of(std::string_view name) {
  if (name.empty() || name[0] != ':') return Pseudo::kNone;
  for (std::size_t i = 1; i < kPseudoNames.size(); ++i)
    if (name == kPseudoNames[i]) return static_cast<Pseudo>(i);
  return std::nullopt;
}

constexpr std::array<Pseudo, kStaticTableLength + 1> kStaticPseudo = [] {
  std::array<Pseudo, kStaticTableLength + 1> t{};
  for (std::size_t i = 1; i <= kStaticTableLength; ++i)
    for (std::size_t k = 1; k < kPseudoNames.size(); ++k)
      if (kStaticTable[i].name == kPseudoNames[k]) t[i] = static_cast<Pseudo>(k);
  return t;
}();

// RFC 9113 section 8.2.1: "A field value MUST NOT contain the zero value
// (ASCII NUL, 0x00), line feed (ASCII LF, 0x0a), or carriage return (ASCII CR,
// 0x0d) at any position."  This holds for pseudo-header values too: a CR or LF
// in :path or :authority would split the request line or Host field of a
// proxy that forwards the request over HTTP/1.
bool is_valid_pseudo_value(std::string_view v) {
  for (char c : v)
    if (c == '\0' || c == '\r' || c == '\n') return false;
  return http::is_valid_utf8(v);
}

// RFC 9113 section 8.3.2: :status carries the three-digit code alone.
bool is_valid_status(std::string_view v) {
  if (v.size() != 3) return false;
  uint32_t code = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    code = code * 10 + static_cast<uint32_t>(c - '0');
  }
  return http::is_status_code(code);
}

// RFC 9110 section 9.1: method = token.
bool is_valid_method(std::string_view v) {
  if (v.empty()) return false;
  for (char c : v)
    if (!http::is_tchar(static_cast<uint8_t>(c))) return false;
  return true;
}

DecodeStatus check_value(Pseudo pseudo, std::string_view value) {
  switch (pseudo) {
    case Pseudo::kNone:
      if (http::is_valid_header_value(value)) return std::nullopt;
      return DecodeError::kInvalidUtf8;
    case Pseudo::kStatus:
      if (is_valid_status(value)) return std::nullopt;
      return DecodeError::kInvalidStatusCode;
    case Pseudo::kMethod:
      if (is_valid_method(value)) return std::nullopt;
      return DecodeError::kInvalidUtf8;
    default:
      if (is_valid_pseudo_value(value)) return std::nullopt;
      return DecodeError::kInvalidUtf8;
  }
}

// Hands a decoded field to the sink: a valid one to on_field, another to
// on_invalid_field.
DecodeStatus deliver(FieldSink& sink, const Field& field, DecodeStatus validity) {
  if (validity != std::nullopt) return sink.on_invalid_field(field, validity);
  if (sink.on_field(field)) return std::nullopt;
  return DecodeError::kOverAbuseLimit;
}

struct StringRef {
  std::string_view raw;
  bool huffman;
};

// Reads a string literal's header and checks that its octets are all present,
// without decoding them, so that a representation cut short costs only this scan
// each time it is retried with a longer tail.
DecodeStatus scan_string(const uint8_t** p, const uint8_t* end, StringRef* s) {
  if (*p == end) return DecodeError::kUnexpectedEndOfStream;
  const bool huffman = **p & 0x80;
  const uint8_t* q = *p;
  uint32_t length;
  if (auto st = decode_integer(&q, end, 7, &length)) return st;
  if (static_cast<std::size_t>(end - q) < length) return DecodeError::kStringUnderflow;
  *s = {{reinterpret_cast<const char*>(q), length}, huffman};
  *p = q + length;
  return std::nullopt;
}

constexpr std::size_t kInitialScratch = 4096;

}  // namespace

Decoder::Decoder(uint32_t table_size)
    : table_(table_size),
      last_max_update_(table_size),
      scratch_(std::make_unique_for_overwrite<char[]>(kInitialScratch)),
      scratch_capacity_(kInitialScratch) {}

void Decoder::set_header_table_size(uint32_t size) {
  max_size_update_ = max_size_update_ ? std::max(*max_size_update_, size) : size;
}

DecodeStatus Decoder::decode(std::string_view& fragment, bool end_of_block, FieldSink& sink) {
  if (!in_block_) {
    in_block_ = true;
    field_seen_ = false;
    // The size we announced holds from the first block after the acknowledgement.
    if (max_size_update_) {
      last_max_update_ = *max_size_update_;
      max_size_update_.reset();
    }
  }
  const auto* begin = reinterpret_cast<const uint8_t*>(fragment.data());
  const uint8_t* const end = begin + fragment.size();
  const uint8_t* p = begin;
  DecodeStatus status = std::nullopt;
  while (p != end && (status = decode_representation(&p, end, sink)) == std::nullopt) {
  }
  fragment.remove_prefix(static_cast<std::size_t>(p - begin));
  if (end_of_block || progress_of(status) == Progress::kFailed) in_block_ = false;
  return status;
}

auto Decoder::lookup(uint32_t index) const -> std::optional<Indexed> {
  // RFC 7541 section 2.3.3: index 0 and indexes past both tables are errors.
  if (index == 0) return std::nullopt;
  if (index <= kStaticTableLength)
    return Indexed{Field{kStaticTable[index].name, kStaticTable[index].value, kStaticPseudo[index], false}};
  const std::size_t pos = index - kFirstDynamicIndex;
  if (pos >= table_.count()) return std::nullopt;
  // Entries were checked when they were decoded; an invalid one carries why.
  const auto entry = table_.at(pos);
  const Pseudo pseudo = entry.name_invalid ? Pseudo::kNone : pseudo_of(entry.name).value_or(Pseudo::kNone);
  return Indexed{Field{entry.name, entry.value, pseudo, false}, entry.validity, entry.name_invalid};
}

std::optional<std::string_view> Decoder::materialize(std::string_view raw, bool huffman,
                                                     std::size_t* scratch_used) {
  if (!huffman) return raw;
  char* out = scratch_.get() + *scratch_used;
  const auto n = huffman_decode(raw, out);
  if (!n) return std::nullopt;
  *scratch_used += *n;
  return std::string_view(out, *n);
}

// Each representation is consumed whole or not at all: *p moves only on success.
DecodeStatus Decoder::decode_representation(const uint8_t** p, const uint8_t* end, FieldSink& sink) {
  const uint8_t b = **p;
  if (b & 0x80) {  // RFC 7541 section 6.1: indexed header field
    const uint8_t* q = *p;
    uint32_t index;
    if (auto st = decode_integer(&q, end, 7, &index)) return st;
    const auto indexed = lookup(index);
    if (!indexed) return DecodeError::kInvalidTableIndex;
    field_seen_ = true;
    if (auto st = deliver(sink, indexed->field, indexed->validity)) return st;
    *p = q;
    return std::nullopt;
  }
  if (b & 0x40) return decode_literal(p, end, 6, true, false, sink);  // section 6.2.1
  if (b & 0x20) return decode_size_update(p, end);                    // section 6.3
  // Section 6.2.2 (0000xxxx) and section 6.2.3, never indexed (0001xxxx).
  return decode_literal(p, end, 4, false, (b & 0x10) != 0, sink);
}

DecodeStatus Decoder::decode_literal(const uint8_t** p, const uint8_t* end, int prefix_bits, bool indexing,
                                     bool sensitive, FieldSink& sink) {
  const uint8_t* q = *p;
  uint32_t index;
  if (auto st = decode_integer(&q, end, prefix_bits, &index)) return st;
  Field field{{}, {}, Pseudo::kNone, sensitive};
  // What HTTP/2 makes of the field (nullopt or the rule it breaks), and whether the
  // name is what breaks it.
  DecodeStatus validity = std::nullopt;
  bool name_invalid = false;
  StringRef name_ref{};
  if (index != 0) {
    const auto indexed = lookup(index);
    if (!indexed) return DecodeError::kInvalidTableIndex;
    field.name = indexed->field.name;
    field.pseudo = indexed->field.pseudo;
    if (indexed->name_invalid) {
      validity = indexed->validity;
      name_invalid = true;
    }
  } else if (auto st = scan_string(&q, end, &name_ref)) {
    return st;
  }
  StringRef value_ref;
  if (auto st = scan_string(&q, end, &value_ref)) return st;

  // The representation is complete: decode its strings.
  const std::size_t encoded =
      (name_ref.huffman ? name_ref.raw.size() : 0) + (value_ref.huffman ? value_ref.raw.size() : 0);
  if (huffman_max_decoded_length(encoded) > scratch_capacity_) {
    scratch_capacity_ = 2 * encoded;
    scratch_ = std::make_unique_for_overwrite<char[]>(scratch_capacity_);
  }
  std::size_t scratch_used = 0;
  if (index == 0) {
    const auto name = materialize(name_ref.raw, name_ref.huffman, &scratch_used);
    if (!name) return DecodeError::kInvalidHuffmanCode;
    field.name = *name;
    const auto kind = pseudo_of(*name);
    if (!kind) {
      validity = DecodeError::kInvalidPseudoheader;
      name_invalid = true;
    } else if (*kind == Pseudo::kNone && !http::is_valid_lowercase_header_name(*name)) {
      // RFC 9113 section 8.2.1: names are lowercase tokens.
      validity = DecodeError::kInvalidUtf8;
      name_invalid = true;
    } else {
      field.pseudo = *kind;
    }
  }
  const auto value = materialize(value_ref.raw, value_ref.huffman, &scratch_used);
  if (!value) return DecodeError::kInvalidHuffmanCode;
  field.value = *value;
  if (validity == std::nullopt) validity = check_value(field.pseudo, *value);

  field_seen_ = true;
  if (auto st = deliver(sink, field, validity)) return st;
  if (indexing) table_.insert(field.name, field.value, validity, name_invalid);
  *p = q;
  return std::nullopt;
}

DecodeStatus Decoder::decode_size_update(const uint8_t** p, const uint8_t* end) {
  const uint8_t* q = *p;
  uint32_t size;
  if (auto st = decode_integer(&q, end, 5, &size)) return st;
  // RFC 7541 section 4.2: "This dynamic table size update MUST occur at the
  // beginning of the first header block following the change to the dynamic table
  // size."
  if (field_seen_) return DecodeError::kInvalidMaxDynamicSize;
  // RFC 7541 section 6.3: "The new maximum size MUST be lower than or equal to the
  // limit determined by the protocol using HPACK."
  if (size > last_max_update_) return DecodeError::kInvalidMaxDynamicSize;
  table_.set_max_size(size);
  *p = q;
  return std::nullopt;
}

}  // namespace vantric::hpack
