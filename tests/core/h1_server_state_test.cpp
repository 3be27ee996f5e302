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
  State::Respond respond(uint64_t seq, uint16_t status = 200, bool want = false,
                         ResponseVerdicts verdicts = {}, bool* keep_alive = nullptr,
                         Handle* done_out = nullptr) {
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
      {"fresh", [](Conn&) {}, ReadStep::kReadTransport, kTransport},
      {"bytes buffered", [](Conn& c) { c.codec.p->bytes = "GET"; }, ReadStep::kReadParse, 0},
      {"shutdown, not parked", [](Conn& c) { c.s.request_shutdown(); }, ReadStep::kNextNone, 0},
      {"closed", [](Conn& c) { c.s.stop_serving(); }, ReadStep::kNextNone, 0},
      {"unusable", [](Conn& c) { c.s.mark_unusable(); }, ReadStep::kNextNone, 0},
      {"no transport", [](Conn& c) { c.s = State(c.codec.share(), Handle(), true, false); },
       ReadStep::kReadEof, 0},
      {"response unfinished", [](Conn& c) { c.accept(); }, ReadStep::kNextRaise, 0},
      {"finished, body read",
       [](Conn& c) {
         auto seq = c.accept();
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::kReadTransport, kTransport},
      {"finished, bytes past the body",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, true, "GET / HTTP/1.1\r\n");
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::kReadParse, 0},
      {"finished, body unread",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, false);
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::kNextDrain, 0},
      {"finished, body reader parked",
       [](Conn& c) {
         auto seq = c.accept({.keep_alive = true}, false);
         c.s.begin_body_read(seq);
         c.respond(seq);
         c.s.finish_response(seq);
       },
       ReadStep::kNextClose, kTransport},
      {"finished, watcher holds the read",
       [](Conn& c) {
         auto seq = c.accept();
         c.respond(seq, 200, true);
         c.s.finish_response(seq);
       },
       ReadStep::kReadWatcher, kDone},
      {"window closed early, then finished",
       [](Conn& c) {
         auto seq = c.accept();
         c.s.close_window(seq);
       },
       ReadStep::kReadTransport, kTransport},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Conn conn;
    c.setup(conn);
    Step step = conn.begin_read();
    EXPECT_EQ(step.code, c.code);
    EXPECT_EQ(step.object.id(), c.object);
    const bool parks = c.code == ReadStep::kReadTransport || c.code == ReadStep::kReadWatcher;
    EXPECT_EQ(conn.s.idle_read_parked(), parks);
    EXPECT_EQ(conn.s.closed(), c.code == ReadStep::kNextClose || c.name == std::string("closed"));
    if (c.code >= ReadStep::kReadParse) {
      // The ready step ran: the decoder is gone and the request window over.
      EXPECT_FALSE(conn.s.decoder());
      EXPECT_TRUE(conn.s.request().response_done && conn.s.request().body_complete);
      EXPECT_GE(conn.codec.p->resets, 1);
    }
  }
}

// ---- the response claim ---------------------------------------------------------------

TEST(H1ServerState, PeerCloseBetweenContinueAndHead) {
  Conn c;
  auto seq = c.accept({.expect_continue = true, .keep_alive = true}, true);
  ASSERT_TRUE(c.s.try_send_continue(seq));
  ASSERT_EQ(c.respond(seq).code, RequestClaim::kContinue);
  ASSERT_TRUE(c.arm(seq));
  std::string eof;
  EXPECT_TRUE(c.completed(&eof));
  bool called = false;
  Handle done(kDone);
  auto out = c.s.respond_head(seq, 200, false, done, [&](bool, bool) {
    called = true;
    return std::optional<ResponseVerdicts>(ResponseVerdicts{});
  });
  EXPECT_EQ(out.code, RequestClaim::kPeerClosed);
  EXPECT_FALSE(called);  // nothing is written, and the claim stands
  EXPECT_EQ(c.respond(seq).code, RequestClaim::kAlready);
}

TEST(H1ServerState, KeepAliveAskedOfTheEncoder) {
  struct Case {
    bool enabled;
    bool request_keep_alive;
    bool shutdown;
    bool unusable;
    bool expected;
  };
  const Case cases[] = {
      {true, true, false, false, true},   {false, true, false, false, false},
      {true, false, false, false, false}, {true, true, true, false, false},
      {true, true, false, true, false},
  };
  for (const Case& k : cases) {
    Conn c(k.enabled);
    auto seq = c.accept({.keep_alive = k.request_keep_alive});
    if (k.shutdown) c.s.request_shutdown();
    if (k.unusable) c.s.mark_unusable();
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

// ---- detach ----------------------------------------------------------------------

TEST(H1ServerState, DetachTakesEveryByteInWireOrder) {
  Conn c;
  auto seq = c.accept({.keep_alive = true}, true, "");
  ASSERT_TRUE(c.arm(seq));
  Dropped<Handle> dropped;
  EXPECT_EQ(c.s.detach(seq, dropped).code, RequestClaim::kParked);
  std::string more = "ghi";
  EXPECT_FALSE(c.completed(&more));
  c.codec.p->bytes = "abc";
  c.s.decoder().p->bytes = "def";
  auto out = c.s.detach(seq, dropped);
  EXPECT_EQ(out.code, RequestClaim::kOk);
  EXPECT_EQ(out.transport.id(), kTransport);
  EXPECT_EQ(bytes_of(out.leftover), "abcdefghi");
  EXPECT_TRUE(c.s.upgraded() && c.s.closed() && !c.s.reusable() && c.s.has_watcher());
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
      {"half close",
       [](Conn& c) {
         c.s = State(c.codec.share(), Handle(kTransport), true, true);
         return c.accept();
       },
       true, false, false},
      {"closed",
       [](Conn& c) {
         c.s.stop_serving();
         return c.accept();
       },
       true, false, false},
      {"no transport",
       [](Conn& c) {
         c.s = State(c.codec.share(), Handle(), true, false);
         return c.accept();
       },
       true, false, false},
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
  // Bytes past the body are the next request's: they go to the codec instead.
  Conn c;
  auto seq = c.accept({.keep_alive = true}, true, "GET /2");
  EXPECT_FALSE(c.arm(seq));
  EXPECT_EQ(c.codec.p->bytes, "GET /2");
  EXPECT_TRUE(c.s.decoder().p->bytes.empty());
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
      {"accepted, body pending",
       [](Conn& c) { return c.accept({.expect_continue = true, .keep_alive = true}, false); }},
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
      {"closed",
       [](Conn& c) {
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
      {"respond_head(101)", [](Conn& c, uint64_t seq) { c.respond(seq, 101, false, {.is_last = true}); },
       true},
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
  return {s.current_seq(), s.request(),     s.closed(),        s.reusable(),
          s.upgraded(),    s.has_watcher(), s.transport().id()};
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
      const bool gave_back =
          after.upgraded || (!before.closed && after.closed && std::string(op.name) != "stop_serving");
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
            "H1ServerState(seq=0, closed=false, reusable=true, responded=false, response_done=true, "
            "watcher=false)");
  auto seq = c.accept();
  c.respond(seq, 200, true);
  c.s.store_watcher_handle(Handle(70));
  EXPECT_EQ(
      c.s.repr(),
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

}  // namespace
}  // namespace vantric::h1
