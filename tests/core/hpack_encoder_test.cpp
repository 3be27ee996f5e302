// The HPACK encoder: its representation choices field by field, its table size
// updates, round trips through our decoder, and re-decoding by libnghttp2 when
// the build links it (VANTRIC_HAVE_NGHTTP2).
#include <random>

#include <gtest/gtest.h>

#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/encoder.h"
#include "core/h2/hpack/primitives.h"
#include "core/h2/hpack/static_table_gen.h"
#include "core/invariant.h"
#include "hpack_test_util.h"

#ifdef VANTRIC_HAVE_NGHTTP2
#include <nghttp2/nghttp2.h>
#endif

namespace vantric::hpack {
namespace {

using testing::CollectSink;
using testing::from_hex;
using testing::HeaderList;
using testing::to_hex;

// The hex of a string literal as the encoder writes it.
std::string str(std::string_view s) {
  std::string out(kMaxIntegerLength + huffman_encoded_length(s), '\0');
  out.resize(static_cast<std::size_t>(encode_string(s, huffman_encoded_length(s), out.data()) - out.data()));
  return to_hex(out);
}

Field plain(std::string_view name, std::string_view value) {
  return {name, value, Pseudo::kNone, false};
}
Field secret(std::string_view name, std::string_view value) {
  return {name, value, Pseudo::kNone, true};
}

// One line per block: the fields given to a fresh encoder and the octets expected.
TEST(HpackEncoder, RepresentationChoices) {
  const std::string v3039(3039, 'v'), v3040(3040, 'v');
  struct Case {
    const char* what;
    std::vector<Field> fields;
    std::string hex;
    std::size_t table_count;
  };
  const Case cases[] = {
      {":method GET", {Field::make_pseudo(Pseudo::kMethod, "GET")}, "82", 0},
      {":path /index.html", {Field::make_pseudo(Pseudo::kPath, "/index.html")}, "85", 0},
      {":status 200", {Field::make_pseudo(Pseudo::kStatus, "200")}, "88", 0},
      {"accept-encoding: gzip, deflate", {plain("accept-encoding", "gzip, deflate")}, "90", 0},
      {":status 201: indexed with the static name",
       {Field::make_pseudo(Pseudo::kStatus, "201")},
       "48" + str("201"),
       1},
      {"empty static values are not exact matches", {Field::make_pseudo(Pseudo::kAuthority, "")}, "4100", 1},
      {":path is never indexed", {Field::make_pseudo(Pseudo::kPath, "/x")}, "04" + str("/x"), 0},
      {"set-cookie is never indexed", {plain("set-cookie", "a=b")}, "0f28" + str("a=b"), 0},
      {"authorization, sensitive", {secret("authorization", "k")}, "1f08" + str("k"), 0},
      {"a custom field twice",
       {plain("custom-key", "custom-value"), plain("custom-key", "custom-value")},
       "40" + str("custom-key") + str("custom-value") + "be",
       1},
      {"a new value for a dynamic name",
       {plain("x-a", "1"), plain("x-a", "2")},
       "40" + str("x-a") + str("1") + "7e" + str("2"),
       2},
      {"a sensitive custom field",
       {secret("x-secret", "y"), secret("x-secret", "y")},
       "10" + str("x-secret") + str("y") + "10" + str("x-secret") + str("y"),
       0},
      {"a sensitive static name", {secret("user-agent", "u")}, "1f2b" + str("u"), 0},
      {"a sensitive exact static field", {{":method", "GET", Pseudo::kMethod, true}}, "82", 0},
      {"size 3072 is inserted", {plain("x", v3039)}, "40" + str("x") + str(v3039), 1},
      {"size 3073 is not", {plain("x", v3040)}, "00" + str("x") + str(v3040), 0},
      {"a large field with a static name", {plain("user-agent", v3040)}, "0f2b" + str(v3040), 0},
      {"nameless after a never-indexed static name",
       {plain("set-cookie", "a"), plain("", "b")},
       "0f28" + str("a") + "0f28" + str("b"),
       0},
      {"nameless after an inserted field",
       {plain("x-a", "1"), plain("", "2"), plain("", "3")},
       "40" + str("x-a") + str("1") + "0f2f" + str("2") + "0f2f" + str("3"),
       1},
      {"nameless after an inserted field with a static name",
       {plain("accept", "1"), plain("", "2")},
       "53" + str("1") + "0f04" + str("2"),
       1},
      {"nameless after an exact static match",
       {Field::make_pseudo(Pseudo::kMethod, "GET"), plain("", "POST")},
       "82"
       "02" +
           str("POST"),
       0},
      {"nameless after a field with no index",
       {plain("x", v3040), plain("", "2")},
       "00" + str("x") + str(v3040) + "00" + str("x") + str("2"),
       0},
      {"sensitive nameless",
       {plain("x-a", "1"), secret("", "2")},
       "40" + str("x-a") + str("1") + "1f2f" + str("2"),
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Encoder encoder;
    ByteBuffer out;
    encoder.encode(c.fields, out);
    EXPECT_EQ(to_hex(out.view()), c.hex);
    EXPECT_EQ(encoder.table().count(), c.table_count);
    // Whatever the choice, our decoder reads the fields back.
    Decoder decoder;
    CollectSink sink;
    std::string_view block = out.view();
    ASSERT_EQ(decoder.decode(block, true, sink), std::nullopt);
    std::string_view prev;
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
      const std::string_view name = c.fields[i].name.empty() ? prev : c.fields[i].name;
      EXPECT_EQ(sink.fields.at(i).name, name);
      EXPECT_EQ(sink.fields.at(i).value, c.fields[i].value);
      prev = name;
    }
  }
}

TEST(HpackEncoder, NamelessFirstFieldIsAnInvariantFailure) {
  Encoder encoder;
  ByteBuffer out;
  const Field fields[] = {plain("", "x")};
  try {
    encoder.encode(fields, out);
    FAIL() << "no exception";
  } catch (const InvariantFailure& e) {
    EXPECT_TRUE(std::string_view(e.what()).starts_with(
        "encoding header without name, but no previous index to use for name"));
  }
  EXPECT_TRUE(out.empty());
  // A new block forgets the previous block's last field.
  const Field first[] = {plain("a", "b")};
  encoder.encode(first, out);
  encoder.begin_block(out);
  EXPECT_THROW(encoder.encode_field(plain("", "x"), out), InvariantFailure);
}

// Each line: the peer's table sizes given before a block, and the size updates
// that open it.
TEST(HpackEncoder, TableSizeUpdates) {
  struct Case {
    const char* what;
    std::vector<uint32_t> sizes;
    const char* hex;
    std::size_t max_size;
  };
  const Case cases[] = {
      {"no change", {4096}, "", 4096},
      {"more than the cap is the cap", {8192}, "", 4096},
      {"lowered", {0}, "20", 0},
      {"lowered, then raised again", {0, 4096}, "203fe11f", 4096},
      {"lowered, raised, raised further", {0, 100, 8192}, "203fe11f", 4096},
      {"lowered twice", {100, 50}, "3f13", 50},
      {"lowered, raised, then below the smaller", {100, 200, 50}, "3f13", 50},
      {"lowered, raised, then between", {100, 200, 150}, "3f453f77", 150},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Encoder encoder;
    for (uint32_t size : c.sizes) encoder.set_header_table_size(size);
    ByteBuffer out;
    encoder.begin_block(out);
    EXPECT_EQ(to_hex(out.view()), c.hex);
    EXPECT_EQ(encoder.table().max_size(), c.max_size);
    // The updates are sent once.
    out.clear();
    encoder.begin_block(out);
    EXPECT_TRUE(out.empty());
  }
}

TEST(HpackEncoder, ShrinkingForgetsEvictedEntries) {
  Encoder encoder;
  const Field fields[] = {plain("x-a", "1"), plain("x-b", "2")};
  ByteBuffer out;
  encoder.encode(fields, out);
  ASSERT_EQ(encoder.table().count(), 2u);
  // 50 octets hold one 36-octet entry: x-a: 1 goes now, x-b: 2 when x-a: 1 is
  // inserted again.  Neither may be found through the index afterwards.
  encoder.set_header_table_size(50);
  out.clear();
  encoder.encode(fields, out);
  EXPECT_EQ(to_hex(out.view()),
            "3f13"
            "40" +
                str("x-a") + str("1") + "40" + str("x-b") + str("2"));
  EXPECT_EQ(encoder.table().count(), 1u);
  out.clear();
  encoder.encode(fields, out);
  EXPECT_EQ(to_hex(out.view()), "40" + str("x-a") + str("1") + "40" + str("x-b") + str("2"));
  encoder.set_header_table_size(0);
  out.clear();
  encoder.encode(fields, out);
  EXPECT_EQ(to_hex(out.view()),
            "20"
            "00" +
                str("x-a") + str("1") + "00" + str("x-b") + str("2"));
  // From a smaller table, a peer allowing 8192 gets the cap announced.
  encoder.set_header_table_size(8192);
  out.clear();
  encoder.begin_block(out);
  EXPECT_EQ(to_hex(out.view()), "3fe11f");
}

// RFC 7541 Appendix C.4 Huffman-codes every literal and makes the same indexing
// choices as this encoder, so its blocks come out octet for octet.
TEST(HpackEncoder, ReproducesAppendixC4) {
  const auto doc = json_lite::parse_file(testing::data_path("rfc7541/appendix_c_examples.json"));
  ASSERT_TRUE(doc);
  for (const auto& group : (*doc)["groups"].items) {
    if (group["group"].string != "C.4") continue;
    Encoder encoder;
    for (const auto& c : group["cases"].items) {
      std::vector<Field> fields;
      for (const auto& h : c["headers"].items) fields.push_back(plain(h.items[0].string, h.items[1].string));
      ByteBuffer out;
      encoder.encode(fields, out);
      EXPECT_EQ(to_hex(out.view()), c["wire_hex"].string) << c["section"].string;
    }
    return;
  }
  FAIL() << "no C.4 group";
}

// The fields of one story case as the encoder gets them from a header collection:
// values of one name after the first go nameless; some values are sensitive.
std::vector<Field> as_fields(const HeaderList& headers, std::mt19937& rng) {
  std::vector<Field> fields;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const bool repeat = i > 0 && headers[i].first == headers[i - 1].first && rng() % 2;
    Field f = plain(repeat ? std::string_view() : std::string_view(headers[i].first), headers[i].second);
    f.sensitive = rng() % 16 == 0;
    fields.push_back(f);
  }
  return fields;
}

HeaderList table_contents(const DynamicTable& table) {
  HeaderList out;
  for (std::size_t i = 0; i < table.count(); ++i)
    out.emplace_back(std::string(table.at(i).name), std::string(table.at(i).value));
  return out;
}

bool is_static_entry(std::string_view name, std::string_view value) {
  for (const auto& e : kStaticTable)
    if (!e.value.empty() && e.name == name && e.value == value) return true;
  return false;
}

constexpr uint32_t kTableSizes[] = {0, 64, 256, 1000, 4096, 8192, 65536};

// Every raw-data story through our encoder and our decoder, the peer's table size
// changing now and then: the fields come back, sensitive marks included, and both
// tables hold the same entries after every block.
TEST(HpackEncoder, RoundTripsEveryRawStory) {
  std::mt19937 rng(7540);
  std::size_t blocks = 0;
  for (const std::string& path : testing::story_paths("raw-data")) {
    const auto story = testing::load_story(path);
    ASSERT_TRUE(story) << path;
    Encoder encoder;
    Decoder decoder;
    for (std::size_t k = 0; k < story->cases.size(); ++k) {
      SCOPED_TRACE(path + " case " + std::to_string(k));
      for (int changes = rng() % 8 == 0 ? 1 + rng() % 2 : 0; changes > 0; --changes) {
        const uint32_t size = kTableSizes[rng() % std::size(kTableSizes)];
        encoder.set_header_table_size(size);
        decoder.set_header_table_size(size);
      }
      const auto fields = as_fields(story->cases[k].headers, rng);
      ByteBuffer out;
      encoder.encode(fields, out);
      CollectSink sink;
      ASSERT_EQ(testing::decode_whole(decoder, out.view(), sink), std::nullopt);
      ASSERT_EQ(sink.list(), story->cases[k].headers);
      // A sensitive field stays never-indexed, unless it is a static entry.
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].sensitive && !sink.fields[i].sensitive) {
          EXPECT_TRUE(is_static_entry(sink.fields[i].name, sink.fields[i].value)) << i;
        }
      }
      ASSERT_EQ(table_contents(decoder.table()), table_contents(encoder.table()));
      ++blocks;
    }
  }
  EXPECT_EQ(blocks, 3384u);
}

#ifdef VANTRIC_HAVE_NGHTTP2

// libnghttp2's inflater, which insists on the size updates RFC 7541 section 4.2
// requires after our side lowers the table size.
class NghttpInflater {
 public:
  NghttpInflater() { nghttp2_hd_inflate_new(&inflater_); }
  ~NghttpInflater() { nghttp2_hd_inflate_del(inflater_); }
  NghttpInflater(const NghttpInflater&) = delete;
  NghttpInflater& operator=(const NghttpInflater&) = delete;

  void set_table_size(uint32_t size) { nghttp2_hd_inflate_change_table_size(inflater_, size); }

  std::optional<HeaderList> inflate(std::string_view block) {
    HeaderList out;
    auto* in = reinterpret_cast<const uint8_t*>(block.data());
    std::size_t left = block.size();
    for (;;) {
      nghttp2_nv nv;
      int flags = 0;
      const auto n = nghttp2_hd_inflate_hd2(inflater_, &nv, &flags, in, left, 1);
      if (n < 0) return std::nullopt;
      in += n;
      left -= static_cast<std::size_t>(n);
      if (flags & NGHTTP2_HD_INFLATE_EMIT)
        out.emplace_back(std::string(reinterpret_cast<char*>(nv.name), nv.namelen),
                         std::string(reinterpret_cast<char*>(nv.value), nv.valuelen));
      if (flags & NGHTTP2_HD_INFLATE_FINAL) break;
      if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0) return std::nullopt;
    }
    nghttp2_hd_inflate_end_headers(inflater_);
    return out;
  }

 private:
  nghttp2_hd_inflater* inflater_ = nullptr;
};

TEST(HpackEncoder, NghttpInflatesEveryRawStory) {
  std::mt19937 rng(9113);
  for (const std::string& path : testing::story_paths("raw-data")) {
    const auto story = testing::load_story(path);
    ASSERT_TRUE(story) << path;
    Encoder encoder;
    NghttpInflater peer;
    for (std::size_t k = 0; k < story->cases.size(); ++k) {
      SCOPED_TRACE(path + " case " + std::to_string(k));
      if (rng() % 8 == 0) {
        const uint32_t size = kTableSizes[rng() % std::size(kTableSizes)];
        encoder.set_header_table_size(size);
        peer.set_table_size(size);
      }
      ByteBuffer out;
      encoder.encode(as_fields(story->cases[k].headers, rng), out);
      const auto decoded = peer.inflate(out.view());
      ASSERT_TRUE(decoded) << to_hex(out.view());
      ASSERT_EQ(*decoded, story->cases[k].headers);
    }
  }
}

// The other way round: libnghttp2's deflater, table size changes included, read
// by our decoder.
TEST(HpackDecoder, ReadsNghttpDeflaterOutput) {
  std::mt19937 rng(7230);
  for (const std::string& path : testing::story_paths("raw-data")) {
    const auto story = testing::load_story(path);
    ASSERT_TRUE(story) << path;
    nghttp2_hd_deflater* deflater = nullptr;
    ASSERT_EQ(nghttp2_hd_deflate_new(&deflater, 4096), 0);
    Decoder decoder;
    for (std::size_t k = 0; k < story->cases.size(); ++k) {
      SCOPED_TRACE(path + " case " + std::to_string(k));
      if (rng() % 8 == 0) {
        const uint32_t size = kTableSizes[rng() % std::size(kTableSizes)];
        nghttp2_hd_deflate_change_table_size(deflater, size);
        decoder.set_header_table_size(size);
      }
      std::vector<nghttp2_nv> nva;
      for (const auto& [name, value] : story->cases[k].headers)
        nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                       reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                       static_cast<uint8_t>(rng() % 16 == 0 ? NGHTTP2_NV_FLAG_NO_INDEX : 0)});
      std::string block(nghttp2_hd_deflate_bound(deflater, nva.data(), nva.size()), '\0');
      const auto n = nghttp2_hd_deflate_hd(deflater, reinterpret_cast<uint8_t*>(block.data()), block.size(),
                                           nva.data(), nva.size());
      ASSERT_GE(n, 0);
      block.resize(static_cast<std::size_t>(n));
      CollectSink sink;
      ASSERT_EQ(testing::decode_whole(decoder, block, sink), std::nullopt);
      ASSERT_EQ(sink.list(), story->cases[k].headers);
    }
    nghttp2_hd_deflate_del(deflater);
  }
}

#endif  // VANTRIC_HAVE_NGHTTP2

}  // namespace
}  // namespace vantric::hpack
