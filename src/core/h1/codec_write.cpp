// The write side of the codec: head serialization and body framing over the
// codec's write buffer and encoder in flight (the algorithms are in
// serializer.cpp).
#include <string>

#include "core/h1/codec.h"
#include "core/http/date.h"

namespace vantric::h1 {

std::string_view Codec::serialize_request(const RequestTarget& target, const http::HeaderMap& headers,
                                          const RequestOptions& options) {
  // The head writer sets the encoder only once the head is written, so the
  // one in flight can be reused in place.
  bool close;
  if (encoder_) {
    close = write_request_head(target, headers, options, write_, *encoder_);
  } else {
    BodyEncoder encoder;
    close = write_request_head(target, headers, options, write_, encoder);
    encoder_ = std::move(encoder);
  }
  request_connection_close_ = close;
  method_ = target.method_id;
  return write_.view();
}

std::optional<Error> Codec::serialize_response(uint16_t status, const http::HeaderMap& headers,
                                               bool keep_alive, bool http10, const BodyRequest& body) {
  const ResponseOptions options{status, keep_alive, http10,
                                // Field by field: a copy of the whole would reload, as one wide
                                // word, what the caller has just stored in two parts.
                                BodyRequest{body.kind, body.length}, method_, config_.title_case_headers,
                                config_.date_header ? &http::thread_date_cache() : nullptr};
  // The head writer sets the encoder only when it succeeds, so the one in
  // flight can be reused in place.
  if (encoder_) {
    if (std::optional<Error> error = write_response_head(options, headers, write_, *encoder_)) return error;
  } else {
    BodyEncoder encoder;
    if (std::optional<Error> error = write_response_head(options, headers, write_, encoder)) return error;
    encoder_ = std::move(encoder);
  }
  response_is_last_ = encoder_->is_last;
  response_close_delimited_ = encoder_->kind == BodyFraming::kClose;
  return std::nullopt;
}

DataPlan Codec::plan_data(std::size_t size) const noexcept {
  if (!encoder_) return {DataPlan::Kind::kNoEncoder, 0};
  switch (encoder_->kind) {
    case BodyFraming::kEmpty:
    case BodyFraming::kLength:
      // Octets past the declared length would be read as the start of the
      // next message (RFC 9112 section 6.3): they are never sent.
      if (size > encoder_->remaining)
        return {DataPlan::Kind::kPrefix, static_cast<std::size_t>(encoder_->remaining)};
      return {DataPlan::Kind::kWhole, size};
    case BodyFraming::kClose:
      return {DataPlan::Kind::kWhole, size};
    case BodyFraming::kChunked:
      break;
  }
  return {DataPlan::Kind::kChunk, size};
}

void Codec::commit_data(const DataPlan& plan) noexcept {
  if (!encoder_ || encoder_->kind != BodyFraming::kLength) return;
  if (plan.kind == DataPlan::Kind::kWhole || plan.kind == DataPlan::Kind::kPrefix)
    encoder_->remaining -= plan.size;
}

std::optional<Error> Codec::plan_end(const DataPlan* data, const http::HeaderMap* trailers, EndPlan& out) {
  out = EndPlan{};
  if (!encoder_) return std::nullopt;
  switch (encoder_->kind) {
    case BodyFraming::kEmpty:
    case BodyFraming::kLength: {
      uint64_t remaining = encoder_->remaining;
      if (data != nullptr && (data->kind == DataPlan::Kind::kWhole || data->kind == DataPlan::Kind::kPrefix))
        remaining -= data->size;
      if (remaining == 0) return std::nullopt;
      // A body shorter than its Content-Length leaves the peer waiting for
      // octets that never come; the connection cannot be reused.
      return Error{ErrorKind::kUser, static_cast<uint8_t>(UserKind::kBodyWriteAborted),
                   ErrorCause::plain("early end, expected " + std::to_string(remaining) + " more bytes")};
    }
    case BodyFraming::kClose:
      return std::nullopt;
    case BodyFraming::kChunked:
      break;
  }
  // RFC 9110 section 6.5: a server sends trailers only to a client that
  // said it accepts them (TE: trailers), and only the fields its Trailer
  // line announced.
  if (trailers != nullptr && trailers_allowed_ && encoder_->has_trailer_list) {
    write_trailer_section(*encoder_, *trailers, write_);
    out = {EndPlan::Kind::kTrailers, write_.view()};
    if (out.bytes == kLastChunk) out = {EndPlan::Kind::kLastChunkOnly, kLastChunk};
    return std::nullopt;
  }
  out = {EndPlan::Kind::kLastChunkOnly, kLastChunk};
  return std::nullopt;
}

}  // namespace vantric::h1
