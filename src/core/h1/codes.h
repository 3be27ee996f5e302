// Result codes of the HTTP/1 connection states, shared with the drivers.
#pragma once

#include <cstdint>

namespace vantric::h1 {

// What a completed background read on a connection means.
enum class WatchVerdict : uint8_t {
  kHandoff = 0,    // an exchange is active: the read belongs to it
  kIdleEof = 1,    // the idle connection was closed by the peer
  kIdleBytes = 2,  // unexpected bytes on an idle connection
  kIdleError = 3,  // the idle read failed
  kIgnored = 4,    // a racing close already committed
};

// The server's read step.  The "next" verdicts and the "read" verdicts form
// one numbering because one call returns either.
enum class ReadStep : uint8_t {
  kNextNone = 0,
  kNextRaise = 1,
  kNextClose = 2,
  kNextDrain = 3,
  kReadParse = 4,
  kReadShutdown = 5,
  kReadWatcher = 6,
  kReadTransport = 7,
  kReadEof = 8,
};

// The server's response claim.
enum class RequestClaim : uint8_t {
  kOk = 0,
  kAlready = 1,
  kStale = 2,
  kParked = 3,
  kPeerClosed = 4,
  kContinue = 5,
};

}  // namespace vantric::h1
