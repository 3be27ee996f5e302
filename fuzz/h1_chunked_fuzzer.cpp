// Property: a chunked body gives content pieces, trailers and completion, or
// one of the specified Body errors; never a crash, a hang or an over-read.
// Feeding it whole, one octet at a time, or cut at pseudo-random points
// (through each of the three ways of feeding) gives the same outcome.
//
// Input: one control octet (bit 0: mark end of file after the input; the
// rest seeds the cut points), then the bytes on the wire.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/h1/body_decoder.h"
#include "fuzz_check.h"

namespace {

using vantric::ByteBuffer;
using vantric::fuzz::check;
using vantric::h1::BodyDecoder;
using vantric::h1::Error;

struct Outcome {
  std::string body;
  std::string error;
  std::string trailers;
  bool complete = false;
  std::size_t buffered = 0;
  bool operator==(const Outcome&) const = default;
};

enum class Mode : uint8_t { kBorrow, kCopy, kBuffer };

Outcome run(std::string_view input, const std::vector<std::size_t>& ends, bool eof, uint32_t mode_bits) {
  BodyDecoder d = BodyDecoder::chunked();
  std::vector<std::unique_ptr<char[]>> blocks;
  Outcome out;
  auto drain = [&] {
    for (int guard = 0;; ++guard) {
      check(guard <= static_cast<int>(input.size()) + 2);  // every piece consumes input
      std::string_view piece;
      if (std::optional<Error> error = d.decode(piece)) {
        out.error = std::string(error->io_kind()) + ": " + error->message();
        check(!d.is_complete());
        return false;
      }
      if (piece.empty()) return true;
      out.body.append(piece);
    }
  };
  std::size_t pos = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    const std::string_view piece = input.substr(pos, ends[i] - pos);
    pos = ends[i];
    switch (static_cast<Mode>((mode_bits >> (2 * (i % 16))) % 3)) {
      case Mode::kBorrow:
        if (!piece.empty()) {
          blocks.push_back(std::make_unique<char[]>(piece.size()));
          std::memcpy(blocks.back().get(), piece.data(), piece.size());
          d.feed_borrowed({blocks.back().get(), piece.size()});
        }
        break;
      case Mode::kCopy:
        d.feed(piece);
        break;
      case Mode::kBuffer: {
        ByteBuffer b;
        b.append(piece);
        d.append(std::move(b));
        break;
      }
    }
    if (!drain()) {
      d.feed(input.substr(pos));
      break;
    }
  }
  if (out.error.empty() && eof) {
    d.mark_eof();
    drain();
    // At end of file a chunked body either completed or failed.
    check(d.is_complete() || !out.error.empty());
  }
  out.complete = d.is_complete();
  out.buffered = d.buffered();
  check(out.body.size() + out.buffered <= input.size());
  if (auto map = d.take_trailers()) {
    check(out.complete && map->size() <= BodyDecoder::kMaxTrailerLines);
    for (const auto& field : *map)
      out.trailers.append(field.name).append(":").append(field.value).append("\n");
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const bool eof = control & 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  const Outcome whole = run(input, {input.size()}, eof, 0);

  std::vector<std::size_t> every;
  for (std::size_t i = 1; i <= input.size(); ++i) every.push_back(i);
  check(run(input, every, eof, 0x5555'5555u) == whole);  // one octet at a time, copied

  // Pseudo-random cuts from the control octet and the input itself.
  uint32_t state = 0x9e3779b9u ^ control ^ static_cast<uint32_t>(input.size()) << 8;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::vector<std::size_t> cuts;
  for (std::size_t pos = 0; pos < input.size();) {
    pos += 1 + next() % (input.size() / 4 + 8);
    cuts.push_back(pos < input.size() ? pos : input.size());
  }
  if (cuts.empty()) cuts.push_back(0);
  check(run(input, cuts, eof, next()) == whole);
  return 0;
}
