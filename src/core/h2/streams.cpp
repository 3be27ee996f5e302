#include "core/h2/streams.h"

#include "core/h2/frame_reader.h"

namespace vantric::h2 {

std::optional<std::string> check_streams_config(const StreamsConfig& config) {
  if (!is_valid_max_frame_size(config.max_frame_size)) return max_frame_size_message(config.max_frame_size);
  // RFC 9113 section 6.9.1: no window may exceed 2^31 - 1.
  if (config.initial_window_size > kMaxWindowSize || config.connection_window > kMaxWindowSize)
    return "window sizes must be <= " + std::to_string(kMaxWindowSize) + " (RFC 9113 6.9.1)";
  return std::nullopt;
}

Settings local_settings(const StreamsConfig& config) {
  Settings settings;
  settings.initial_window_size = config.initial_window_size;
  settings.max_frame_size = config.max_frame_size;
  settings.max_header_list_size = config.max_header_list_size;
  if (config.server) settings.max_concurrent_streams = config.max_concurrent_streams;
  settings.enable_push = config.enable_push;
  if (config.server && config.enable_connect_protocol) settings.enable_connect_protocol = true;
  return settings;
}

void apply_local_settings(FrameReader& reader, const StreamsConfig& config) {
  reader.set_max_recv_frame_size(config.max_frame_size);
  reader.set_max_header_list_size(config.max_header_list_size);
  // Our SETTINGS leaves SETTINGS_HEADER_TABLE_SIZE at its default.
  reader.set_header_table_size(kDefaultHeaderTableSize);
}

FlowControl open_window(uint32_t size) {
  FlowControl flow;
  const bool ok = flow.inc_window(size) == std::nullopt && flow.assign_capacity(size) == std::nullopt;
  VANTRIC_INVARIANT(ok, "initial window out of range");
  return flow;
}

bool ResetStore::store(uint32_t id, MonoClock::time_point now) {
  std::erase_if(stored_, [now](const auto& entry) { return now - entry.second > kLapse; });
  auto it = stored_.find(id);
  if (it != stored_.end()) {
    it->second = now;
    return true;
  }
  if (stored_.size() >= kCapacity) return false;
  stored_.emplace(id, now);
  return true;
}

bool ResetStore::contains(uint32_t id, MonoClock::time_point now) const {
  auto it = stored_.find(id);
  return it != stored_.end() && now - it->second <= kLapse;
}

}  // namespace vantric::h2
