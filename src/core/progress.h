// The outcome of feeding octets to an incremental parser.
#pragma once

#include <cstdint>

namespace vantric {

// kNeedMore: what arrived so far is well-formed but incomplete; call again
// with more octets.  kDone: one whole unit was recognised.  kFailed: the
// octets are malformed; the parser's own error value says how.
enum class Progress : uint8_t { kNeedMore, kDone, kFailed };

}  // namespace vantric
