// Split feeding for the HTTP/1 head harnesses: the same bytes fed whole, in
// three pieces and one octet at a time must end exactly alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_buffer.h"
#include "core/progress.h"
#include "fuzz_check.h"

namespace vantric::fuzz {

// Appends `pieces` to one buffer in turn, after each calling
// parse(buffer, out) until it needs more or fails (kDone: one whole head);
// after a failure the rest is only buffered, as a codec would.  Returns what `parse` wrote to `out`,
// then " | " and the bytes left in the buffer.
template <class Parse>
std::string feed(const std::vector<std::string_view>& pieces, Parse&& parse) {
  ByteBuffer buffer;
  std::string out;
  bool failed = false;
  for (std::string_view piece : pieces) {
    buffer.append(piece);
    if (failed) continue;
    // Pipelined heads: parse until more bytes are needed or it fails.
    for (;;) {
      const Progress parsed = parse(buffer, out);
      if (parsed == Progress::kDone) continue;
      failed = parsed == Progress::kFailed;
      break;
    }
  }
  return out + " | " + std::string(buffer.view());
}

// Runs run(pieces) on `wire` whole, cut in three at the positions the octets
// `cut_a` and `cut_b` choose, and (up to 512 octets) one octet at a time;
// aborts unless every run ends as the whole one, which is returned.
template <class Run>
std::string check_splits(std::string_view wire, uint8_t cut_a, uint8_t cut_b, Run&& run) {
  const std::string whole = run(std::vector<std::string_view>{wire});
  std::size_t a = cut_a * wire.size() / 256, b = cut_b * wire.size() / 256;
  if (a > b) std::swap(a, b);
  check(run(std::vector<std::string_view>{wire.substr(0, a), wire.substr(a, b - a), wire.substr(b)}) ==
        whole);
  if (wire.size() <= 512) {
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < wire.size(); ++i) bytes.push_back(wire.substr(i, 1));
    check(run(bytes) == whole);
  }
  return whole;
}

}  // namespace vantric::fuzz
