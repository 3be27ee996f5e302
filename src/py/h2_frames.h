// The HTTP/2 frame events as host objects (H2FrameData, H2FrameHeaders,
// H2FramePriority, H2FrameRstStream, H2FrameSettings, H2FramePing,
// H2FrameGoAway, H2FrameWindowUpdate, H2FrameStreamError), the error-code
// class H2Reason, and the conversion of one receive() call's events, shared
// by H2Codec and the connection state that embeds a frame reader.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "core/h2/frame_reader.h"
#include "py/lock.h"
#include "py/ref.h"

namespace vantric::h2 {
struct RecvHeaders;
struct RecvData;
}  // namespace vantric::h2

namespace vantric::py {

PyTypeObject* h2_frame_headers_type();
PyTypeObject* h2_frame_data_type();
PyTypeObject* h2_frame_settings_type();
PyTypeObject* h2_frame_window_update_type();
PyTypeObject* h2_frame_ping_type();
PyTypeObject* h2_frame_go_away_type();
PyTypeObject* h2_frame_rst_stream_type();
PyTypeObject* h2_frame_priority_type();
PyTypeObject* h2_frame_stream_error_type();

PyTypeObject* h2_reason_type();

// What the connection state reads from an event object; each takes an
// instance of its class (the caller checks the type).  Views and borrowed
// objects live as long as the event.
h2::RecvHeaders h2_frame_headers_facts(PyObject* frame);
// `payload` gets the event's own bytes object (borrowed).
h2::RecvData h2_frame_data_facts(PyObject* frame, PyObject** payload);
// H2FrameRstStream (error code) and H2FrameWindowUpdate (increment).
struct StreamValue {
  uint32_t stream_id;
  uint32_t value;
};
StreamValue h2_frame_stream_value(PyObject* frame);
const h2::Settings& h2_frame_settings_values(PyObject* frame, bool* ack);
std::string_view h2_frame_ping_data(PyObject* frame, bool* ack);
struct GoAwayFacts {
  uint32_t last_stream_id;
  uint32_t error_code;
  std::string_view debug_data;
};
GoAwayFacts h2_frame_go_away_facts(PyObject* frame);

// The host objects of the events one FrameReader::receive() call produced.
//
//   std::vector<h2::FrameEvent> events;
//   FrameEventBatch batch;          // declared before the lock guard
//   { HostLock lock(...); error = reader.receive(data, events);
//     if (!error && !batch.capture(events)) return nullptr; }
//   return batch.take_list(events);
class FrameEventBatch {
 public:
  // Under the reader's lock: copies the octets the events view (DATA payloads,
  // GOAWAY debug data), which the reader's next call overwrites, into bytes
  // objects (which cannot start a garbage collection).  False with an
  // exception set on failure.
  bool capture(const std::vector<h2::FrameEvent>& events);
  // After the lock is released: a new list of the event objects, in order,
  // taking over the header maps of `events`.  nullptr with an exception set.
  PyObject* take_list(std::vector<h2::FrameEvent>& events);

 private:
  std::vector<Ref> payloads_;  // one per DATA and GOAWAY event, in order
};

// One receive() of `reader`, which `mutex` guards, for the host: the list of
// its events, or nullptr with the connection error (or MemoryError) raised.
// Takes `mutex` for the decoding only; the list is built after unlocking.
PyObject* receive_events(HostMutex& mutex, h2::FrameReader& reader, std::string_view data);

// A preface match as the host sees it: True, None while partial, False.
PyObject* preface_match_result(Progress match);

}  // namespace vantric::py
