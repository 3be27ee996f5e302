// The HTTP/1 codec of one connection: its read buffer, its configuration and
// the per-message state that links a head to its body and a request to its
// response.  One object serves either role.  It performs no I/O and holds no
// lock: the host class and the server connection state call it under their
// own mutex.
//
// This file holds the read side (head reception, body hand-off, reset); the
// write side (head serialization and body framing) adds its operations in
// the section marked below and keeps its state in the fields listed there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/byte_buffer.h"
#include "core/h1/error.h"
#include "core/h1/head_parser.h"
#include "core/h1/method.h"
#include "core/h1/serializer.h"
#include "core/http/header_map.h"

namespace vantric::h1 {

struct CodecConfig {
  // Request-side field line limit; nullopt means kDefaultMaxHeaders.
  std::optional<uint64_t> max_headers;
  bool ignore_invalid_headers = false;
  // Write side: title-case response header names; add a Date line to responses.
  bool title_case_headers = false;
  bool date_header = true;
  // Cap on an incomplete head, at least kMinMaxBufSize.
  std::size_t max_buf_size = kDefaultMaxBufSize;
};

// The outgoing body framing in flight is a BodyEncoder (serializer.h): the
// serializers fill it in; the read side only asks whether it is done.

class Codec {
 public:
  explicit Codec(const CodecConfig& config) noexcept;
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;

  const CodecConfig& config() const noexcept { return config_; }

  // ---- read side ----------------------------------------------------------------

  // Appends `data` to the read buffer without parsing.  Throws std::bad_alloc,
  // leaving the buffer unchanged.
  void feed(std::string_view data) { read_.append(data); }
  // The same for a whole buffer, whose storage is taken over when nothing is
  // buffered (bytes handed back from a body decoder are not copied).
  void feed_buffer(ByteBuffer&& data) { read_.append(std::move(data)); }

  // Appends `data`, then parses a request head from the read buffer
  // (parse_request).  kDone: the head's bytes are consumed, `out` and
  // `headers` hold the head, the recorded method becomes its method and
  // trailers-allowed its allow_trailers.  kFailed: nothing of the failing head is consumed, `error`
  // is set and parse_error_status() becomes the automatic status.  kNeedMore:
  // the bytes stay buffered.  Throws std::bad_alloc only (after the append
  // the buffer holds `data`).
  Progress receive_request_head(std::string_view data, RequestHead& out, http::HeaderMap& headers,
                                ParseKind& error);

  // Appends `data`, then parses a response head to the recorded request
  // method (parse_response).  Interim 1xx heads are consumed even when the
  // result is kNeedMore or kFailed.  Otherwise as receive_request_head, without
  // touching the per-message state.
  Progress receive_head(std::string_view data, ResponseHead& out, http::HeaderMap& headers, ParseKind& error);

  // Every byte of the read buffer, moved out without copying (the buffer is
  // left empty, without storage).
  ByteBuffer take_body() noexcept {
    request_progress_ = {};
    return read_.take();
  }
  // The buffered bytes, valid until the next non-const call; and dropping them
  // while keeping the storage.
  std::string_view buffered_view() const noexcept { return read_.view(); }
  void clear_buffer() noexcept {
    request_progress_ = {};
    read_.clear();
  }
  std::size_t buffered() const noexcept { return read_.size(); }

  // Clears the per-message state (recorded method, encoder, automatic
  // status, request_connection_close, trailers-allowed); keeps the read
  // buffer, the two response verdicts and the configuration.
  void reset() noexcept;

  // True when no encoder is in flight, or a Length encoder has nothing left.
  bool body_is_eof() const noexcept {
    return !encoder_ || (encoder_->kind == BodyFraming::kLength && encoder_->remaining == 0);
  }

  std::optional<uint16_t> parse_error_status() const noexcept { return parse_error_status_; }
  std::optional<Method> recorded_method() const noexcept { return method_; }
  bool trailers_allowed() const noexcept { return trailers_allowed_; }
  bool response_is_last() const noexcept { return response_is_last_; }
  bool response_close_delimited() const noexcept { return response_close_delimited_; }
  bool request_connection_close() const noexcept { return request_connection_close_; }

  // ---- write side ---------------------------------------------------------------
  // Head serialization and body framing.  They own write_, method_ (set by
  // serialize_request), encoder_, request_connection_close_,
  // response_is_last_ and response_close_delimited_, and read
  // trailers_allowed_ and the configuration.  A head call replaces the
  // encoder in flight, data counts it down, an end takes it out.  Each call
  // either completes its changes or fails (or throws std::bad_alloc) having
  // changed nothing but the write buffer, except that a failing end takes the
  // encoder out as a succeeding one does.

  // Writes the head of a request for `target` (from check_request_line) and
  // `headers` into the write buffer and returns it, valid until the next
  // write-side call.  Records the method, request_connection_close and the
  // encoder.
  std::string_view serialize_request(const RequestTarget& target, const http::HeaderMap& headers,
                                     const RequestOptions& options);

  // Writes the head of a response (status 100..999) to the recorded request
  // method into the write buffer (read it with written()).  On success sets
  // the encoder, response_is_last and response_close_delimited.  Fails with
  // the User errors UnsupportedStatusCode and UnexpectedHeader.
  std::optional<Error> serialize_response(uint16_t status, const http::HeaderMap& headers, bool keep_alive,
                                          bool http10, const BodyRequest& body);

  // The last head written; valid until the next write-side call.
  std::string_view written() const noexcept { return write_.view(); }

  bool has_encoder() const noexcept { return encoder_.has_value(); }
  const std::optional<BodyEncoder>& encoder() const noexcept { return encoder_; }

  // How `size` (> 0) octets of body data go out under the encoder in flight;
  // commit_data() then counts them.  Between the two the caller only builds
  // the result, so a failed allocation leaves the encoder as it was.
  DataPlan plan_data(std::size_t size) const noexcept;
  void commit_data(const DataPlan& plan) noexcept;

  // The end of the message under the encoder in flight, after `data` (a
  // plan_data result, or nothing sent), with `trailers` (nullptr: none):
  // nothing (no encoder, a length all sent, a close-delimited body), the last
  // chunk, or a trailer section built in the write buffer (valid until the
  // next write-side call).  Fails with the User error BodyWriteAborted when a
  // length is left.  end_message() then takes the encoder out, on success
  // and on failure alike.
  std::optional<Error> plan_end(const DataPlan* data, const http::HeaderMap* trailers, EndPlan& out);
  void end_message() noexcept { encoder_.reset(); }

 private:
  ParseLimits limits() const noexcept;

  const CodecConfig config_;
  std::size_t max_headers_;  // config_.max_headers resolved

  ByteBuffer read_;  // received bytes not yet consumed
  // How far an incomplete request head in read_ was found valid.
  RequestScanProgress request_progress_;
  // Scratch space for head serialization, kept between messages: sized for
  // a usual head rather than the read side's default, since every idle
  // connection holds one.
  [[maybe_unused]] ByteBuffer write_{512};

  // Verdicts of the last successful response serialization.
  bool response_is_last_ = false;
  bool response_close_delimited_ = false;

  // Per-message state.
  std::optional<Method> method_;
  std::optional<BodyEncoder> encoder_;
  std::optional<uint16_t> parse_error_status_;
  bool request_connection_close_ = false;
  bool trailers_allowed_ = true;
};

}  // namespace vantric::h1
