// HPACK decode and encode throughput over the hpack-test-case stories, in ns per
// header block, with libnghttp2's inflater and deflater measured in the same run
// when the build defines VANTRIC_HAVE_NGHTTP2 and links libnghttp2.
//
// Usage: hpack_bench [DATA_DIR]   (default: VANTRIC_DATA_DIR when the build defines
// it, else data under the working directory)
//
// Decoding replays every block of the 128 encoder stories, each story with a fresh
// decoder, as a connection would; the sink only looks at each field.  Encoding
// turns every header list of the 32 raw-data stories into a block, again one
// encoder per story.  Each figure is the best of 15 rounds, ours and the
// anchor interleaved.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../../tests/core/json_lite.h"  // the test data's JSON reader
#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/encoder.h"

#ifdef VANTRIC_HAVE_NGHTTP2
#include <nghttp2/nghttp2.h>
#endif

namespace {

using namespace vantric::hpack;
namespace fs = std::filesystem;

struct Header {
  std::string name;
  std::string value;
};

struct Story {
  std::vector<std::string> blocks;                // wire, for decoding
  std::vector<std::vector<Header>> header_lists;  // for encoding
};

std::string from_hex(const std::string& hex) {
  std::string out;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return out;
}

std::vector<Story> load(const fs::path& root, bool raw) {
  std::vector<fs::path> paths;
  for (const auto& dir : fs::directory_iterator(root)) {
    if (!dir.is_directory() || (dir.path().filename() == "raw-data") != raw) continue;
    for (const auto& f : fs::directory_iterator(dir.path()))
      if (f.path().extension() == ".json") paths.push_back(f.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Story> stories;
  for (const auto& path : paths) {
    const auto doc = json_lite::parse_file(path.string());
    if (!doc) continue;
    Story story;
    for (const auto& c : (*doc)["cases"].items) {
      if (!raw) story.blocks.push_back(from_hex(c["wire"].string));
      std::vector<Header> list;
      for (const auto& h : c["headers"].items) list.push_back({h.keys.at(0), h.items.at(0).string});
      story.header_lists.push_back(std::move(list));
    }
    stories.push_back(std::move(story));
  }
  return stories;
}

// ns per block of one call of `run`, which handles `blocks` blocks.
double time_ns_per_block(const std::function<void()>& run, std::size_t blocks) {
  const auto t0 = std::chrono::steady_clock::now();
  for (int rep = 0; rep < 4; ++rep) run();
  const std::chrono::duration<double, std::nano> dt = std::chrono::steady_clock::now() - t0;
  return dt.count() / (4.0 * static_cast<double>(blocks));
}

struct Pair {
  double ours = 1e300;
  double anchor = 0;  // 0: not measured
};

// The best time of each side over interleaved rounds, so that a busy machine
// slows both alike.
Pair compare(const std::function<void()>& ours, const std::function<void()>& anchor, std::size_t blocks) {
  constexpr int kRounds = 15;
  Pair best;
  ours();  // warm the caches and the allocator
  if (anchor) {
    anchor();
    best.anchor = 1e300;
  }
  for (int r = 0; r < kRounds; ++r) {
    best.ours = std::min(best.ours, time_ns_per_block(ours, blocks));
    if (anchor) best.anchor = std::min(best.anchor, time_ns_per_block(anchor, blocks));
  }
  return best;
}

class CountSink final : public FieldSink {
 public:
  bool on_field(const Field& f) override {
    octets += f.name.size() + f.value.size();
    return true;
  }
  std::size_t octets = 0;
};

void report(const char* what, double ours, double anchor) {
  if (anchor > 0)
    std::printf("%-8s %10.1f ns/block   nghttp2 %10.1f ns/block   ratio %.2f\n", what, ours, anchor,
                ours / anchor);
  else
    std::printf("%-8s %10.1f ns/block\n", what, ours);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef VANTRIC_DATA_DIR
  const fs::path data = argc > 1 ? fs::path(argv[1]) : fs::path(VANTRIC_DATA_DIR);
#else
  const fs::path data = argc > 1 ? fs::path(argv[1]) : fs::path("data");
#endif
  const auto encoded = load(data / "hpack-test-case", false);
  const auto raw = load(data / "hpack-test-case", true);
  std::size_t decode_blocks = 0, encode_blocks = 0, checksum = 0;
  for (const auto& s : encoded) decode_blocks += s.blocks.size();
  for (const auto& s : raw) encode_blocks += s.header_lists.size();
  if (decode_blocks == 0 || encode_blocks == 0) {
    std::fprintf(stderr, "no stories under %s\n", data.string().c_str());
    return 1;
  }
  std::printf("%zu stories, %zu blocks to decode; %zu stories, %zu header lists to encode\n", encoded.size(),
              decode_blocks, raw.size(), encode_blocks);

  const auto decode_ours = [&] {
    CountSink sink;
    for (const auto& story : encoded) {
      Decoder decoder;
      for (const auto& block : story.blocks) {
        std::string_view in = block;
        if (decoder.decode(in, true, sink) != std::nullopt) std::abort();
      }
    }
    checksum += sink.octets;
  };

  std::vector<std::vector<std::vector<Field>>> fields(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i)
    for (const auto& list : raw[i].header_lists) {
      fields[i].emplace_back();
      for (const auto& h : list) fields[i].back().push_back({h.name, h.value, Pseudo::kNone, false});
    }
  const auto encode_ours = [&] {
    vantric::ByteBuffer out;
    for (const auto& story : fields) {
      Encoder encoder;
      for (const auto& list : story) {
        out.clear();
        encoder.encode(list, out);
        checksum += out.size();
      }
    }
  };

  std::function<void()> decode_anchor, encode_anchor;
#ifdef VANTRIC_HAVE_NGHTTP2
  decode_anchor = [&] {
    std::size_t octets = 0;
    for (const auto& story : encoded) {
      nghttp2_hd_inflater* inflater;
      nghttp2_hd_inflate_new(&inflater);
      for (const auto& block : story.blocks) {
        auto* in = reinterpret_cast<const uint8_t*>(block.data());
        std::size_t left = block.size();
        for (;;) {
          nghttp2_nv nv;
          int flags = 0;
          const auto n = nghttp2_hd_inflate_hd2(inflater, &nv, &flags, in, left, 1);
          if (n < 0) std::abort();
          in += n;
          left -= static_cast<std::size_t>(n);
          if (flags & NGHTTP2_HD_INFLATE_EMIT) octets += nv.namelen + nv.valuelen;
          if (flags & NGHTTP2_HD_INFLATE_FINAL) break;
        }
        nghttp2_hd_inflate_end_headers(inflater);
      }
      nghttp2_hd_inflate_del(inflater);
    }
    checksum += octets;
  };

  std::vector<std::vector<std::vector<nghttp2_nv>>> nvs(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i)
    for (const auto& list : raw[i].header_lists) {
      nvs[i].emplace_back();
      for (const auto& h : list)
        nvs[i].back().push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(h.name.data())),
                                 reinterpret_cast<uint8_t*>(const_cast<char*>(h.value.data())), h.name.size(),
                                 h.value.size(), NGHTTP2_NV_FLAG_NONE});
    }
  encode_anchor = [&] {
    std::vector<uint8_t> out(1 << 16);
    for (const auto& story : nvs) {
      nghttp2_hd_deflater* deflater;
      nghttp2_hd_deflate_new(&deflater, 4096);
      for (const auto& list : story) {
        const auto n = nghttp2_hd_deflate_hd(deflater, out.data(), out.size(), list.data(), list.size());
        if (n < 0) std::abort();
        checksum += static_cast<std::size_t>(n);
      }
      nghttp2_hd_deflate_del(deflater);
    }
  };
#endif

  const Pair decode = compare(decode_ours, decode_anchor, decode_blocks);
  report("decode", decode.ours, decode.anchor);
  const Pair encode = compare(encode_ours, encode_anchor, encode_blocks);
  report("encode", encode.ours, encode.anchor);
  std::printf("(checksum %zu)\n", checksum % 1000);
  return 0;
}
