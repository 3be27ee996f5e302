// Fuzzes the HPACK decoder with its header-list step.
//
// Input: one configuration octet, then header blocks, each a 16-bit big-endian
// length and that many octets (the last block may be short).  The configuration
// picks the table size we announce (bits 0-1), the max header list size (bits
// 2-3) and the fragment length for split feeding (bits 4-7, 0 = one octet).
//
// Properties: every block decodes to valid fields or to one of the decoder's
// statuses, never a crash or a hang; decoding a block whole and in fragments gives
// the same status and fields; the table stays within its maximum size; the fields
// kept come back unchanged through our encoder and a second decoder.
//
// Seeds in corpus/hpack_decoder: the first 12 blocks of five hpack-test-case stories (one
// per encoder), in this format.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/encoder.h"
#include "core/h2/hpack/header_list.h"
#include "core/http/field_rules.h"

namespace {

using namespace vantric::hpack;
using vantric::Progress;

void require(bool ok) {
  if (!ok) std::abort();
}

struct Owned {
  std::string name;
  std::string value;
  bool operator==(const Owned&) const = default;
};

class Store final : public FieldStore {
 public:
  bool store(const Field& f) override {
    if (f.pseudo == Pseudo::kNone) {
      require(vantric::http::is_valid_lowercase_header_name(f.name));
      require(vantric::http::is_valid_header_value(f.value));
    } else {
      require(f.name == pseudo_name(f.pseudo));
    }
    fields.push_back({std::string(f.name), std::string(f.value)});
    return true;
  }
  std::vector<Owned> fields;
};

class Collect final : public FieldSink {
 public:
  bool on_field(const Field& f) override {
    fields.push_back({std::string(f.name), std::string(f.value)});
    return true;
  }
  std::vector<Owned> fields;
};

struct Outcome {
  DecodeStatus status;
  Store store;
  bool malformed;
  bool over_size;
};

Outcome decode_block(Decoder& decoder, std::string_view block, std::size_t fragment, uint32_t max_list) {
  Outcome out{};
  HeaderListStep step(out.store, max_list);
  // The undecoded tail stays at the front of `buffer`, as in the frame codec.
  std::string buffer;
  for (std::size_t at = 0;;) {
    const std::size_t n = fragment ? std::min(fragment, block.size() - at) : block.size();
    const bool last = at + n == block.size();
    buffer.append(block.substr(at, n));
    std::string_view rest = buffer;
    out.status = decoder.decode(rest, last, step);
    at += n;
    if (last || progress_of(out.status) == Progress::kFailed) break;
    buffer.erase(0, buffer.size() - rest.size());
  }
  out.malformed = step.malformed();
  out.over_size = step.over_size();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr uint32_t kTableSizes[] = {0, 256, 4096, 65536};
  static constexpr uint32_t kListSizes[] = {0, 100, 16384, UINT32_MAX};
  const uint32_t table_size = kTableSizes[data[0] & 3];
  const uint32_t max_list = kListSizes[(data[0] >> 2) & 3];
  const std::size_t fragment = std::max<std::size_t>(1, data[0] >> 4);

  Decoder whole, split, echo;
  Encoder encoder;
  whole.set_header_table_size(table_size);
  split.set_header_table_size(table_size);
  echo.set_header_table_size(table_size);
  encoder.set_header_table_size(table_size);

  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (input.size() >= 2) {
    const std::size_t len =
        static_cast<std::size_t>(static_cast<uint8_t>(input[0]) << 8 | static_cast<uint8_t>(input[1]));
    const std::string_view block = input.substr(2, len);
    input.remove_prefix(2 + block.size());

    const Outcome a = decode_block(whole, block, 0, max_list);
    const Outcome b = decode_block(split, block, fragment, max_list);
    require(a.status == b.status);
    require(a.store.fields == b.store.fields);
    require(a.malformed == b.malformed && a.over_size == b.over_size);
    require(whole.table().size() <= whole.table().max_size());
    require(whole.table().size() == split.table().size());
    if (a.status != std::nullopt) break;  // the connection fails here

    std::vector<Field> fields;
    for (const Owned& f : a.store.fields) fields.push_back({f.name, f.value, Pseudo::kNone, false});
    vantric::ByteBuffer encoded;
    encoder.encode(fields, encoded);
    Collect again;
    std::string_view rest = encoded.view();
    require(echo.decode(rest, true, again) == std::nullopt);
    require(again.fields == a.store.fields);
  }
  return 0;
}
