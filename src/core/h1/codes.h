// Result codes of the HTTP/1 connection states, shared with the drivers.
#pragma once

#include <cstdint>

namespace vantric::h1 {

// What a completed background read on a connection means.
enum class WatchVerdict : uint8_t {
  Handoff = 0,    // an exchange is active: the read belongs to it
  IdleEof = 1,    // the idle connection was closed by the peer
  IdleBytes = 2,  // unexpected bytes on an idle connection
  IdleError = 3,  // the idle read failed
  Ignored = 4,    // a racing close already committed
};

// The server's read step.  The "next" verdicts and the "read" verdicts form
// one numbering because one call returns either.
enum class ReadStep : uint8_t {
  NextNone = 0,
  NextRaise = 1,
  NextClose = 2,
  NextDrain = 3,
  ReadParse = 4,
  ReadShutdown = 5,
  ReadWatcher = 6,
  ReadTransport = 7,
  ReadEof = 8,
};

// The server's response claim.
enum class RequestClaim : uint8_t {
  Ok = 0,
  Already = 1,
  Stale = 2,
  Parked = 3,
  PeerClosed = 4,
  Continue = 5,
};

}  // namespace vantric::h1
