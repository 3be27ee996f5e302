// Helpers shared by the HPACK tests: hex, exact-size input blocks, a collecting
// sink, split feeding in the manner of the frame codec, and the story files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/field.h"
#include "json_lite.h"

namespace vantric::hpack {

// A status by name, "Ok" for a block decoded whole.
inline std::string_view status_name(const DecodeStatus& status) {
  return status ? decode_error_name(*status) : "Ok";
}

// Lets GoogleTest print statuses by name.
inline void PrintTo(DecodeError error, std::ostream* os) {
  *os << decode_error_name(error);
}

}  // namespace vantric::hpack

namespace vantric::hpack::testing {

inline std::string from_hex(std::string_view hex) {
  std::string out;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return out;
}

inline std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// A heap block of exactly the input's length, so that ASan catches any read past it.
class ExactBytes {
 public:
  explicit ExactBytes(std::string_view bytes) : data_(new char[bytes.size()]), size_(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data_.get());
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct DecodedField {
  std::string name;
  std::string value;
  Pseudo pseudo;
  bool sensitive;
  bool operator==(const DecodedField&) const = default;
};

class CollectSink final : public FieldSink {
 public:
  bool on_field(const Field& f) override {
    fields.push_back({std::string(f.name), std::string(f.value), f.pseudo, f.sensitive});
    return true;
  }
  HeaderList list() const {
    HeaderList out;
    for (const auto& f : fields) out.emplace_back(f.name, f.value);
    return out;
  }
  std::vector<DecodedField> fields;
};

// Feeds `block` to the decoder cut at `cuts` (ascending offsets), each fragment in
// its own exact-size buffer holding the undecoded tail of the one before, as the
// frame codec does across CONTINUATION frames.  Returns the first status that is
// not a tolerated NeedMore.
inline DecodeStatus decode_split(Decoder& decoder, std::string_view block,
                                 const std::vector<std::size_t>& cuts, FieldSink& sink) {
  std::string tail;
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t to = k < cuts.size() ? cuts[k] : block.size();
    const bool last = k == cuts.size();
    ExactBytes buffer(tail + std::string(block.substr(from, to - from)));
    std::string_view fragment = buffer.view();
    const DecodeStatus st = decoder.decode(fragment, last, sink);
    if (last || progress_of(st) == Progress::kFailed) return st;
    tail = std::string(fragment);
    from = to;
  }
  return std::nullopt;
}

inline DecodeStatus decode_whole(Decoder& decoder, std::string_view block, FieldSink& sink) {
  return decode_split(decoder, block, {}, sink);
}

inline std::vector<std::size_t> every_octet(std::size_t n) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < n; ++i) cuts.push_back(i);
  return cuts;
}

inline std::string data_path(std::string_view rel) {
  return std::string(VANTRIC_DATA_DIR) + "/" + std::string(rel);
}

struct StoryCase {
  std::optional<uint32_t> header_table_size;  // null in the file counts as absent
  std::string wire;                           // empty for raw-data stories
  HeaderList headers;
};

struct Story {
  std::string path;
  std::vector<StoryCase> cases;
};

inline std::optional<Story> load_story(const std::string& path) {
  const auto doc = json_lite::parse_file(path);
  if (!doc) return std::nullopt;
  Story story{path, {}};
  for (const auto& c : (*doc)["cases"].items) {
    StoryCase sc;
    if (const auto* size = c.find("header_table_size"); size && !size->is_null())
      sc.header_table_size = static_cast<uint32_t>(size->number);
    sc.wire = from_hex(c["wire"].string);
    for (const auto& h : c["headers"].items) sc.headers.emplace_back(h.keys.at(0), h.items.at(0).string);
    story.cases.push_back(std::move(sc));
  }
  return story;
}

// The story files of one directory of hpack-test-case, or of all encoder
// directories when `dir` is empty, in name order.
inline std::vector<std::string> story_paths(std::string_view dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths;
  const fs::path root = data_path("hpack-test-case");
  for (const auto& d : fs::directory_iterator(root)) {
    if (!d.is_directory()) continue;
    const std::string name = d.path().filename().string();
    if (dir.empty() ? name == "raw-data" : name != dir) continue;
    for (const auto& f : fs::directory_iterator(d.path()))
      if (f.path().extension() == ".json") paths.push_back(f.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace vantric::hpack::testing
