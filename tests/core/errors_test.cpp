#include <gtest/gtest.h>

#include <string>

#include "core/h1/error.h"
#include "core/h2/error.h"
#include "core/io_kind.h"

namespace vantric {
namespace {

TEST(Errors, CamelToSnake) {
  const std::pair<const char*, const char*> cases[] = {
      {"UnexpectedEof", "unexpected_eof"},
      {"InvalidData", "invalid_data"},
      {"Other", "other"},
      {"AddrInUse", "addr_in_use"},
      {"", ""},
      {"lower", "lower"},
      {"ABc", "a_bc"},
  };
  for (auto [camel, snake] : cases) EXPECT_EQ(camel_to_snake(camel), snake);
  for (std::size_t i = 0; i < kIoKindCount; ++i) {
    auto kind = static_cast<IoKind>(i);
    EXPECT_EQ(io_kind_snake_name(kind), camel_to_snake(io_kind_name(kind)));
    EXPECT_FALSE(io_kind_description(kind).empty());
  }
}

TEST(Errors, H1MessageAndIoKind) {
  EXPECT_EQ(h1::Error::parse(h1::ParseKind::kMethod).message(), "invalid HTTP method parsed");
  EXPECT_EQ(h1::Error::parse(h1::ParseKind::kHeaderToken).kind_string(), "header_token");
  EXPECT_EQ(h1::Error::user(h1::UserKind::kNoUpgrade).message(), "no upgrade available");
  EXPECT_EQ(h1::Error::of(h1::ErrorKind::kCanceled).kind_string(), "");

  auto truncated = h1::Error::body(IoKind::kUnexpectedEof, "unexpected EOF during chunk size line");
  EXPECT_EQ(truncated.message(),
            "error reading a body from connection: unexpected EOF during chunk size line");
  EXPECT_EQ(truncated.io_kind(), "unexpected_eof");

  // The I/O kind is found through wrapping causes; none at all reads "other".
  auto wrapped = h1::Error::of(
      h1::ErrorKind::kBody,
      ErrorCause::plain("outer", ErrorCause::plain("middle", ErrorCause::io(IoKind::kInvalidInput, "x"))));
  EXPECT_EQ(wrapped.io_kind(), "invalid_input");
  EXPECT_EQ(wrapped.message(), "error reading a body from connection: outer");
  EXPECT_EQ(h1::Error::of(h1::ErrorKind::kBody, ErrorCause::plain("no io")).io_kind(), "other");
  EXPECT_EQ(h1::Error::of(h1::ErrorKind::kBody).io_kind(), "other");
}

TEST(Errors, H2Values) {
  EXPECT_EQ(h2::reason_description(1), "unspecific protocol error detected");
  EXPECT_EQ(h2::reason_description(13), "endpoint requires HTTP/1.1");
  EXPECT_EQ(h2::reason_description(14), "unknown reason");
  EXPECT_EQ(h2::reason_description(0xffffffffu), "unknown reason");
  EXPECT_EQ(h2::reason_name(11), "ENHANCE_YOUR_CALM");
  EXPECT_EQ(h2::reason_name(14), "");

  EXPECT_EQ(h2::ConnError::go_away("debug", 9, h2::Initiator::kRemote).message(),
            "unable to maintain the header compression context");
  EXPECT_EQ(h2::ConnError::io(IoKind::kBrokenPipe).message(), "broken pipe");
  EXPECT_EQ(h2::ConnError::io(IoKind::kBrokenPipe, "gone").message(), "gone");

  h2::UserError defaulted{h2::UserErrorKind::kPeerDisabledServerPush, ""};
  EXPECT_EQ(defaulted.text(), "sending PUSH_PROMISE to peer who disabled server push");
  EXPECT_EQ(h2::user_error_kind_name(h2::UserErrorKind::kPeerDisabledServerPush),
            "peer_disabled_server_push");
  h2::UserError specific{h2::UserErrorKind::kRejected, "too many streams"};
  EXPECT_EQ(specific.text(), "too many streams");
}

}  // namespace
}  // namespace vantric
