#include "core/h1/server_state.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vantric::h1 {
namespace {

// A stand-in for host objects: an id, and the octets a codec's read buffer, a
// decoder's bytes past its body or a watcher's data hold.  Shared, so the
// test keeps seeing an object the state holds.
struct Fake {
  int id = 0;
  std::string bytes;
  int resets = 0;
};

struct Handle {
  std::shared_ptr<Fake> p;
  Handle() = default;
  explicit Handle(int id, std::string bytes = {}) : p(std::make_shared<Fake>(Fake{id, std::move(bytes)})) {}
  explicit operator bool() const { return static_cast<bool>(p); }
  Handle share() const {
    Handle h;
    h.p = p;
    return h;
  }
  int id() const { return p ? p->id : 0; }
};

ByteBuffer take(std::string& bytes) {
  ByteBuffer out;
  out.append(bytes);
  bytes.clear();
  return out;
}

struct FakePeers {
  static std::size_t codec_buffered(const Handle& codec) { return codec.p->bytes.size(); }
  static void codec_feed(const Handle& codec, ByteBuffer&& bytes) { codec.p->bytes.append(bytes.view()); }
  static void codec_feed_data(const Handle& codec, const Handle& data) { codec.p->bytes += data.p->bytes; }
  static ByteBuffer codec_take(const Handle& codec) { return take(codec.p->bytes); }
  static void codec_reset(const Handle& codec) { ++codec.p->resets; }
  static ByteBuffer decoder_take_buffered(const Handle& decoder) { return take(decoder.p->bytes); }
};

using State = ServerState<Handle, FakePeers>;
using Step = State::Step;

constexpr int kCodec = 1;
constexpr int kTransport = 2;
constexpr int kDone = 3;

// One connection with its codec and transport, and the calls a driver makes,
// each with a fresh Dropped record.
struct Conn {
  Handle codec{kCodec};
  State s;
  int next_decoder = 100;

  explicit Conn(bool keep_alive = true, bool half_close = false)
      : s(codec.share(), Handle(kTransport), keep_alive, half_close) {}

  Step begin_read() {
    Dropped<Handle> d;
    return s.begin_read(d);
  }
  Step drain_done(bool complete) {
    Dropped<Handle> d;
    return s.drain_done(complete, d);
  }
  // Accepts a head; `past` is what its decoder holds past (or of) the body.
  uint64_t accept(RequestFacts facts = {.keep_alive = true}, bool complete = true, std::string past = {}) {
    Dropped<Handle> d;
    return s.accept(facts, Handle(next_decoder++, std::move(past)), complete, d);
  }
  // respond_head with an encoder that succeeds with the given verdicts and
  // records the keep-alive it was asked for.
  State::Respond respond(uint64_t seq, uint16_t status = 200, bool want = false, ResponseVerdicts verdicts = {},
                         bool* keep_alive = nullptr, Handle* done_out = nullptr) {
    Handle done(kDone);
    auto out = s.respond_head(seq, status, want, done, [&](bool ka, bool) {
      if (keep_alive != nullptr) *keep_alive = ka;
      return std::optional<ResponseVerdicts>(verdicts);
    });
    if (done_out != nullptr) *done_out = std::move(done);
    return out;
  }
  bool arm(uint64_t seq, bool want = true, bool head_negotiated = false) {
    Handle done(kDone);
    return s.arm_watcher(seq, done, want, head_negotiated);
  }
  bool completed(std::string* data, bool error = false) {
    Dropped<Handle> d;
    Handle data_obj = data != nullptr ? Handle(50, *data) : Handle();
    const bool has_bytes = data != nullptr && !data->empty();
    return s.watcher_completed(std::move(data_obj), has_bytes, error ? Handle(60) : Handle(), d);
  }
};

std::string bytes_of(const std::optional<ByteBuffer>& buffer) {
  return buffer ? std::string(buffer->view()) : std::string("<none>");
}

// ---- the read step ------------------------------------------------------------------

TEST(H1ServerState, ReadStepTable) {
  struct Case {
    const char* name;
    std::function<void(Conn&)> setup;
    ReadStep code;
    int object;  // id of the object handed back, 0 for none
  };
  const Case cases[] = {
      {"fresh", [](Conn&) {}, ReadStep::ReadTransport, kTransport},
      {"bytes buffered", [](Conn& c) { c.codec.p->bytes = "GET"; }, ReadStep::ReadParse, 0},
      {"shutdown, not parked", [](Conn& c) { c.s.request_shutdown(); }, ReadStep::NextNone, 0},
      {"closed", [](Conn& c) { c.s.stop_serving(); }, ReadStep::NextNone, 0},
      {"unusable", [](Conn& c) { c.s.mark_unusable(); }, ReadStep::NextNone, 0},
      {"no transport", [](Conn& c) { c.s = State(c.codec.share(), Handle(), true, false); }, ReadStep::ReadEof,
       0},
      {"response unfinished", [](Conn& c) { c.accept(); }, ReadStep::NextRaise, 0},
      {"finished, body read",
       [](Conn& c) {
         auto seq = c.accept();
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::ReadTransport, kTransport},
      {"finished, bytes past the body",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, true, "GET / HTTP/1.1\r\n");
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::ReadParse, 0},
      {"finished, body unread",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, false);
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::NextDrain, 0},
      {"finished, body reader parked",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, false);
         c.s.begin_body_read(seq);
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::NextClose, kTransport},
      {"finished, watcher holds the read",
       [](Conn& c) {
         auto seq = c.accept();
         c.respond(seq, 200, true);
         c.s.finish_response(seq);
       },
       ReadStep::ReadWatcher, kDone},
      {"window closed early, then finished",
       [](Conn& c) {
         auto seq = c.accept();
         c.s.close_window(seq);
       },
       ReadStep::ReadTransport, kTransport},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Conn conn;
    c.setup(conn);
    Step step = conn.begin_read();
    EXPECT_EQ(step.code, c.code);
    EXPECT_EQ(step.object.id(), c.object);
    const bool parks = c.code == ReadStep::ReadTransport || c.code == ReadStep::ReadWatcher;
    EXPECT_EQ(conn.s.idle_read_parked(), parks);
    EXPECT_EQ(conn.s.closed(), c.code == ReadStep::NextClose || c.name == std::string("closed"));
    if (c.code >= ReadStep::ReadParse) {
      // The ready step ran: the decoder is gone and the request window over.
      EXPECT_FALSE(conn.s.decoder());
      EXPECT_TRUE(conn.s.request().response_done && conn.s.request().body_complete);
      EXPECT_GE(conn.codec.p->resets, 1);
    }
  }
}

TEST(H1ServerState, DrainOutcomes) {
  for (bool complete : {true, false}) {
    Conn c;
    auto seq = c.accept({.keep_alive = true}, false, "");
    c.respond(seq);
    c.s.finish_response(seq);
    ASSERT_EQ(c.begin_read().code, ReadStep::NextDrain);
    EXPECT_TRUE(c.s.request().read_owned);
    EXPECT_FALSE(c.s.begin_body_read(seq));  // the drain owns the read
    // The drain left the next request's first bytes in the decoder.
    c.s.decoder().p->bytes = "GET /next";
    Step step = c.drain_done(complete);
    EXPECT_FALSE(c.s.request().read_owned);
    if (complete) {
      EXPECT_EQ(step.code, ReadStep::ReadParse);
      EXPECT_EQ(c.codec.p->bytes, "GET /next");
      EXPECT_TRUE(c.s.reusable());
    } else {
      EXPECT_EQ(step.code, ReadStep::NextClose);
      EXPECT_EQ(step.object.id(), kTransport);
      EXPECT_TRUE(c.s.closed() && !c.s.reusable());
    }
  }
}

TEST(H1ServerState, ShutdownAndTheParkedIdleRead) {
  Conn c;
  ASSERT_EQ(c.begin_read().code, ReadStep::ReadTransport);
  EXPECT_EQ(c.s.request_shutdown().id(), kTransport);  // closing it ends the read
  EXPECT_TRUE(c.s.unpark_idle_read());
  EXPECT_EQ(c.begin_read().code, ReadStep::NextNone);

  // Unparked before the shutdown: the head being read is served to the end.
  Conn d;
  d.begin_read();
  EXPECT_FALSE(d.s.unpark_idle_read());
  EXPECT_FALSE(d.s.request_shutdown());
  EXPECT_FALSE(d.s.closed());
  auto seq = d.accept();
  bool keep_alive = true;
  d.respond(seq, 200, false, {.is_last = true}, &keep_alive);
  EXPECT_FALSE(keep_alive);  // the response announces the close
  auto fin = d.s.finish_response(seq);
  EXPECT_TRUE(fin.close);
  EXPECT_EQ(fin.transport.id(), kTransport);

  // A shutdown during a drain: the drained connection serves no more.
  Conn e;
  seq = e.accept({.keep_alive = true}, false);
  e.respond(seq);
  e.s.finish_response(seq);
  ASSERT_EQ(e.begin_read().code, ReadStep::NextDrain);
  e.s.request_shutdown();
  EXPECT_EQ(e.drain_done(true).code, ReadStep::ReadShutdown);
}

// ---- the response claim ---------------------------------------------------------------

TEST(H1ServerState, ResponseClaims) {
  Conn c;
  EXPECT_EQ(c.respond(0).code, RequestClaim::Stale);
  auto seq = c.accept();
  EXPECT_EQ(seq, 1u);
  EXPECT_EQ(c.respond(seq + 1).code, RequestClaim::Stale);
  auto first = c.respond(seq);
  EXPECT_EQ(first.code, RequestClaim::Ok);
  EXPECT_TRUE(first.encoded);
  EXPECT_EQ(c.respond(seq).code, RequestClaim::Already);
  c.s.finish_response(seq);
  c.begin_read();
  auto second = c.accept();
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(c.respond(seq).code, RequestClaim::Stale);
  Dropped<Handle> dropped;
  EXPECT_EQ(c.s.detach(seq, dropped).code, RequestClaim::Stale);
}

TEST(H1ServerState, ContinueThenHead) {
  Conn c;
  auto seq = c.accept({.expect_continue = true, .keep_alive = true}, false);
  EXPECT_TRUE(c.s.try_send_continue(seq));
  EXPECT_FALSE(c.s.try_send_continue(seq));
  auto claimed = c.respond(seq);
  EXPECT_EQ(claimed.code, RequestClaim::Continue);
  EXPECT_FALSE(claimed.encoded);
  EXPECT_TRUE(c.s.request().responded && c.s.request().head_pending);
  auto encoded = c.respond(seq);  // the continue is on the wire
  EXPECT_EQ(encoded.code, RequestClaim::Ok);
  EXPECT_TRUE(encoded.encoded);
  EXPECT_EQ(c.respond(seq).code, RequestClaim::Already);

  // No continue: to HTTP/1.0, without the expectation, once responded.
  Conn d;
  seq = d.accept({.expect_continue = true, .http10 = true}, false);
  EXPECT_FALSE(d.s.try_send_continue(seq));
  seq = d.accept({.keep_alive = true}, false);
  EXPECT_FALSE(d.s.try_send_continue(seq));
  seq = d.accept({.expect_continue = true}, false);
  d.respond(seq);
  EXPECT_FALSE(d.s.try_send_continue(seq));
}

TEST(H1ServerState, PeerClosedClaimStandsAndNothingIsEncoded) {
  // Before the claim, and between a claimed continue and the head.
  for (bool with_continue : {false, true}) {
    Conn c;
    auto seq = c.accept({.expect_continue = with_continue, .keep_alive = true}, true);
    if (with_continue) {
      ASSERT_TRUE(c.s.try_send_continue(seq));
      ASSERT_EQ(c.respond(seq).code, RequestClaim::Continue);
    }
    c.s.request_shutdown();  // not a peer close: the head is encoded
    EXPECT_EQ(c.respond(seq).code, RequestClaim::Ok);
    Conn d;
    seq = d.accept({.expect_continue = with_continue, .keep_alive = true}, true);
    if (with_continue) {
      ASSERT_TRUE(d.s.try_send_continue(seq));
      ASSERT_EQ(d.respond(seq).code, RequestClaim::Continue);
    }
    ASSERT_TRUE(d.arm(seq));
    std::string eof;
    EXPECT_TRUE(d.completed(&eof));
    EXPECT_FALSE(d.s.reusable());
    bool called = false;
    Handle done(kDone);
    auto out = d.s.respond_head(seq, 200, false, done, [&](bool, bool) {
      called = true;
      return std::optional<ResponseVerdicts>(ResponseVerdicts{});
    });
    EXPECT_EQ(out.code, RequestClaim::PeerClosed);
    EXPECT_FALSE(called);
    EXPECT_TRUE(d.s.request().responded);
    EXPECT_EQ(d.respond(seq).code, RequestClaim::Already);
  }
}

TEST(H1ServerState, EncoderFailureKeepsTheClaim) {
  Conn c;
  auto seq = c.accept();
  Handle done(kDone);
  auto out = c.s.respond_head(seq, 200, true, done, [](bool, bool) { return std::optional<ResponseVerdicts>(); });
  EXPECT_EQ(out.code, RequestClaim::Ok);
  EXPECT_FALSE(out.encoded || out.armed);
  EXPECT_EQ(done.id(), kDone);  // not stored
  EXPECT_FALSE(c.s.has_watcher());
  EXPECT_EQ(c.respond(seq).code, RequestClaim::Already);
  EXPECT_EQ(c.s.fail_response(seq).id(), kTransport);
  EXPECT_TRUE(c.s.request().response_done && c.s.closed());
}

TEST(H1ServerState, KeepAliveAskedOfTheEncoder) {
  struct Case {
    bool enabled;
    bool request_keep_alive;
    bool shutdown;
    bool expected;
  };
  const Case cases[] = {
      {true, true, false, true},   {false, true, false, false}, {true, false, false, false},
      {true, true, true, false},
  };
  for (const Case& k : cases) {
    Conn c(k.enabled);
    auto seq = c.accept({.keep_alive = k.request_keep_alive});
    if (k.shutdown) c.s.request_shutdown();
    bool asked = !k.expected;
    c.respond(seq, 200, false, {}, &asked);
    EXPECT_EQ(asked, k.expected);
  }
}

TEST(H1ServerState, FinishVerdicts) {
  struct Case {
    RequestFacts facts;
    uint16_t status;
    ResponseVerdicts verdicts;
    bool switched;
    bool close;
  };
  const Case cases[] = {
      {{.keep_alive = true}, 200, {}, false, false},
      {{.keep_alive = true}, 200, {.is_last = true}, false, true},
      {{.keep_alive = true}, 200, {.close_delimited = true}, false, true},
      {{.keep_alive = true, .is_upgrade = true}, 101, {.is_last = true}, true, false},
      {{.keep_alive = true, .is_upgrade = true}, 200, {}, false, false},
      {{.keep_alive = true}, 101, {.is_last = true}, false, true},  // 101 to a plain request
      {{.is_upgrade = true, .is_connect = true}, 200, {.is_last = true}, true, false},
      {{.is_upgrade = true, .is_connect = true}, 299, {.is_last = true}, true, false},
      {{.is_upgrade = true, .is_connect = true}, 407, {.is_last = true}, false, true},
      {{.is_upgrade = true, .is_connect = true}, 101, {.is_last = true}, true, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.status);
    Conn c;
    auto seq = c.accept(k.facts, true, "tunnel bytes");
    c.codec.p->bytes = "";  // the codec handed everything to the decoder
    ASSERT_TRUE(c.respond(seq, k.status, false, k.verdicts).encoded);
    auto fin = c.s.finish_response(seq);
    EXPECT_EQ(fin.switched, k.switched);
    EXPECT_EQ(fin.close, k.close);
    EXPECT_EQ(fin.transport.id(), k.switched || k.close ? kTransport : 0);
    EXPECT_EQ(bytes_of(fin.leftover), k.switched ? "tunnel bytes" : "<none>");
    EXPECT_EQ(c.s.upgraded(), k.switched);
    EXPECT_EQ(c.s.closed(), k.switched || k.close);
    EXPECT_EQ(c.s.reusable(), !k.switched && !k.close);
  }
}

TEST(H1ServerState, NonReusableNeverComesBack) {
  Conn c;
  auto seq = c.accept();
  c.s.mark_unusable();
  c.respond(seq);  // the encoder says reusable
  auto fin = c.s.finish_response(seq);
  EXPECT_TRUE(fin.close);
  EXPECT_FALSE(c.s.reusable());
}

TEST(H1ServerState, FailResponseClosesWhateverTheSeq) {
  for (uint64_t stale : {uint64_t{0}, uint64_t{7}}) {
    Conn c;
    auto seq = c.accept();
    EXPECT_EQ(c.s.fail_response(stale).id(), kTransport);
    EXPECT_TRUE(c.s.closed() && !c.s.reusable());
    EXPECT_FALSE(c.s.request().response_done);  // stale: the request is untouched
    EXPECT_FALSE(c.s.fail_response(seq));
    EXPECT_TRUE(c.s.request().response_done);
  }
}

// ---- detach ----------------------------------------------------------------------

TEST(H1ServerState, DetachTakesEveryByteInWireOrder) {
  Conn d;
  auto seq = d.accept({.keep_alive = true}, true, "");
  ASSERT_TRUE(d.arm(seq));
  Dropped<Handle> dropped;
  EXPECT_EQ(d.s.detach(seq, dropped).code, RequestClaim::Parked);
  std::string more = "def";
  EXPECT_FALSE(d.completed(&more));
  d.s.decoder().p->bytes = "abc";
  auto out = d.s.detach(seq, dropped);
  EXPECT_EQ(out.code, RequestClaim::Ok);
  EXPECT_EQ(out.transport.id(), kTransport);
  EXPECT_EQ(bytes_of(out.leftover), "abcdef");
  EXPECT_TRUE(d.s.upgraded() && d.s.closed() && !d.s.reusable());
  EXPECT_EQ(d.s.detach(seq, dropped).code, RequestClaim::Already);
  EXPECT_EQ(d.respond(seq).code, RequestClaim::Already);
  // The slot stays for close() to join the watcher task.
  EXPECT_TRUE(d.s.has_watcher());
  auto closed = d.s.mark_closed();
  EXPECT_FALSE(closed.transport);
  EXPECT_EQ(closed.done.id(), kDone);
  EXPECT_TRUE(closed.already_closed);
}

// ---- the watcher ----------------------------------------------------------------------

TEST(H1ServerState, ArmDecisionTable) {
  struct Case {
    const char* name;
    std::function<uint64_t(Conn&)> setup;  // returns the seq to arm with
    bool want;
    bool head_negotiated;
    bool armed;
  };
  auto plain = [](Conn& c) { return c.accept(); };
  const Case cases[] = {
      {"armed", plain, true, false, true},
      {"not wanted", plain, false, false, false},
      {"stale", [](Conn& c) { return c.accept() + 1; }, true, false, false},
      {"half close", [](Conn& c) { c.s = State(c.codec.share(), Handle(kTransport), true, true); return c.accept(); },
       true, false, false},
      {"closed", [](Conn& c) { c.s.stop_serving(); return c.accept(); }, true, false, false},
      {"no transport", [](Conn& c) { c.s = State(c.codec.share(), Handle(), true, false); return c.accept(); }, true,
       false, false},
      {"slot exists",
       [](Conn& c) {
         auto seq = c.accept();
         c.arm(seq);
         return seq;
       },
       true, false, false},
      {"body unread", [](Conn& c) { return c.accept({}, false); }, true, false, false},
      {"window over",
       [](Conn& c) {
         auto seq = c.accept();
         c.s.close_window(seq);
         return seq;
       },
       true, false, false},
      {"upgrade undecided", [](Conn& c) { return c.accept({.is_upgrade = true}); }, true, false, false},
      {"upgrade declined", [](Conn& c) { return c.accept({.is_upgrade = true}); }, true, true, true},
      {"upgrade switching",
       [](Conn& c) {
         auto seq = c.accept({.is_upgrade = true});
         c.respond(seq, 101, false, {.is_last = true});
         return seq;
       },
       true, false, false},
      {"next head buffered",
       [](Conn& c) {
         auto seq = c.accept();
         c.codec.p->bytes = "GET";
         return seq;
       },
       true, false, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Conn c;
    const uint64_t seq = k.setup(c);
    const bool had_slot = c.s.has_watcher();
    Handle done(kDone);
    EXPECT_EQ(c.s.arm_watcher(seq, done, k.want, k.head_negotiated), k.armed);
    EXPECT_EQ(static_cast<bool>(done), !k.armed);  // a refused event stays with the caller
    EXPECT_EQ(c.s.watcher_parked(), k.armed || had_slot);
  }
}

TEST(H1ServerState, ArmingHandsPipelinedBytesToTheCodec) {
  Conn c;
  auto seq = c.accept({.keep_alive = true}, true, "GET /2 HTTP/1.1\r\n");
  EXPECT_FALSE(c.arm(seq));
  EXPECT_EQ(c.codec.p->bytes, "GET /2 HTTP/1.1\r\n");
  EXPECT_TRUE(c.s.decoder().p->bytes.empty());
  EXPECT_FALSE(c.arm(seq));  // the codec holds them now
  // want given once is kept: respond_head arms without asking again.
  Conn e;
  seq = e.accept({}, false);
  EXPECT_FALSE(e.arm(seq, true));  // body unread, but want is recorded
  e.s.end_body_read(seq, true);
  Handle done;
  EXPECT_TRUE(e.respond(seq, 200, false, {}, nullptr, &done).armed);
  EXPECT_FALSE(done);
}

TEST(H1ServerState, WatcherCompletions) {
  struct Case {
    const char* data;  // nullptr: none
    bool error;
    bool window_open;
    bool result;
  };
  const Case cases[] = {
      {"", false, true, true},        {nullptr, false, true, true}, {nullptr, true, true, true},
      {"x", false, true, false},      {"x", true, true, false},     {"", false, false, false},
      {nullptr, true, false, false},
  };
  for (const Case& k : cases) {
    Conn c;
    auto seq = c.accept();
    ASSERT_TRUE(c.arm(seq));
    if (!k.window_open) c.s.close_window(seq);
    std::string data = k.data != nullptr ? k.data : "";
    EXPECT_EQ(c.completed(k.data != nullptr ? &data : nullptr, k.error), k.result);
    EXPECT_EQ(c.s.reusable(), !k.result);
    EXPECT_EQ(c.s.request().peer_closed, k.result);
    EXPECT_FALSE(c.s.watcher_parked());
    EXPECT_EQ(c.s.peer_closed_now(seq), k.window_open ? std::optional<bool>() : std::optional<bool>(false));
    EXPECT_EQ(c.s.peer_closed_flag(seq), k.result);
    // A second completion reports only what the first did not.
    EXPECT_EQ(c.completed(nullptr), k.window_open && !k.result);
    auto [got_data, got_error] = c.s.take_watcher_result();
    EXPECT_FALSE(got_data);  // replaced by the second completion's
    EXPECT_FALSE(got_error);
  }
  Conn none;
  EXPECT_FALSE(none.completed(nullptr));
}

TEST(H1ServerState, PeerClosedWindow) {
  Conn c;
  EXPECT_EQ(c.s.peer_closed_now(0), std::optional<bool>(false));
  auto seq = c.accept();
  EXPECT_EQ(c.s.peer_closed_now(seq), std::nullopt);
  EXPECT_TRUE(c.s.close_window(seq));
  EXPECT_FALSE(c.s.close_window(seq));
  EXPECT_EQ(c.s.peer_closed_now(seq), std::optional<bool>(false));
  EXPECT_FALSE(c.s.close_window(seq + 1));
}

TEST(H1ServerState, WatcherResultFeedsTheNextHead) {
  Conn c;
  auto seq = c.accept();
  c.respond(seq, 200, true);
  ASSERT_TRUE(c.s.watcher_parked());
  EXPECT_FALSE(c.s.store_watcher_handle(Handle(70)));
  std::string next = "GET /2";
  EXPECT_FALSE(c.completed(&next));
  c.s.finish_response(seq);
  Step step = c.begin_read();
  EXPECT_EQ(step.code, ReadStep::ReadWatcher);
  EXPECT_EQ(step.object.id(), kDone);
  EXPECT_EQ(c.s.take_watcher_handle().id(), 70);
  auto [data, error] = c.s.take_watcher_result();
  EXPECT_EQ(data.p->bytes, "GET /2");
  EXPECT_FALSE(error);
  EXPECT_FALSE(c.s.has_watcher());
  EXPECT_FALSE(c.s.unpark_idle_read());
  // The next request can have a watcher of its own.
  seq = c.accept();
  EXPECT_TRUE(c.arm(seq));
}

// ---- exhaustive: every operation from every state -------------------------------------

// The states a connection passes through, each built from a fresh connection;
// the returned seq is the current request's.
struct Scenario {
  const char* name;
  std::function<uint64_t(Conn&)> build;
};

std::vector<Scenario> scenarios() {
  return {
      {"fresh", [](Conn&) { return uint64_t{0}; }},
      {"idle read parked",
       [](Conn& c) {
         c.begin_read();
         return uint64_t{0};
       }},
      {"accepted, body pending", [](Conn& c) { return c.accept({.expect_continue = true, .keep_alive = true}, false); }},
      {"body being read",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, false);
         c.s.begin_body_read(seq);
         return seq;
       }},
      {"continue claimed",
       [](Conn& c) {
         auto seq = c.accept({.expect_continue = true, .keep_alive = true}, false);
         c.s.try_send_continue(seq);
         c.respond(seq);
         return seq;
       }},
      {"responded, watcher parked",
       [](Conn& c) {
         auto seq = c.accept();
         c.respond(seq, 200, true);
         return seq;
       }},
      {"peer closed",
       [](Conn& c) {
         auto seq = c.accept();
         c.arm(seq);
         std::string eof;
         c.completed(&eof);
         return seq;
       }},
      {"upgrade switching",
       [](Conn& c) {
         auto seq = c.accept({.is_upgrade = true}, true, "x");
         c.respond(seq, 101, false, {.is_last = true});
         return seq;
       }},
      {"finished, reusable",
       [](Conn& c) {
         auto seq = c.accept();
         c.respond(seq);
         c.s.finish_response(seq);
         return seq;
       }},
      {"draining",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, false);
         c.respond(seq);
         c.s.finish_response(seq);
         c.begin_read();
         return seq;
       }},
      {"shutdown requested",
       [](Conn& c) {
         auto seq = c.accept();
         c.s.request_shutdown();
         return seq;
       }},
      {"switched",
       [](Conn& c) {
         auto seq = c.accept({.is_connect = true}, true);
         c.respond(seq, 200, false, {.is_last = true});
         c.s.finish_response(seq);
         return seq;
       }},
      {"detached",
       [](Conn& c) {
         auto seq = c.accept();
         Dropped<Handle> d;
         c.s.detach(seq, d);
         return seq;
       }},
      {"closed", [](Conn& c) {
         auto seq = c.accept();
         c.s.fail_read();
         return seq;
       }},
  };
}

struct Operation {
  const char* name;
  std::function<void(Conn&, uint64_t)> run;
  bool per_request;  // answered as stale for a seq that is not the current one
};

std::vector<Operation> operations() {
  return {
      {"begin_read", [](Conn& c, uint64_t) { c.begin_read(); }, false},
      {"drain_done(true)", [](Conn& c, uint64_t) { c.drain_done(true); }, false},
      {"drain_done(false)", [](Conn& c, uint64_t) { c.drain_done(false); }, false},
      {"unpark_idle_read", [](Conn& c, uint64_t) { c.s.unpark_idle_read(); }, false},
      {"accept", [](Conn& c, uint64_t) { c.accept(); }, false},
      {"fail_read", [](Conn& c, uint64_t) { c.s.fail_read(); }, false},
      {"stop_serving", [](Conn& c, uint64_t) { c.s.stop_serving(); }, false},
      {"mark_closed", [](Conn& c, uint64_t) { c.s.mark_closed(); }, false},
      {"mark_unusable", [](Conn& c, uint64_t) { c.s.mark_unusable(); }, false},
      {"request_shutdown", [](Conn& c, uint64_t) { c.s.request_shutdown(); }, false},
      {"watcher_completed(eof)",
       [](Conn& c, uint64_t) {
         std::string eof;
         c.completed(&eof);
       },
       false},
      {"watcher_aborted", [](Conn& c, uint64_t) { c.s.watcher_aborted(); }, false},
      {"take_watcher_result", [](Conn& c, uint64_t) { c.s.take_watcher_result(); }, false},
      {"try_send_continue", [](Conn& c, uint64_t seq) { c.s.try_send_continue(seq); }, true},
      {"begin_body_read", [](Conn& c, uint64_t seq) { c.s.begin_body_read(seq); }, true},
      {"end_body_read", [](Conn& c, uint64_t seq) { c.s.end_body_read(seq, true); }, true},
      {"close_window", [](Conn& c, uint64_t seq) { c.s.close_window(seq); }, true},
      {"arm_watcher", [](Conn& c, uint64_t seq) { c.arm(seq, true, true); }, true},
      {"respond_head", [](Conn& c, uint64_t seq) { c.respond(seq, 200, true); }, true},
      {"respond_head(101)", [](Conn& c, uint64_t seq) { c.respond(seq, 101, false, {.is_last = true}); }, true},
      {"finish_response", [](Conn& c, uint64_t seq) { c.s.finish_response(seq); }, true},
      {"detach",
       [](Conn& c, uint64_t seq) {
         Dropped<Handle> d;
         c.s.detach(seq, d);
       },
       true},
  };
}

struct Snapshot {
  uint64_t seq;
  RequestFields request;
  bool closed, reusable, upgraded, watcher;
  int transport;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const State& s) {
  return {s.current_seq(), s.request(), s.closed(), s.reusable(), s.upgraded(), s.has_watcher(), s.transport().id()};
}

TEST(H1ServerState, EveryOperationFromEveryState) {
  for (const Scenario& scenario : scenarios()) {
    for (const Operation& op : operations()) {
      SCOPED_TRACE(std::string(scenario.name) + " / " + op.name);
      Conn c;
      const uint64_t seq = scenario.build(c);
      const Snapshot before = snapshot(c.s);
      op.run(c, seq);
      const Snapshot after = snapshot(c.s);
      // Final facts stay final.
      EXPECT_TRUE(!before.closed || after.closed);
      EXPECT_TRUE(before.reusable || !after.reusable);
      EXPECT_TRUE(!before.upgraded || after.upgraded);
      EXPECT_TRUE(!after.upgraded || after.closed);
      EXPECT_GE(after.seq, before.seq);
      // A connection handed off, or closed by any call but stop_serving, has
      // given its transport back.
      const bool gave_back = after.upgraded || (!before.closed && after.closed && std::string(op.name) != "stop_serving");
      EXPECT_TRUE(!gave_back || after.transport == 0);
      // The seq never runs ahead of what was accepted.
      EXPECT_LE(after.seq, before.seq + 1);

      if (!op.per_request) continue;
      // The same call with a stale seq changes nothing.
      for (uint64_t stale : {uint64_t{0}, seq + 1, seq == 0 ? uint64_t{5} : seq - 1}) {
        if (stale == seq) continue;
        Conn d;
        scenario.build(d);
        const Snapshot untouched = snapshot(d.s);
        const std::string codec_bytes = d.codec.p->bytes;
        op.run(d, stale);
        EXPECT_EQ(snapshot(d.s), untouched) << "stale seq " << stale;
        EXPECT_EQ(d.codec.p->bytes, codec_bytes);
      }
    }
  }
}

// ---- host objects ----------------------------------------------------------------------

TEST(H1ServerState, ReprAndObjects) {
  Conn c;
  EXPECT_EQ(c.s.repr(),
            "H1ServerState(seq=0, closed=false, reusable=true, responded=false, response_done=true, watcher=false)");
  auto seq = c.accept();
  c.respond(seq, 200, true);
  c.s.store_watcher_handle(Handle(70));
  EXPECT_EQ(c.s.repr(),
            "H1ServerState(seq=1, closed=false, reusable=true, responded=true, response_done=false, watcher=true)");
  std::vector<int> seen;
  c.s.for_each_object([&](const Handle& h) {
    if (h) seen.push_back(h.id());
  });
  EXPECT_EQ(seen, (std::vector<int>{kCodec, kTransport, kDone, 70, 100}));
  std::vector<int> taken;
  c.s.take_all([&](Handle&& h) {
    if (h) taken.push_back(h.id());
  });
  EXPECT_EQ(taken, (std::vector<int>{kTransport, kDone, 70, 100}));
  EXPECT_EQ(c.s.codec().id(), kCodec);  // clearing keeps the codec
  EXPECT_FALSE(c.s.has_watcher() || c.s.decoder());
}

TEST(H1ServerState, ReplacedObjectsAreGivenUp) {
  Conn c;
  c.accept();
  Dropped<Handle> d;
  const uint64_t seq = c.s.accept({}, Handle(200), true, d);
  std::vector<int> dropped;
  d.for_each([&](const Handle& h) {
    if (h) dropped.push_back(h.id());
  });
  EXPECT_EQ(dropped, (std::vector<int>{100}));
  c.s.close_window(seq);
  Dropped<Handle> r;
  EXPECT_EQ(c.s.begin_read(r).code, ReadStep::ReadTransport);
  dropped.clear();
  r.for_each([&](const Handle& h) {
    if (h) dropped.push_back(h.id());
  });
  EXPECT_EQ(dropped, (std::vector<int>{200}));
}

}  // namespace
}  // namespace vantric::h1
