// H1BodyDecoder: the host class over the HTTP/1 body decoder core.
#include "py/h1_body_decoder.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/header_map.h"
#include "py/lock.h"
#include "py/method_adapters.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {

// `extra` is the bytes object the core borrows from (feed_borrowed), held
// while core.borrowing().  Only exact bytes are borrowed: releasing one runs
// no host code, whichever lock is held at the time.
using H1BodyDecoderObject = CoreObject<h1::BodyDecoder, Ref>;

template <>
struct ObjectOf<h1::BodyDecoder> {
  using type = H1BodyDecoderObject;
};

namespace {

using h1::BodyDecoder;

H1BodyDecoderObject* as_decoder(PyObject* obj) {
  return as_object<BodyDecoder>(obj);
}

// Moves the borrowed reference into `out` once the core no longer refers to
// it (call under the lock; `out` is released after it).
void drop_if_done(H1BodyDecoderObject* self, Ref& out) {
  if (!self->core.borrowing() && self->extra) out = std::move(self->extra);
}

// ---- H1BodyDecoder(kind, length=0) ---------------------------------------------

constexpr Param kNewParams[] = {{"kind"}, {"length", "0"}};
constexpr Signature kNew{"H1BodyDecoder", "H1BodyDecoder", CallKind::kConstructor, kNewParams};

PyObject* h1_body_decoder_new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  std::string_view kind;
  uint64_t length = 0;
  if (!parse_args_tuple(kNew, args, kwargs, a) || !arg_str(a[0], kNew, 0, &kind) ||
      (a[1] != nullptr && !arg_u64(a[1], kNew, 1, &length)))
    return nullptr;
  return new_core_object<BodyDecoder>(type, BodyDecoder::from_kind_name(kind, length));
}

// ---- feed(data) ------------------------------------------------------------------

constexpr Param kDataParams[] = {{"data"}};
constexpr Signature kFeed{"feed", "H1BodyDecoder.feed", CallKind::kMethod, kDataParams};

PyObject* h1_body_decoder_feed(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(kFeed, args, nargs, kwnames, a) || !arg_bytes(a[0], kFeed, 0, &data)) return nullptr;
  H1BodyDecoderObject* self = as_decoder(obj);
  Ref released;
  {
    HostLock lock(self->mutex);
    if (data.empty()) {
      // Nothing to add.
    } else if (PyBytes_CheckExact(a[0])) {
      // A transport read is handed over whole: refer to it instead of
      // copying; an unread rest of the previous one is copied.
      self->core.feed_borrowed(data);
      released = std::move(self->extra);
      self->extra = Ref::from_borrowed(a[0]);
    } else {
      self->core.feed(data);
      drop_if_done(self, released);
    }
  }
  Py_RETURN_NONE;
}

// ---- mark_eof() ------------------------------------------------------------------

constexpr Signature kMarkEof{"mark_eof", "H1BodyDecoder.mark_eof", CallKind::kMethod, {}};

// ---- decode() --------------------------------------------------------------------

constexpr Signature kDecode{"decode", "H1BodyDecoder.decode", CallKind::kMethod, {}};

PyObject* h1_body_decoder_decode(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kDecode, args, nargs, kwnames, nullptr)) return nullptr;
  H1BodyDecoderObject* self = as_decoder(obj);
  Ref released;
  Ref piece_object;
  std::optional<h1::Error> error;
  {
    HostLock lock(self->mutex);
    std::string_view piece;
    error = self->core.decode(piece);
    // The piece is a view into the input: it becomes the one bytes object
    // of the result before anything else touches the decoder.
    if (!piece.empty()) {
      piece_object = Ref::steal(new_bytes(piece));
      if (!piece_object) return nullptr;
    }
    drop_if_done(self, released);
  }
  if (error) {
    raise(*error);
    return nullptr;
  }
  if (piece_object) return piece_object.release();
  Py_RETURN_NONE;
}

// ---- decode_available() ----------------------------------------------------------

constexpr Signature kDecodeAvailable{
    "decode_available", "H1BodyDecoder.decode_available", CallKind::kMethod, {}};

// `first` and every piece of content after it that `core` can decode from its
// input, in one bytes object (a new reference, nullptr with an exception).
// The input bounds the content: `first` and all that is still buffered.  A
// failure after content is kept by the core and reported by its next call.
// Call under the decoder's lock.
PyObject* join_pieces(BodyDecoder& core, std::string_view first) {
  const std::size_t bound = first.size() + core.buffered();
  // A sized body has only one piece to give.
  if (bound == first.size() || core.framing() == h1::BodyFraming::kLength) return new_bytes(first);
  char* out = nullptr;
  PyObject* joined = new_bytes_uninitialized(bound, &out);
  if (joined == nullptr) return nullptr;
  std::size_t size = 0;
  for (std::string_view piece = first; !piece.empty();) {
    std::memcpy(out + size, piece.data(), piece.size());
    size += piece.size();
    piece = {};
    if (core.decode(piece)) break;
  }
  if (size < bound && _PyBytes_Resize(&joined, static_cast<Py_ssize_t>(size)) != 0) return nullptr;
  return joined;
}

// Chunk boundaries carry no meaning (RFC 9112 section 7.1), so the content of
// every chunk the input holds is joined into one bytes object: a body sent in
// small chunks costs one host object per read instead of one per chunk.
PyObject* h1_body_decoder_decode_available(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  if (!parse_args(kDecodeAvailable, args, nargs, kwnames, nullptr)) return nullptr;
  H1BodyDecoderObject* self = as_decoder(obj);
  Ref released;
  Ref joined;
  std::optional<h1::Error> error;
  {
    HostLock lock(self->mutex);
    std::string_view piece;
    error = self->core.decode(piece);
    if (!piece.empty()) {
      joined = Ref::steal(join_pieces(self->core, piece));
      if (!joined) return nullptr;
    }
    drop_if_done(self, released);
  }
  if (error) {
    raise(*error);
    return nullptr;
  }
  if (joined) return joined.release();
  Py_RETURN_NONE;
}

// ---- take_trailers() -------------------------------------------------------------

constexpr Signature kTakeTrailers{"take_trailers", "H1BodyDecoder.take_trailers", CallKind::kMethod, {}};

PyObject* h1_body_decoder_take_trailers(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  if (!parse_args(kTakeTrailers, args, nargs, kwnames, nullptr)) return nullptr;
  H1BodyDecoderObject* self = as_decoder(obj);
  HostLock lock(self->mutex);
  std::unique_ptr<http::HeaderMap> trailers = self->core.take_trailers();
  if (!trailers) Py_RETURN_NONE;
  // A HeaderMap is not tracked by the garbage collector, so it may be made
  // under the lock.  On failure the trailers are gone, as for any failed take.
  return wrap_header_map(std::move(*trailers));
}

// ---- attributes ------------------------------------------------------------------

const MethodSpec kMethods[] = {
    {&kFeed, method_entry<h1_body_decoder_feed>(), "Append data (bytes) to the input without decoding it."},
    method<kMarkEof, &BodyDecoder::mark_eof>(
        "Record that the transport reached end of file: a close-delimited body ends\n"
        "there, the other kinds then fail on missing bytes."),
    {&kDecode, method_entry<h1_body_decoder_decode>(),
     "The next piece of body content as non-empty bytes, or None when more input is\n"
     "needed or the body has ended (see is_complete).  Raises H1BodyError for a\n"
     "malformed or truncated body."},
    {&kDecodeAvailable, method_entry<h1_body_decoder_decode_available>(),
     "All body content decodable from the input so far, the chunks of a chunked\n"
     "body joined, as non-empty bytes; None as for decode().  A failure after some\n"
     "content is raised by the next call, once that content is returned."},
    {&kTakeTrailers, method_entry<h1_body_decoder_take_trailers>(),
     "The trailer section of a completed chunked body as a HeaderMap, once; None\n"
     "when there were no trailers, before the end, and on later calls."},
};

const PropertySpec kProperties[] = {
    {"is_complete", crossing<locked_property<&BodyDecoder::is_complete>>, "True once the body has ended."},
    {"buffered", crossing<locked_property<&BodyDecoder::buffered>>,
     "The number of fed bytes not yet consumed; once complete, the bytes past the body."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h1_body_decoder_new_slot>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<BodyDecoder>>)},
};

constexpr ClassSpec kSpec{
    .name = "H1BodyDecoder",
    .doc =
        "A sans-IO HTTP/1 message body decoder.\n\n"
        "kind is \"length\" (a Content-Length body of length bytes), \"chunked\" or\n"
        "\"close\" (the body runs until the peer closes); any other kind is an empty\n"
        "body.  Feed it what the transport reads, mark_eof() at end of file, and pull\n"
        "content with decode() until is_complete.",
    .constructor = &kNew,
    .basicsize = sizeof(H1BodyDecoderObject),
    .methods = kMethods,
    .properties = kProperties,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* h1_body_decoder_type() {
  return ProcessClass<kSpec>::get();
}

void h1_body_decoder_append(PyObject* decoder, ByteBuffer&& bytes) {
  H1BodyDecoderObject* self = as_decoder(decoder);
  Ref released;
  HostLock lock(self->mutex);
  self->core.append(std::move(bytes));
  drop_if_done(self, released);
}

PyObject* h1_body_decoder_new(h1::BodyDecoder&& core) {
  PyTypeObject* type = h1_body_decoder_type();
  if (type == nullptr) return nullptr;
  return new_core_object<BodyDecoder>(type, std::move(core));
}

ByteBuffer h1_body_decoder_take_buffered(PyObject* decoder) {
  H1BodyDecoderObject* self = as_decoder(decoder);
  Ref released;
  HostLock lock(self->mutex);
  ByteBuffer bytes = self->core.take_buffered();
  drop_if_done(self, released);
  return bytes;
}

bool h1_body_decoder_is_complete(PyObject* decoder) {
  H1BodyDecoderObject* self = as_decoder(decoder);
  HostLock lock(self->mutex);
  return self->core.is_complete();
}

}  // namespace vantric::py
