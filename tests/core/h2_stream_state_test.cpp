// Every stream state against every operation: the next state, the result or
// the exact error.  A transition missing from or added to the machine changes
// some cell and fails the table.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/h2/stream_state.h"

namespace vantric::h2 {
namespace {

enum Op {
  kSendOpen,         // send_open(false)
  kSendOpenEos,      // send_open(true)
  kRecvOpenEos,      // recv_open(true, false)
  kRecvOpenEosInfo,  // recv_open(true, true): END_STREAM decides, not the 1xx flag
  kRecvOpenInfo,     // recv_open(false, true)
  kRecvOpenFinal,    // recv_open(false, false)
  kRecvClose,
  kSendClose,
  kReserveRemote,
  kReserveLocal,
  kRecvReset,        // recv_reset(1, CANCEL, false)
  kRecvResetQueued,  // recv_reset(1, CANCEL, true)
  kRecvEof,
  kAbort,         // abort(GOAWAY from the peer)
  kSetReset,      // set_reset(3, 42, User)
  kSetScheduled,  // set_scheduled_reset(CANCEL)
  kOpCount,
};

// An error reduced to the two refusals of the machine, "!user" and "!proto";
// anything else would be a fault.
std::string refusal(const Error& error) {
  if (auto* user = std::get_if<UserError>(&error);
      user && user->kind == UserErrorKind::kUnexpectedFrameType && user->text() == "unexpected frame type")
    return "!user";
  if (auto* conn = std::get_if<ConnError>(&error);
      conn && conn->variant == ConnError::Variant::kGoAway && conn->debug_data.empty() &&
      conn->reason == code(Reason::kProtocolError) && conn->initiator == Initiator::kLibrary)
    return "!proto";
  return "!unexpected error";
}

std::string outcome(const std::optional<Error>& error) {
  return error ? refusal(*error) : "";
}

std::string outcome(const std::variant<bool, Error>& result) {
  if (auto* error = std::get_if<Error>(&result)) return refusal(*error);
  return std::get<bool>(result) ? "true" : "false";
}

std::string outcome(bool result) {
  return result ? "true" : "false";
}

// Applies `op`: "" for a bare success, "true"/"false" for a boolean result,
// or the refusal.
std::string apply(StreamState& state, Op op) {
  constexpr uint32_t kCancel = code(Reason::kCancel);
  switch (op) {
    case kSendOpen:
      return outcome(state.send_open(false));
    case kSendOpenEos:
      return outcome(state.send_open(true));
    case kRecvOpenEos:
      return outcome(state.recv_open(true, false));
    case kRecvOpenEosInfo:
      return outcome(state.recv_open(true, true));
    case kRecvOpenInfo:
      return outcome(state.recv_open(false, true));
    case kRecvOpenFinal:
      return outcome(state.recv_open(false, false));
    case kRecvClose:
      return outcome(state.recv_close());
    case kSendClose:
      return outcome(state.send_close());
    case kReserveRemote:
      return outcome(state.reserve_remote());
    case kReserveLocal:
      return outcome(state.reserve_local());
    case kRecvReset:
      state.recv_reset(1, kCancel, false);
      return "";
    case kRecvResetQueued:
      state.recv_reset(1, kCancel, true);
      return "";
    case kRecvEof:
      state.recv_eof();
      return "";
    case kAbort:
      state.abort(ConnError::go_away("bye\n\x80", code(Reason::kProtocolError), Initiator::kRemote));
      return "";
    case kSetReset:
      state.set_reset(3, 42, Initiator::kUser);
      return "";
    case kSetScheduled:
      return outcome(state.set_scheduled_reset(kCancel));
    case kOpCount:
      break;
  }
  return "!bad op";
}

constexpr std::string_view kIo = "Io(BrokenPipe, Some(\"stream closed because of a broken pipe\"))";
constexpr std::string_view kGoAway = "GoAway(b\"bye\\n\\x80\", PROTOCOL_ERROR, Remote)";

struct StateCase {
  const char* label;
  std::vector<Op> recipe;  // from Idle, no step refused
  std::string repr;
  // is_idle closed reset scheduled_reset local_error remote_reset
  // send_streaming send_closed recv_headers recv_streaming recv_end_stream
  const char* predicates;
  std::string recv_open;  // ensure_recv_open(): "true", "false" or the error's repr
};

const std::vector<StateCase>& states() {
  static const std::vector<StateCase> cases = {
      {"Idle", {}, "Idle", "10000000100", "true"},
      {"RL", {kReserveLocal}, "ReservedLocal", "00000000000", "false"},
      {"RR", {kReserveRemote}, "ReservedRemote", "00000001100", "true"},
      {"O:AA",
       {kRecvOpenInfo},
       "Open { local: AwaitingHeaders, remote: AwaitingHeaders }",
       "00000000100",
       "true"},
      {"O:AS", {kRecvOpenFinal}, "Open { local: AwaitingHeaders, remote: Streaming }", "00000000010", "true"},
      {"O:SA", {kSendOpen}, "Open { local: Streaming, remote: AwaitingHeaders }", "00000010100", "true"},
      {"O:SS",
       {kSendOpen, kRecvOpenFinal},
       "Open { local: Streaming, remote: Streaming }",
       "00000010010",
       "true"},
      {"HCL:A", {kSendOpenEos}, "HalfClosedLocal(AwaitingHeaders)", "00000001100", "true"},
      {"HCL:S", {kSendOpenEos, kRecvOpenFinal}, "HalfClosedLocal(Streaming)", "00000001010", "true"},
      {"HCR:A", {kRecvOpenEos}, "HalfClosedRemote(AwaitingHeaders)", "00000000001", "false"},
      {"HCR:S", {kRecvOpenEos, kSendOpen}, "HalfClosedRemote(Streaming)", "00000010001", "false"},
      {"C:End", {kSendOpenEos, kRecvOpenEos}, "Closed(EndStream)", "01000001001", "false"},
      {"C:Remote",
       {kSendOpen, kRecvReset},
       "Closed(Error(Reset(StreamId(1), CANCEL, Remote)))",
       "01100101000",
       "Reset(StreamId(1), CANCEL, Remote)"},
      {"C:User",
       {kSetReset},
       "Closed(Error(Reset(StreamId(3), Reason(42), User)))",
       "01101001000",
       "Reset(StreamId(3), Reason(42), User)"},
      {"C:Io",
       {kSendOpen, kRecvEof},
       "Closed(Error(" + std::string(kIo) + "))",
       "01101001000",
       std::string(kIo)},
      {"C:GoAway",
       {kSendOpen, kAbort},
       "Closed(Error(" + std::string(kGoAway) + "))",
       "01100001000",
       std::string(kGoAway)},
      {"CA:Remote",
       {kRecvOpenEos, kRecvReset},
       "Closed(ErrorAfterEndStream(Reset(StreamId(1), CANCEL, Remote)))",
       "01100101001",
       "false"},
      {"CA:Io",
       {kRecvOpenEos, kRecvEof},
       "Closed(ErrorAfterEndStream(" + std::string(kIo) + "))",
       "01101001001",
       "false"},
      {"CA:GoAway",
       {kRecvOpenEos, kAbort},
       "Closed(ErrorAfterEndStream(" + std::string(kGoAway) + "))",
       "01100001001",
       "false"},
      {"C:Sched",
       {kSetScheduled},
       "Closed(ScheduledLibraryReset(CANCEL))",
       "01111001000",
       "GoAway(b\"\", CANCEL, Library)"},
  };
  return cases;
}

// Per state, per Op column: the next state's label, "=" for unchanged, and
// after a "/" the result; a refusal ("!user", "!proto") leaves the state.
struct Row {
  const char* label;
  std::array<const char*, kOpCount> cells;
};

// Columns: SendOpen SendOpenEos RecvOpenEos RecvOpenEosInfo RecvOpenInfo
// RecvOpenFinal RecvClose SendClose ReserveRemote ReserveLocal RecvReset
// RecvResetQueued RecvEof Abort SetReset SetScheduled.
// RESETS: the last six columns of a stream not yet closed; `after` is "CA:" once
// the peer's END_STREAM arrived, else "C:".  CLOSED: a closed stream, which
// only a queued peer reset and set_reset change.
#define RESETS(after) after "Remote", after "Remote", after "Io", after "GoAway", "C:User", "C:Sched/true"
#define CLOSED(queued)                                                                                   \
  "!user", "!user", "!proto", "!proto", "!proto", "!proto", "!proto", "=/false", "!proto", "!user", "=", \
      queued, "=", "=", "C:User", "=/false"
const Row kRows[] = {
    {"Idle",
     {"O:SA", "HCL:A", "HCR:A/true", "HCR:A/true", "O:AA/true", "O:AS/true", "!proto", "=/false", "RR", "RL",
      RESETS("C:")}},
    {"RL",
     {"HCR:S", "C:End", "!proto", "!proto", "!proto", "!proto", "!proto", "=/false", "!proto", "!user",
      RESETS("C:")}},
    {"RR",
     {"!user", "!user", "C:End/true", "C:End/true", "=/true", "HCL:S/true", "!proto", "=/false", "!proto",
      "!user", RESETS("C:")}},
    {"O:AA",
     {"O:SA", "HCL:A", "HCR:A/false", "HCR:A/false", "=/false", "O:AS/false", "HCR:A", "=/false", "!proto",
      "!user", RESETS("C:")}},
    {"O:AS",
     {"O:SS", "HCL:S", "!proto", "!proto", "!proto", "!proto", "HCR:A", "=/false", "!proto", "!user",
      RESETS("C:")}},
    {"O:SA",
     {"!user", "!user", "HCR:S/false", "HCR:S/false", "=/false", "O:SS/false", "HCR:S", "HCL:A/true",
      "!proto", "!user", RESETS("C:")}},
    {"O:SS",
     {"!user", "!user", "!proto", "!proto", "!proto", "!proto", "HCR:S", "HCL:S/true", "!proto", "!user",
      RESETS("C:")}},
    {"HCL:A",
     {"!user", "!user", "C:End/false", "C:End/false", "=/false", "HCL:S/false", "C:End", "=/false", "!proto",
      "!user", RESETS("C:")}},
    {"HCL:S",
     {"!user", "!user", "!proto", "!proto", "!proto", "!proto", "C:End", "=/false", "!proto", "!user",
      RESETS("C:")}},
    {"HCR:A",
     {"HCR:S", "C:End", "!proto", "!proto", "!proto", "!proto", "!proto", "=/false", "!proto", "!user",
      RESETS("CA:")}},
    {"HCR:S",
     {"!user", "!user", "!proto", "!proto", "!proto", "!proto", "!proto", "C:End/true", "!proto", "!user",
      RESETS("CA:")}},
    {"C:End", {CLOSED("CA:Remote")}},
    {"C:Remote", {CLOSED("C:Remote")}},
    {"C:User", {CLOSED("C:Remote")}},
    {"C:Io", {CLOSED("C:Remote")}},
    {"C:GoAway", {CLOSED("C:Remote")}},
    {"CA:Remote", {CLOSED("CA:Remote")}},
    {"CA:Io", {CLOSED("CA:Remote")}},
    {"CA:GoAway", {CLOSED("CA:Remote")}},
    {"C:Sched", {CLOSED("C:Remote")}},
};
#undef RESETS
#undef CLOSED

StreamState build(const StateCase& c) {
  StreamState state;
  for (Op op : c.recipe) {
    EXPECT_FALSE(apply(state, op).starts_with('!')) << c.label << ": recipe step " << op;
  }
  return state;
}

const StateCase* find_state(std::string_view label) {
  for (const StateCase& c : states())
    if (label == c.label) return &c;
  return nullptr;
}

std::string predicates(const StreamState& s) {
  const bool values[] = {
      s.is_idle(),         s.is_closed(),         s.is_reset(),          s.is_scheduled_reset(),
      s.is_local_error(),  s.is_remote_reset(),   s.is_send_streaming(), s.is_send_closed(),
      s.is_recv_headers(), s.is_recv_streaming(), s.is_recv_end_stream()};
  std::string out;
  for (bool v : values) out += v ? '1' : '0';
  return out;
}

TEST(H2StateTable, EveryStateHasItsReprPredicatesAndRecvOpenAnswer) {
  for (const StateCase& c : states()) {
    SCOPED_TRACE(c.label);
    StreamState state = build(c);
    EXPECT_EQ(state.repr(), c.repr);
    EXPECT_EQ(predicates(state), c.predicates);

    std::variant<bool, Error> open = state.ensure_recv_open();
    if (auto* error = std::get_if<Error>(&open)) {
      auto* conn = std::get_if<ConnError>(error);
      ASSERT_NE(conn, nullptr);
      EXPECT_EQ(conn_error_repr(*conn), c.recv_open);
    } else {
      EXPECT_EQ(std::get<bool>(open) ? "true" : "false", c.recv_open);
    }
    std::optional<uint32_t> scheduled = state.get_scheduled_reset();
    EXPECT_EQ(scheduled, state.is_scheduled_reset() ? std::optional<uint32_t>(8) : std::nullopt);
  }
}

TEST(H2StateTable, EveryOperationFromEveryState) {
  ASSERT_EQ(std::size(kRows), states().size());
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    const Row& row = kRows[i];
    const StateCase& from = states()[i];
    ASSERT_STREQ(row.label, from.label);
    for (int op = 0; op < kOpCount; ++op) {
      const char* cell = row.cells[op];
      ASSERT_NE(cell, nullptr) << from.label << " op " << op;
      SCOPED_TRACE(std::string(from.label) + " op " + std::to_string(op) + " cell " + cell);

      std::string_view expected(cell);
      std::string_view next = expected, result;
      if (expected.starts_with('!')) {
        next = "=";
        result = expected;
      } else if (std::size_t slash = expected.find('/'); slash != std::string_view::npos) {
        next = expected.substr(0, slash);
        result = expected.substr(slash + 1);
      }
      const StateCase* to = next == "=" ? &from : find_state(next);
      ASSERT_NE(to, nullptr) << "unknown state " << next;

      StreamState state = build(from);
      EXPECT_EQ(apply(state, static_cast<Op>(op)), result);
      EXPECT_EQ(state.repr(), to->repr);
    }
  }
}

TEST(H2StateRepr, ErrorValuesSpelledOut) {
  struct Case {
    ConnError error;
    std::string_view repr;
  };
  const Case cases[] = {
      {ConnError::reset(2147483647, 13, Initiator::kLibrary),
       "Reset(StreamId(2147483647), HTTP_1_1_REQUIRED, Library)"},
      {ConnError::reset(5, 14, Initiator::kRemote), "Reset(StreamId(5), Reason(14), Remote)"},
      {ConnError::go_away("\"q\\\t\x01", 0, Initiator::kUser),
       "GoAway(b\"\\\"q\\\\\\t\\x01\", NO_ERROR, User)"},
      {ConnError::io(IoKind::kUnexpectedEof), "Io(UnexpectedEof, None)"},
      {ConnError::io(IoKind::kOther, "caf\xc3\xa9 \"x\"\n"), "Io(Other, Some(\"caf\xc3\xa9 \\\"x\\\"\\n\"))"},
  };
  for (const Case& c : cases) EXPECT_EQ(conn_error_repr(c.error), c.repr);
}

TEST(H2StateInitiator, ParsesExactlyTheThreeNames) {
  EXPECT_EQ(parse_initiator("user"), Initiator::kUser);
  EXPECT_EQ(parse_initiator("library"), Initiator::kLibrary);
  EXPECT_EQ(parse_initiator("remote"), Initiator::kRemote);
  for (std::string_view bad : {"peer", "User", "", "remote "}) EXPECT_FALSE(parse_initiator(bad));
  EXPECT_EQ(initiator_error_message("peer"), "initiator must be 'user' | 'library' | 'remote', got peer");
}

}  // namespace
}  // namespace vantric::h2
