#include "core/h2/streams.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/h2/frame_reader.h"
#include "handle_stub.h"

namespace vantric::h2 {
namespace {

using test::Handle;

using State = Streams<Handle>;

StreamsConfig client_config(uint32_t connection_window = 65535) {
  StreamsConfig config;
  config.initial_window_size = 65535;
  config.connection_window = connection_window;
  config.max_frame_size = 16384;
  config.max_header_list_size = 65536;
  config.max_send_buf_size = 65536;
  return config;
}

// The frames of a pending batch, decoded by a reader of the other side; the
// client preface must lead exactly when `from_client`.
std::vector<FrameEvent> decode(std::string_view batch, bool from_client) {
  FrameReader reader(from_client);
  std::vector<FrameEvent> events;
  EXPECT_FALSE(reader.receive(batch, events));
  EXPECT_TRUE(reader.preface_done() || !from_client);
  EXPECT_EQ(reader.buffered(), 0u);
  return events;
}

TEST(H2Streams, ClientBeginQueuesPrefaceSettingsAndWindowUpdate) {
  // (connection window, expected WINDOW_UPDATE increment on stream 0)
  const std::pair<uint32_t, std::optional<uint32_t>> cases[] = {
      {0, std::nullopt},      {65535, std::nullopt}, {65535 + 32766, std::nullopt},
      {65535 + 32767, 32767}, {1048576, 983041},     {2147483647, 2147418112},
  };
  for (const auto& [window, increment] : cases) {
    State s(client_config(window));
    EXPECT_FALSE(s.has_pending());
    s.begin();
    ASSERT_TRUE(s.began());
    ASSERT_EQ(s.pending_view().substr(0, 24), kPreface);
    const auto events = decode(s.pending_view(), true);
    ASSERT_EQ(events.size(), increment ? 2u : 1u) << window;
    const auto& settings = std::get<SettingsEvent>(events[0]);
    EXPECT_FALSE(settings.ack);
    Settings expected;
    expected.initial_window_size = 65535;
    expected.max_frame_size = 16384;
    expected.max_header_list_size = 65536;
    EXPECT_EQ(settings.settings, expected);
    if (increment) {
      const auto& update = std::get<WindowUpdateEvent>(events[1]);
      EXPECT_EQ(update.stream_id, 0u);
      EXPECT_EQ(update.increment, *increment);
    }
    EXPECT_EQ(s.conn_recv_available(), static_cast<int32_t>(std::max(window, 65535u)));
    // A second begin queues nothing more.
    const std::size_t queued = s.pending_view().size();
    s.begin();
    EXPECT_EQ(s.pending_view().size(), queued);
  }
}

TEST(H2Streams, ServerBeginSettingsFirstWithItsOptionalParameters) {
  StreamsConfig config = client_config();
  config.server = true;
  config.max_concurrent_streams = 100;
  config.enable_push = false;
  State s(config);
  s.begin();
  const auto events = decode(s.pending_view(), false);
  ASSERT_EQ(events.size(), 1u);
  const Settings& got = std::get<SettingsEvent>(events[0]).settings;
  EXPECT_EQ(got.max_concurrent_streams, 100u);
  EXPECT_EQ(got.enable_push, false);

  // A client never announces MAX_CONCURRENT_STREAMS.
  config.server = false;
  EXPECT_FALSE(local_settings(config).max_concurrent_streams);
  config.enable_push.reset();
  EXPECT_FALSE(local_settings(config).enable_push);
}

TEST(H2Streams, ServerAnnouncesExtendedConnectWhenEnabled) {
  StreamsConfig config = client_config();
  config.server = true;
  EXPECT_FALSE(local_settings(config).enable_connect_protocol);
  config.enable_connect_protocol = true;
  EXPECT_EQ(local_settings(config).enable_connect_protocol, true);
  State s(config);
  s.begin();
  // SETTINGS_ENABLE_CONNECT_PROTOCOL (0x8) = 1 is the frame's last entry.
  const std::string_view frame = s.pending_view();
  ASSERT_GE(frame.size(), 15u);
  EXPECT_EQ(frame.substr(frame.size() - 6), std::string_view("\x00\x08\x00\x00\x00\x01", 6));
  // A client never does (the setting is the server's to announce).
  config.server = false;
  EXPECT_FALSE(local_settings(config).enable_connect_protocol);
}

TEST(H2Streams, CreditsWakeEachStreamOnceAndSkipRemovedStreams) {
  State s(client_config());
  s.insert_stream(1, Handle(10));
  s.insert_stream(3, Handle(30));
  s.queue_data(1, "abc", false);
  s.queue_data(1, "defgh", false);
  s.queue_data(3, "xy", false);
  s.queue_data(1, "z", true);
  EXPECT_EQ(s.find(1)->send_buffered, 9u);
  auto drained = s.take_pending();
  EXPECT_FALSE(drained.stopping);
  EXPECT_FALSE(s.has_pending());
  // Four DATA frames, in order.
  const auto events = decode(drained.bytes.view(), false);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(std::get<DataEvent>(events[3]).data, "z");
  EXPECT_TRUE(std::get<DataEvent>(events[3]).end_stream);

  // Frames queued after the take belong to the next batch.
  s.queue_data(1, "later", false);
  Handle gone = s.remove_stream(3);
  EXPECT_EQ(gone.value(), 30);
  std::vector<Handle> wake;
  s.credit_written(wake);
  ASSERT_EQ(wake.size(), 1u);
  EXPECT_EQ(wake[0].value(), 10);
  EXPECT_EQ(s.find(1)->send_buffered, 5u);
  // Credits are handed out once.
  wake.clear();
  s.credit_written(wake);
  EXPECT_TRUE(wake.empty());
  s.take_pending();
  s.credit_written(wake);
  EXPECT_EQ(wake.size(), 1u);
  EXPECT_EQ(s.find(1)->send_buffered, 0u);
}

TEST(H2Streams, DrainedBufferComesBackAsTheSpare) {
  State s(client_config());
  s.begin();
  auto first = s.take_pending();
  const char* storage = first.bytes.data();
  const std::size_t capacity = first.bytes.capacity();
  EXPECT_FALSE(s.has_spare());
  s.give_back(std::move(first.bytes));
  ASSERT_TRUE(s.has_spare());
  s.insert_stream(1, Handle(1));
  s.queue_data(1, "x", false);  // into fresh storage: the spare waits
  auto second = s.take_pending();
  EXPECT_FALSE(s.has_spare());
  s.queue_data(1, "y", false);
  EXPECT_EQ(s.pending_view().data(), storage);  // the spare's storage, reused
  s.give_back(std::move(second.bytes));
  EXPECT_TRUE(s.has_spare());
  auto third = s.take_pending();
  EXPECT_EQ(third.bytes.data(), storage);
  EXPECT_EQ(third.bytes.capacity(), capacity);
  EXPECT_EQ(third.bytes.size(), 10u);
  s.give_back(std::move(third.bytes));
  // Only one spare is kept: a second buffer given back is freed.
  ByteBuffer extra;
  extra.append("abc");
  s.give_back(std::move(extra));
  EXPECT_TRUE(s.has_spare());
  EXPECT_EQ(s.take_pending().bytes.size(), 0u);
  EXPECT_EQ(s.pending_view().data(), storage);
  // An empty take and the stop flag.
  s.stop_pump();
  auto empty = s.take_pending();
  EXPECT_TRUE(empty.bytes.empty());
  EXPECT_TRUE(empty.stopping);
}

TEST(H2Streams, ResetStoreCapacityAndLapse) {
  ResetStore store;
  const auto t0 = MonoClock::time_point{} + std::chrono::hours(1);
  for (uint32_t id = 1; id <= 2 * ResetStore::kCapacity; id += 2) EXPECT_TRUE(store.store(id, t0));
  EXPECT_FALSE(store.store(1001, t0 + std::chrono::milliseconds(500)));
  EXPECT_TRUE(store.store(1, t0 + std::chrono::milliseconds(500)));  // refreshed, not added
  EXPECT_TRUE(store.contains(3, t0 + std::chrono::seconds(1)));
  EXPECT_FALSE(store.contains(3, t0 + std::chrono::milliseconds(1001)));
  EXPECT_FALSE(store.contains(2, t0));
  // Lapsed ids are purged when a new one is stored.
  EXPECT_TRUE(store.store(1001, t0 + std::chrono::milliseconds(1001)));
  EXPECT_EQ(store.size(), 2u);
  EXPECT_TRUE(store.contains(1, t0 + std::chrono::milliseconds(1001)));
}

TEST(H2Streams, RecordsAndHostReferences) {
  StreamsConfig config = client_config();
  config.initial_window_size = 1000;
  State s(config);
  auto& record = s.insert_stream(5, Handle(5));
  EXPECT_EQ(record.send_flow.window_size(), 65535u);
  // Ours applies once the peer acknowledges our SETTINGS.
  EXPECT_EQ(record.recv_flow.window_size(), 65535u);
  EXPECT_EQ(record.state.repr(), "Idle");

  std::vector<Handle> dropped;
  s.store_task_handles(Handle(1), Handle(2), dropped);
  s.store_task_handles(Handle(3), Handle(), dropped);
  ASSERT_EQ(dropped.size(), 4u);
  EXPECT_EQ(dropped[2].value(), 1);
  EXPECT_EQ(dropped[3].value(), 2);
  int visited = 0;
  s.for_each_object([&](const Handle& h) { visited += h.value(); });
  EXPECT_EQ(visited, 5 + 3);
  EXPECT_EQ(s.take_read_handle().value(), 3);
  EXPECT_FALSE(s.take_read_handle());
  EXPECT_FALSE(s.take_pump_handle());

  std::vector<Handle> taken;
  s.take_all([&](Handle&& h) { taken.push_back(std::move(h)); });
  EXPECT_FALSE(s.find(5)->handle);
  EXPECT_EQ(s.repr(), "H2Streams(role=client, streams=1, active=0, failed=false, goaway=false)");
}

}  // namespace
}  // namespace vantric::h2
