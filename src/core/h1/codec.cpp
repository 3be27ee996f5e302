#include "core/h1/codec.h"

#include <limits>

namespace vantric::h1 {

Codec::Codec(const CodecConfig& config) noexcept
    : config_(config),
      // A limit beyond the address space behaves as no limit: the field
      // lines of a parse are stored as they arrive, never for the whole limit.
      max_headers_(!config.max_headers ? kDefaultMaxHeaders
                   : *config.max_headers > std::numeric_limits<std::size_t>::max()
                       ? std::numeric_limits<std::size_t>::max()
                       : static_cast<std::size_t>(*config.max_headers)) {}

ParseLimits Codec::limits() const noexcept {
  return ParseLimits{max_headers_, config_.ignore_invalid_headers, config_.max_buf_size};
}

Progress Codec::receive_request_head(std::string_view data, RequestHead& out, http::HeaderMap& headers,
                                     ParseKind& error) {
  read_.append(data);
  const HeadResult result = parse_request(read_, limits(), out, headers, request_progress_);
  switch (result.status) {
    case Progress::kDone:
      method_ = out.method;
      trailers_allowed_ = out.allow_trailers;
      break;
    case Progress::kFailed:
      error = result.error;
      parse_error_status_ = automatic_status(result.error);
      break;
    case Progress::kNeedMore:
      break;
  }
  return result.status;
}

Progress Codec::receive_head(std::string_view data, ResponseHead& out, http::HeaderMap& headers,
                             ParseKind& error) {
  read_.append(data);
  // Interim responses are consumed from the front.
  request_progress_ = {};
  const HeadResult result = parse_response(read_, method_, limits(), out, headers);
  if (result.status == Progress::kFailed) error = result.error;
  return result.status;
}

void Codec::reset() noexcept {
  method_.reset();
  encoder_.reset();
  parse_error_status_.reset();
  request_connection_close_ = false;
  trailers_allowed_ = true;
}

}  // namespace vantric::h1
