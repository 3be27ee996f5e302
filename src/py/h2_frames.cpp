// The nine HTTP/2 frame event classes: immutable records the host cannot
// construct, built once from a core event and read through properties.  None
// holds an object that could refer back to it, so none needs garbage
// collection support.
#include "py/h2_frames.h"

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "core/h2/streams.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/header_map.h"
#include "py/record_fields.h"
#include "py/results.h"

namespace vantric::py {
namespace {

using hpack::Pseudo;

struct DataObject {
  PyObject_HEAD PyObject* data;  // bytes
  uint32_t stream_id;
  uint32_t flow_controlled_len;
  bool end_stream;
};

struct HeadersObject {
  PyObject_HEAD PyObject* method;  // str or nullptr (None)
  PyObject* scheme;
  PyObject* authority;
  PyObject* path;
  PyObject* protocol;
  PyObject* headers;  // HeaderMap
  uint64_t content_length;
  h2::MessageShape shape;  // read by H2Streams.recv_headers
  uint32_t stream_id;
  uint16_t status;
  bool has_status;
  bool has_content_length;
  bool content_length_invalid;
  bool end_stream;
};

struct SettingsObject {
  PyObject_HEAD h2::Settings settings;
  bool ack;
};

struct PingObject {
  PyObject_HEAD PyObject* data;  // 8 octets of bytes
  bool ack;
};

struct GoAwayObject {
  PyObject_HEAD PyObject* debug_data;  // bytes
  uint32_t last_stream_id;
  uint32_t error_code;
};

// PRIORITY, RST_STREAM, WINDOW_UPDATE and stream errors: a stream id and at
// most one 32-bit value.
struct StreamValueObject {
  PyObject_HEAD uint32_t stream_id;
  uint32_t value;
};

template <class T>
T* as(PyObject* obj) {
  return reinterpret_cast<T*>(obj);
}

const char* bool_text(bool value) {
  return value ? "true" : "false";
}

// ---- generic pieces ---------------------------------------------------------------

// An optional number in a repr: the digits, or None.
std::string optional_text(std::optional<uint32_t> value) {
  return value ? std::to_string(*value) : std::string("None");
}

PyObject* new_ascii_text(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- H2FrameData -----------------------------------------------------------------

PyObject* h2_frame_data_repr(PyObject* obj) {
  DataObject* self = as<DataObject>(obj);
  return PyUnicode_FromFormat("Data(stream_id=%lu, end_stream=%s, len=%zd)",
                              static_cast<unsigned long>(self->stream_id), bool_text(self->end_stream),
                              PyBytes_GET_SIZE(self->data));
}

PyObject* h2_frame_data_padding(PyObject* obj, void*) {
  DataObject* self = as<DataObject>(obj);
  return PyLong_FromUnsignedLong(self->flow_controlled_len -
                                 static_cast<uint32_t>(PyBytes_GET_SIZE(self->data)));
}

const PropertySpec kDataProperties[] = {
    {"stream_id", crossing<record_field<&DataObject::stream_id>>, "The stream identifier."},
    {"end_stream", crossing<record_field<&DataObject::end_stream>>, "The END_STREAM flag."},
    {"data", crossing<record_field<&DataObject::data>>, "The payload without its padding."},
    {"flow_controlled_len", crossing<record_field<&DataObject::flow_controlled_len>>,
     "The whole payload length, padding and pad-length octet included: what the\n"
     "frame counts against the flow-control windows."},
    {"padding", crossing<h2_frame_data_padding>, "flow_controlled_len minus len(data): 0 when unpadded."},
};

const PyType_Slot kDataSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<record_dealloc<DataObject, &DataObject::data>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_frame_data_repr>)},
};

constexpr ClassSpec kDataSpec{
    .name = "H2FrameData",
    .doc = "A received DATA frame.",
    .basicsize = sizeof(DataObject),
    .properties = kDataProperties,
    .slots = kDataSlots,
};

// ---- H2FrameHeaders --------------------------------------------------------------

PyObject* h2_frame_headers_repr(PyObject* obj) {
  HeadersObject* self = as<HeadersObject>(obj);
  const Py_ssize_t fields = PyObject_Length(self->headers);
  if (fields < 0) return nullptr;
  const std::string status = self->has_status ? std::to_string(self->status) : std::string("None");
  return PyUnicode_FromFormat("Headers(stream_id=%lu, status=%s, end_stream=%s, fields=%zd)",
                              static_cast<unsigned long>(self->stream_id), status.c_str(),
                              bool_text(self->end_stream), fields);
}

PyObject* h2_frame_headers_end_headers(PyObject*, void*) {
  // The event is made once the block is complete.
  Py_RETURN_TRUE;
}

PyObject* h2_frame_headers_status(PyObject* obj, void*) {
  HeadersObject* self = as<HeadersObject>(obj);
  if (!self->has_status) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(self->status);
}

PyObject* h2_frame_headers_content_length(PyObject* obj, void*) {
  HeadersObject* self = as<HeadersObject>(obj);
  if (!self->has_content_length) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(self->content_length);
}

PyObject* h2_frame_headers_is_informational(PyObject* obj, void*) {
  HeadersObject* self = as<HeadersObject>(obj);
  return PyBool_FromLong(self->has_status && self->status >= 100 && self->status <= 199);
}

PyObject* h2_frame_headers_over_size(PyObject* obj, void*) {
  return PyBool_FromLong(as<HeadersObject>(obj)->shape.over_size);
}

const PropertySpec kHeadersProperties[] = {
    {"stream_id", crossing<record_field<&HeadersObject::stream_id>>, "The stream identifier."},
    {"end_stream", crossing<record_field<&HeadersObject::end_stream>>,
     "The END_STREAM flag of the HEADERS frame that opened the block."},
    {"end_headers", crossing<h2_frame_headers_end_headers>,
     "Always True: the event stands for a complete header block."},
    {"method", crossing<record_field<&HeadersObject::method>>, "The :method field, or None."},
    {"scheme", crossing<record_field<&HeadersObject::scheme>>,
     "The :scheme field, or None; 'http' and 'https' are shared strings."},
    {"authority", crossing<record_field<&HeadersObject::authority>>, "The :authority field, or None."},
    {"path", crossing<record_field<&HeadersObject::path>>, "The :path field, or None."},
    {"protocol", crossing<record_field<&HeadersObject::protocol>>,
     "The :protocol field of an extended CONNECT (RFC 8441), or None."},
    {"status", crossing<h2_frame_headers_status>, "The :status field as an int, or None."},
    {"headers", crossing<record_field<&HeadersObject::headers>>, "The regular fields (a HeaderMap)."},
    {"content_length", crossing<h2_frame_headers_content_length>,
     "The first content-length value when it is 1 to 19 digits (empty counts as 0),\n"
     "else None."},
    {"content_length_invalid", crossing<record_field<&HeadersObject::content_length_invalid>>,
     "A content-length field was present but not 1 to 19 digits."},
    {"is_informational", crossing<h2_frame_headers_is_informational>, "A :status from 100 to 199."},
    {"over_size", crossing<h2_frame_headers_over_size>,
     "The block passed our SETTINGS_MAX_HEADER_LIST_SIZE: the fields past the limit\n"
     "were dropped, so the block is not the whole message (a server answers 431)."},
};

const PyType_Slot kHeadersSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        crossing<record_dealloc<HeadersObject, &HeadersObject::method, &HeadersObject::scheme,
                                                &HeadersObject::authority, &HeadersObject::path,
                                                &HeadersObject::protocol, &HeadersObject::headers>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_frame_headers_repr>)},
};

constexpr ClassSpec kHeadersSpec{
    .name = "H2FrameHeaders",
    .doc = "A received header block: a HEADERS frame and its CONTINUATION frames.",
    .basicsize = sizeof(HeadersObject),
    .properties = kHeadersProperties,
    .slots = kHeadersSlots,
};

// ---- H2FrameSettings ---------------------------------------------------------------

template <auto Field>
constexpr auto kSetting = crossing<record_field<&SettingsObject::settings, Field>>;

PyObject* h2_frame_settings_repr(PyObject* obj) {
  SettingsObject* self = as<SettingsObject>(obj);
  const h2::Settings& s = self->settings;
  return new_ascii_text("Settings(ack=" + std::string(bool_text(self->ack)) +
                        ", max_concurrent_streams=" + optional_text(s.max_concurrent_streams) +
                        ", initial_window_size=" + optional_text(s.initial_window_size) +
                        ", max_frame_size=" + optional_text(s.max_frame_size) + ")");
}

const PropertySpec kSettingsProperties[] = {
    {"ack", crossing<record_field<&SettingsObject::ack>>,
     "The ACK flag: an acknowledgement carries no parameters."},
    {"header_table_size", kSetting<&h2::Settings::header_table_size>, "SETTINGS_HEADER_TABLE_SIZE, or None."},
    {"enable_push", kSetting<&h2::Settings::enable_push>, "SETTINGS_ENABLE_PUSH as a bool, or None."},
    {"max_concurrent_streams", kSetting<&h2::Settings::max_concurrent_streams>,
     "SETTINGS_MAX_CONCURRENT_STREAMS, or None."},
    {"initial_window_size", kSetting<&h2::Settings::initial_window_size>,
     "SETTINGS_INITIAL_WINDOW_SIZE, or None."},
    {"max_frame_size", kSetting<&h2::Settings::max_frame_size>, "SETTINGS_MAX_FRAME_SIZE, or None."},
    {"max_header_list_size", kSetting<&h2::Settings::max_header_list_size>,
     "SETTINGS_MAX_HEADER_LIST_SIZE, or None."},
};

const PyType_Slot kSettingsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<record_dealloc<SettingsObject>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_frame_settings_repr>)},
};

constexpr ClassSpec kSettingsSpec{
    .name = "H2FrameSettings",
    .doc = "A received SETTINGS frame; a parameter repeated in the frame has its last value.",
    .basicsize = sizeof(SettingsObject),
    .properties = kSettingsProperties,
    .slots = kSettingsSlots,
};

// ---- H2FramePing -------------------------------------------------------------------

PyObject* h2_frame_ping_repr(PyObject* obj) {
  PingObject* self = as<PingObject>(obj);
  return PyUnicode_FromFormat("Ping(ack=%s, data=%R)", bool_text(self->ack), self->data);
}

const PropertySpec kPingProperties[] = {
    {"ack", crossing<record_field<&PingObject::ack>>, "The ACK flag."},
    {"data", crossing<record_field<&PingObject::data>>, "The 8 octets of opaque data."},
};

const PyType_Slot kPingSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<record_dealloc<PingObject, &PingObject::data>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_frame_ping_repr>)},
};

constexpr ClassSpec kPingSpec{
    .name = "H2FramePing",
    .doc = "A received PING frame.",
    .basicsize = sizeof(PingObject),
    .properties = kPingProperties,
    .slots = kPingSlots,
};

// ---- H2FrameGoAway -----------------------------------------------------------------

PyObject* h2_frame_go_away_repr(PyObject* obj) {
  GoAwayObject* self = as<GoAwayObject>(obj);
  return PyUnicode_FromFormat("GoAway(last_stream_id=%lu, error_code=%lu, debug_data=%R)",
                              static_cast<unsigned long>(self->last_stream_id),
                              static_cast<unsigned long>(self->error_code), self->debug_data);
}

const PropertySpec kGoAwayProperties[] = {
    {"last_stream_id", crossing<record_field<&GoAwayObject::last_stream_id>>,
     "The highest stream the sender may have processed."},
    {"error_code", crossing<record_field<&GoAwayObject::error_code>>,
     "The HTTP/2 error code (see H2Reason)."},
    {"debug_data", crossing<record_field<&GoAwayObject::debug_data>>,
     "The additional debug data (bytes, possibly empty)."},
};

const PyType_Slot kGoAwaySlots[] = {
    {Py_tp_dealloc,
     reinterpret_cast<void*>(crossing<record_dealloc<GoAwayObject, &GoAwayObject::debug_data>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_frame_go_away_repr>)},
};

constexpr ClassSpec kGoAwaySpec{
    .name = "H2FrameGoAway",
    .doc = "A received GOAWAY frame.",
    .basicsize = sizeof(GoAwayObject),
    .properties = kGoAwayProperties,
    .slots = kGoAwaySlots,
};

// ---- the stream-and-value records --------------------------------------------------

// "Name(stream_id=N)" or "Name(stream_id=N, field=V)".
template <const char* Name, const char* Field>
PyObject* stream_value_repr(PyObject* obj) {
  StreamValueObject* self = as<StreamValueObject>(obj);
  if (Field[0] == '\0')
    return PyUnicode_FromFormat("%s(stream_id=%lu)", Name, static_cast<unsigned long>(self->stream_id));
  return PyUnicode_FromFormat("%s(stream_id=%lu, %s=%lu)", Name, static_cast<unsigned long>(self->stream_id),
                              Field, static_cast<unsigned long>(self->value));
}

constexpr PropertySpec kStreamIdProperty{"stream_id", crossing<record_field<&StreamValueObject::stream_id>>,
                                         "The stream identifier."};

constexpr char kPriorityName[] = "Priority";
constexpr char kRstStreamName[] = "RstStream";
constexpr char kWindowUpdateName[] = "WindowUpdate";
constexpr char kStreamErrorName[] = "StreamError";
constexpr char kNoField[] = "";
constexpr char kErrorCodeField[] = "error_code";
constexpr char kIncrementField[] = "increment";

const PropertySpec kPriorityProperties[] = {kStreamIdProperty};

const PropertySpec kErrorCodeProperties[] = {
    kStreamIdProperty,
    {"error_code", crossing<record_field<&StreamValueObject::value>>,
     "The HTTP/2 error code (see H2Reason)."},
};

const PropertySpec kWindowUpdateProperties[] = {
    kStreamIdProperty,
    {"increment", crossing<record_field<&StreamValueObject::value>>,
     "The window size increment, 1 to 2147483647."},
};

template <const char* Name, const char* Field>
const PyType_Slot kStreamValueSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<record_dealloc<StreamValueObject>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<stream_value_repr<Name, Field>>)},
};

constexpr ClassSpec kPrioritySpec{
    .name = "H2FramePriority",
    .doc = "A received valid PRIORITY frame (priorities are otherwise ignored).",
    .basicsize = sizeof(StreamValueObject),
    .properties = kPriorityProperties,
    .slots = kStreamValueSlots<kPriorityName, kNoField>,
};

constexpr ClassSpec kRstStreamSpec{
    .name = "H2FrameRstStream",
    .doc = "A received RST_STREAM frame (stream 0 included: the connection judges it).",
    .basicsize = sizeof(StreamValueObject),
    .properties = kErrorCodeProperties,
    .slots = kStreamValueSlots<kRstStreamName, kErrorCodeField>,
};

constexpr ClassSpec kWindowUpdateSpec{
    .name = "H2FrameWindowUpdate",
    .doc = "A received WINDOW_UPDATE frame (stream 0: the connection window).",
    .basicsize = sizeof(StreamValueObject),
    .properties = kWindowUpdateProperties,
    .slots = kStreamValueSlots<kWindowUpdateName, kIncrementField>,
};

constexpr ClassSpec kStreamErrorSpec{
    .name = "H2FrameStreamError",
    .doc =
        "A stream-level violation found while decoding: the stream must be reset with\n"
        "error_code; the connection survives.",
    .basicsize = sizeof(StreamValueObject),
    .properties = kErrorCodeProperties,
    .slots = kStreamValueSlots<kStreamErrorName, kErrorCodeField>,
};

// ---- building events ---------------------------------------------------------------

// A pseudo-header value as str (valid UTF-8, checked by the decoder), or
// nullptr for None; false with an exception set.
bool pseudo_str(const h2::HeaderBlock& block, Pseudo which, PyObject** out) {
  *out = nullptr;
  const auto value = block.pseudo(which);
  if (!value) return true;
  if (which == Pseudo::kScheme && (*value == "http" || *value == "https")) {
    *out = new_word(*value == "http" ? Word::kSchemeHttp : Word::kSchemeHttps);
  } else {
    *out = PyUnicode_DecodeUTF8(value->data(), static_cast<Py_ssize_t>(value->size()), "surrogateescape");
  }
  return *out != nullptr;
}

PyObject* new_headers_event(h2::HeadersEvent& event) {
  h2::HeaderBlock& block = *event.block;
  Ref method, scheme, authority, path, protocol;
  PyObject* raw = nullptr;
  if (!pseudo_str(block, Pseudo::kMethod, &raw)) return nullptr;
  method = Ref::steal(raw);
  if (!pseudo_str(block, Pseudo::kScheme, &raw)) return nullptr;
  scheme = Ref::steal(raw);
  if (!pseudo_str(block, Pseudo::kAuthority, &raw)) return nullptr;
  authority = Ref::steal(raw);
  if (!pseudo_str(block, Pseudo::kPath, &raw)) return nullptr;
  path = Ref::steal(raw);
  if (!pseudo_str(block, Pseudo::kProtocol, &raw)) return nullptr;
  protocol = Ref::steal(raw);
  const h2::MessageShape shape = h2::shape_of(block);  // before the fields move out
  Ref headers = Ref::steal(wrap_header_map(std::move(block.headers)));
  if (!headers) return nullptr;
  auto* self = alloc_record<HeadersObject>(h2_frame_headers_type());
  if (self == nullptr) return nullptr;
  self->method = method.release();
  self->scheme = scheme.release();
  self->authority = authority.release();
  self->path = path.release();
  self->protocol = protocol.release();
  self->headers = headers.release();
  self->stream_id = event.stream_id;
  self->end_stream = event.end_stream;
  self->has_status = block.status.has_value();
  self->status = block.status.value_or(0);
  self->has_content_length = block.content_length.has_value();
  self->content_length = block.content_length.value_or(0);
  self->content_length_invalid = block.content_length_invalid;
  self->shape = shape;
  return reinterpret_cast<PyObject*>(self);
}

PyObject* new_stream_value(PyTypeObject* type, uint32_t stream_id, uint32_t value) {
  auto* self = alloc_record<StreamValueObject>(type);
  if (self == nullptr) return nullptr;
  self->stream_id = stream_id;
  self->value = value;
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace

PyTypeObject* h2_frame_headers_type() {
  return ProcessClass<kHeadersSpec>::get();
}
PyTypeObject* h2_frame_data_type() {
  return ProcessClass<kDataSpec>::get();
}
PyTypeObject* h2_frame_settings_type() {
  return ProcessClass<kSettingsSpec>::get();
}
PyTypeObject* h2_frame_window_update_type() {
  return ProcessClass<kWindowUpdateSpec>::get();
}
PyTypeObject* h2_frame_ping_type() {
  return ProcessClass<kPingSpec>::get();
}
PyTypeObject* h2_frame_go_away_type() {
  return ProcessClass<kGoAwaySpec>::get();
}
PyTypeObject* h2_frame_rst_stream_type() {
  return ProcessClass<kRstStreamSpec>::get();
}
PyTypeObject* h2_frame_priority_type() {
  return ProcessClass<kPrioritySpec>::get();
}
PyTypeObject* h2_frame_stream_error_type() {
  return ProcessClass<kStreamErrorSpec>::get();
}

h2::RecvHeaders h2_frame_headers_facts(PyObject* frame) {
  const HeadersObject* self = as<HeadersObject>(frame);
  h2::RecvHeaders facts;
  facts.stream_id = self->stream_id;
  facts.end_stream = self->end_stream;
  if (self->has_status) facts.status = self->status;
  if (self->has_content_length) facts.content_length = self->content_length;
  facts.content_length_invalid = self->content_length_invalid;
  facts.shape = self->shape;
  return facts;
}

h2::RecvData h2_frame_data_facts(PyObject* frame, PyObject** payload) {
  const DataObject* self = as<DataObject>(frame);
  *payload = self->data;
  return h2::RecvData{self->stream_id, self->flow_controlled_len,
                      static_cast<uint32_t>(PyBytes_GET_SIZE(self->data)), self->end_stream};
}

StreamValue h2_frame_stream_value(PyObject* frame) {
  const StreamValueObject* self = as<StreamValueObject>(frame);
  return StreamValue{self->stream_id, self->value};
}

const h2::Settings& h2_frame_settings_values(PyObject* frame, bool* ack) {
  const SettingsObject* self = as<SettingsObject>(frame);
  *ack = self->ack;
  return self->settings;
}

std::string_view h2_frame_ping_data(PyObject* frame, bool* ack) {
  const PingObject* self = as<PingObject>(frame);
  *ack = self->ack;
  return {PyBytes_AS_STRING(self->data), static_cast<std::size_t>(PyBytes_GET_SIZE(self->data))};
}

GoAwayFacts h2_frame_go_away_facts(PyObject* frame) {
  const GoAwayObject* self = as<GoAwayObject>(frame);
  return GoAwayFacts{
      self->last_stream_id,
      self->error_code,
      {PyBytes_AS_STRING(self->debug_data), static_cast<std::size_t>(PyBytes_GET_SIZE(self->debug_data))}};
}

bool FrameEventBatch::capture(const std::vector<h2::FrameEvent>& events) {
  for (const h2::FrameEvent& event : events) {
    std::string_view octets;
    if (const auto* data = std::get_if<h2::DataEvent>(&event)) {
      octets = data->data;
    } else if (const auto* go_away = std::get_if<h2::GoAwayEvent>(&event)) {
      octets = go_away->debug_data;
    } else {
      continue;
    }
    Ref bytes = Ref::steal(new_bytes(octets));
    if (!bytes) return false;
    payloads_.push_back(std::move(bytes));
  }
  return true;
}

PyObject* FrameEventBatch::take_list(std::vector<h2::FrameEvent>& events) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(events.size())));
  if (!list) return nullptr;
  std::size_t payload = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    struct Build {
      FrameEventBatch& batch;
      std::size_t& payload;

      PyObject* operator()(h2::DataEvent& e) const {
        auto* self = alloc_record<DataObject>(h2_frame_data_type());
        if (self == nullptr) return nullptr;
        self->data = batch.payloads_[payload++].release();
        self->stream_id = e.stream_id;
        self->flow_controlled_len = e.flow_controlled_len;
        self->end_stream = e.end_stream;
        return reinterpret_cast<PyObject*>(self);
      }
      PyObject* operator()(h2::HeadersEvent& e) const { return new_headers_event(e); }
      PyObject* operator()(h2::PriorityEvent& e) const {
        return new_stream_value(h2_frame_priority_type(), e.stream_id, 0);
      }
      PyObject* operator()(h2::RstStreamEvent& e) const {
        return new_stream_value(h2_frame_rst_stream_type(), e.stream_id, e.error_code);
      }
      PyObject* operator()(h2::SettingsEvent& e) const {
        auto* self = alloc_record<SettingsObject>(h2_frame_settings_type());
        if (self == nullptr) return nullptr;
        new (&self->settings) h2::Settings(e.settings);
        self->ack = e.ack;
        return reinterpret_cast<PyObject*>(self);
      }
      PyObject* operator()(h2::PingEvent& e) const {
        Ref data = Ref::steal(new_bytes({e.data.data(), e.data.size()}));
        if (!data) return nullptr;
        auto* self = alloc_record<PingObject>(h2_frame_ping_type());
        if (self == nullptr) return nullptr;
        self->data = data.release();
        self->ack = e.ack;
        return reinterpret_cast<PyObject*>(self);
      }
      PyObject* operator()(h2::GoAwayEvent& e) const {
        auto* self = alloc_record<GoAwayObject>(h2_frame_go_away_type());
        if (self == nullptr) return nullptr;
        self->debug_data = batch.payloads_[payload++].release();
        self->last_stream_id = e.last_stream_id;
        self->error_code = e.error_code;
        return reinterpret_cast<PyObject*>(self);
      }
      PyObject* operator()(h2::WindowUpdateEvent& e) const {
        return new_stream_value(h2_frame_window_update_type(), e.stream_id, e.increment);
      }
      PyObject* operator()(h2::StreamErrorEvent& e) const {
        return new_stream_value(h2_frame_stream_error_type(), e.stream_id, e.error_code);
      }
    };
    PyObject* item = std::visit(Build{*this, payload}, events[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* receive_events(HostMutex& mutex, h2::FrameReader& reader, std::string_view data) {
  std::vector<h2::FrameEvent> events;
  FrameEventBatch batch;
  std::optional<h2::Error> error;
  {
    HostLock lock(mutex);
    error = reader.receive(data, events);
    if (!error && !batch.capture(events)) return nullptr;
  }
  if (error) {
    raise(*error);
    return nullptr;
  }
  return batch.take_list(events);
}

PyObject* preface_match_result(Progress match) {
  switch (match) {
    case Progress::kDone:
      Py_RETURN_TRUE;
    case Progress::kFailed:
      Py_RETURN_FALSE;
    case Progress::kNeedMore:
      break;
  }
  Py_RETURN_NONE;
}

}  // namespace vantric::py
