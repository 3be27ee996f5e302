// H1RequestHead and H1ResponseHead: the host records of parsed HTTP/1 heads.
//
// A head is built once from the core head and never changes: its strings and
// its HeaderMap are made at parse and returned by reference on every read.
// It holds no object that could refer back to it, so it needs no garbage
// collection support.
#include "py/h1_heads.h"

#include <array>
#include <cstring>
#include <memory>

#include "core/h1/message.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/header_map.h"
#include "py/once.h"
#include "py/record_fields.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

struct RequestHeadObject {
  PyObject_HEAD PyObject* method;  // str; a standard method is the process's interned string
  PyObject* target;                // str
  PyObject* headers;               // HeaderMap
  uint64_t body_length;
  bool keep_alive;
  bool expect_continue;
  bool is_upgrade;
  bool http10;
  bool allow_trailers;
  uint16_t host_count;
};

struct ResponseHeadObject {
  PyObject_HEAD PyObject* headers;  // HeaderMap
  uint64_t body_length;
  uint16_t status;
  bool keep_alive;
  bool is_upgrade;
  bool http10;
};

RequestHeadObject* as_request(PyObject* obj) {
  return reinterpret_cast<RequestHeadObject*>(obj);
}
ResponseHeadObject* as_response(PyObject* obj) {
  return reinterpret_cast<ResponseHeadObject*>(obj);
}

// ---- strings -------------------------------------------------------------------

struct MethodTable {
  std::array<PyObject*, h1::kStandardMethodCount> strings{};
};

ProcessOnce<MethodTable> g_methods;

MethodTable* make_method_table() {
  auto table = std::make_unique<MethodTable>();
  for (std::size_t i = 0; i < h1::kStandardMethodCount; ++i) {
    const std::string_view name = h1::method_name(static_cast<h1::Method>(i));
    table->strings[i] = PyUnicode_InternFromString(std::string(name).c_str());
    if (table->strings[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(table->strings[j]);
      return nullptr;
    }
  }
  return table.release();
}

bool is_ascii(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < text.size(); ++i)
    if (static_cast<uint8_t>(text[i]) >= 0x80) return false;
  return true;
}

// `prefix` then `text` as one str.  ASCII (nearly every target) is copied
// straight into a compact string; other octets are decoded as UTF-8, and
// octets that are not UTF-8 map to lone surrogates (surrogateescape), so
// text.encode("utf-8", "surrogateescape") gives back the octets received.
PyObject* target_str(std::string_view prefix, std::string_view text) {
  const std::size_t size = prefix.size() + text.size();
  if (is_ascii(text)) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (s == nullptr) return nullptr;
    auto* data = static_cast<char*>(PyUnicode_DATA(s));
    // An empty view may carry a null pointer, which memcpy must not see.
    if (!prefix.empty()) std::memcpy(data, prefix.data(), prefix.size());
    if (!text.empty()) std::memcpy(data + prefix.size(), text.data(), text.size());
    return s;
  }
  std::string joined;
  joined.reserve(size);
  joined.append(prefix).append(text);
  return PyUnicode_DecodeUTF8(joined.data(), static_cast<Py_ssize_t>(joined.size()), "surrogateescape");
}

PyObject* method_str(h1::Method method, std::string_view text) {
  if (method != h1::Method::kExtension) {
    MethodTable* table = g_methods.get(make_method_table);
    if (table == nullptr) return nullptr;
    return Py_NewRef(table->strings[static_cast<std::size_t>(method)]);
  }
  // An extension method is a token: ASCII.
  return target_str({}, text);
}

PyObject* body_kind_str(uint64_t body_length) {
  constexpr Word kWords[] = {Word::kBodyEmpty, Word::kBodyLength, Word::kBodyChunked, Word::kBodyClose};
  return new_word(kWords[static_cast<std::size_t>(h1::body_framing(body_length))]);
}

// The content_length attribute: the length of an "empty" or "length" body,
// None for the framings without one.
PyObject* content_length_object(uint64_t body_length) {
  switch (h1::body_framing(body_length)) {
    case h1::BodyFraming::kEmpty:
    case h1::BodyFraming::kLength:
      return PyLong_FromUnsignedLongLong(body_length);
    case h1::BodyFraming::kChunked:
    case h1::BodyFraming::kClose:
      break;
  }
  Py_RETURN_NONE;
}

// ---- H1RequestHead -------------------------------------------------------------

PyObject* h1_request_head_repr(PyObject* obj) {
  RequestHeadObject* self = as_request(obj);
  const std::string_view kind = h1::body_kind_name(h1::body_framing(self->body_length));
  // The kind names are literals, so their views are NUL-terminated.
  return PyUnicode_FromFormat("H1RequestHead(method=%R, target=%R, body_kind=%s)", self->method, self->target,
                              kind.data());
}

PyObject* h1_request_head_body_kind(PyObject* self, void*) {
  return body_kind_str(as_request(self)->body_length);
}

PyObject* h1_request_head_content_length(PyObject* self, void*) {
  return content_length_object(as_request(self)->body_length);
}

const PropertySpec kRequestProperties[] = {
    {"method", crossing<record_field<&RequestHeadObject::method>>,
     "The request method; a standard method is one shared interned string."},
    {"target", crossing<record_field<&RequestHeadObject::target>>,
     "The request-target: origin-form path and query, absolute-form URI (http and\n"
     "https schemes in lowercase), authority-form host and port, or '*'."},
    {"headers", crossing<record_field<&RequestHeadObject::headers>>,
     "The field lines in arrival order (a HeaderMap), less the Content-Length lines\n"
     "the framing rules drop."},
    {"body_kind", crossing<h1_request_head_body_kind>, "'empty', 'length' or 'chunked'."},
    {"content_length", crossing<h1_request_head_content_length>,
     "The body length for 'empty' (0) and 'length'; None for 'chunked'."},
    {"keep_alive", crossing<record_field<&RequestHeadObject::keep_alive>>,
     "The connection may carry another request after this exchange."},
    {"expect_continue", crossing<record_field<&RequestHeadObject::expect_continue>>,
     "The client sent Expect: 100-continue."},
    {"is_upgrade", crossing<record_field<&RequestHeadObject::is_upgrade>>,
     "A CONNECT request, or an HTTP/1.1 request with an Upgrade field."},
    {"http10", crossing<record_field<&RequestHeadObject::http10>>, "The request line carried HTTP/1.0."},
    {"allow_trailers", crossing<record_field<&RequestHeadObject::allow_trailers>>,
     "A TE field lists 'trailers': response trailers may be sent."},
    {"host_count", crossing<record_field<&RequestHeadObject::host_count>>,
     "Host field lines received: 0, 1, or 2 for two or more."},
};

const PyType_Slot kRequestSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        crossing<record_dealloc<RequestHeadObject, &RequestHeadObject::method,
                                                &RequestHeadObject::target, &RequestHeadObject::headers>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h1_request_head_repr>)},
};

constexpr ClassSpec kRequestSpec{
    .name = "H1RequestHead",
    .doc = "A parsed HTTP/1 request head, as returned by H1Codec.receive_request_head().",
    .basicsize = sizeof(RequestHeadObject),
    .properties = kRequestProperties,
    .slots = kRequestSlots,
};

// ---- H1ResponseHead ------------------------------------------------------------

PyObject* h1_response_head_repr(PyObject* obj) {
  ResponseHeadObject* self = as_response(obj);
  const std::string_view kind = h1::body_kind_name(h1::body_framing(self->body_length));
  return PyUnicode_FromFormat("H1ResponseHead(status=%u, body_kind=%s, keep_alive=%s)",
                              static_cast<unsigned>(self->status), kind.data(),
                              self->keep_alive ? "true" : "false");
}

PyObject* h1_response_head_body_kind(PyObject* self, void*) {
  return body_kind_str(as_response(self)->body_length);
}

PyObject* h1_response_head_content_length(PyObject* self, void*) {
  return content_length_object(as_response(self)->body_length);
}

const PropertySpec kResponseProperties[] = {
    {"status", crossing<record_field<&ResponseHeadObject::status>>, "The status code, 100 to 999."},
    {"headers", crossing<record_field<&ResponseHeadObject::headers>>,
     "Every field line in arrival order (a HeaderMap)."},
    {"body_kind", crossing<h1_response_head_body_kind>, "'empty', 'length', 'chunked' or 'close'."},
    {"content_length", crossing<h1_response_head_content_length>,
     "The body length for 'empty' (0) and 'length'; None for 'chunked' and 'close'."},
    {"keep_alive", crossing<record_field<&ResponseHeadObject::keep_alive>>,
     "The connection may be reused after this response."},
    {"is_upgrade", crossing<record_field<&ResponseHeadObject::is_upgrade>>,
     "The response switches protocols (101, or a 2xx answer to CONNECT): the\n"
     "connection becomes a raw tunnel the caller takes over."},
    {"http10", crossing<record_field<&ResponseHeadObject::http10>>, "The status line carried HTTP/1.0."},
};

const PyType_Slot kResponseSlots[] = {
    {Py_tp_dealloc,
     reinterpret_cast<void*>(crossing<record_dealloc<ResponseHeadObject, &ResponseHeadObject::headers>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h1_response_head_repr>)},
};

constexpr ClassSpec kResponseSpec{
    .name = "H1ResponseHead",
    .doc = "A parsed HTTP/1 response head, as returned by H1Codec.receive_head().",
    .basicsize = sizeof(ResponseHeadObject),
    .properties = kResponseProperties,
    .slots = kResponseSlots,
};

}  // namespace

PyTypeObject* h1_request_head_type() {
  return ProcessClass<kRequestSpec>::get();
}

PyTypeObject* h1_response_head_type() {
  return ProcessClass<kResponseSpec>::get();
}

PyObject* new_head_fields() {
  return wrap_header_map(http::HeaderMap());
}

http::HeaderMap& header_map_of(PyObject* map) {
  return reinterpret_cast<HeaderMapObject*>(map)->core;
}

PyObject* new_request_head(h1::RequestHead&& head, PyObject* headers) {
  Ref fields = Ref::steal(headers);
  Ref method = Ref::steal(method_str(head.method, head.method_text));
  if (!method) return nullptr;
  Ref target = Ref::steal(target_str(head.target_scheme, head.target));
  if (!target) return nullptr;
  auto* self = alloc_record<RequestHeadObject>(h1_request_head_type());
  if (self == nullptr) return nullptr;
  self->method = method.release();
  self->target = target.release();
  self->headers = fields.release();
  self->body_length = head.body_length;
  self->keep_alive = head.keep_alive;
  self->expect_continue = head.expect_continue;
  self->is_upgrade = head.is_upgrade;
  self->http10 = head.http10;
  self->allow_trailers = head.allow_trailers;
  self->host_count = head.host_count;
  return reinterpret_cast<PyObject*>(self);
}

PyObject* new_response_head(h1::ResponseHead&& head, PyObject* headers) {
  Ref fields = Ref::steal(headers);
  auto* self = alloc_record<ResponseHeadObject>(h1_response_head_type());
  if (self == nullptr) return nullptr;
  self->headers = fields.release();
  self->body_length = head.body_length;
  self->status = head.status;
  self->keep_alive = head.keep_alive;
  self->is_upgrade = head.is_upgrade;
  self->http10 = head.http10;
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace vantric::py
