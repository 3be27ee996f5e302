// Which received header blocks make a well-formed request, response or
// trailer section (RFC 9113 sections 8.1 to 8.3, 8.5).
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/message_rules.h"

namespace vantric::h2 {
namespace {

using hpack::Pseudo;

struct Field {
  std::string_view name;
  std::string_view value;
};

// A decoded block of these fields (pseudo-headers by name, then regular ones).
HeaderBlock block_of(const std::vector<Field>& fields) {
  HeaderBlock block;
  for (const Field& f : fields) {
    if (f.name == ":status") {
      block.status = static_cast<uint16_t>(std::stoi(std::string(f.value)));
      continue;
    }
    bool pseudo = false;
    for (std::size_t i = 1; i < hpack::kPseudoNames.size(); ++i) {
      if (f.name == hpack::kPseudoNames[i]) {
        block.set_pseudo(static_cast<Pseudo>(i), f.value);
        pseudo = true;
      }
    }
    if (!pseudo) {
      EXPECT_EQ(block.headers.append(f.name, f.value, false), std::nullopt);
    }
  }
  return block;
}

TEST(H2MessageRules, Requests) {
  const Field get{":method", "GET"}, http{":scheme", "http"}, slash{":path", "/"},
      host{":authority", "a.example"};
  struct Case {
    const char* name;
    std::vector<Field> fields;
    bool valid;
  };
  const Case cases[] = {
      {"ordinary", {get, http, slash, host}, true},
      {"no authority", {get, http, slash}, true},
      {"no :method", {http, slash, host}, false},
      {"no :scheme", {get, slash, host}, false},
      {"no :path", {get, http, host}, false},
      {"empty :path", {get, http, {":path", ""}, host}, false},
      {"with :status", {get, http, slash, host, {":status", "200"}}, false},
      {"with :protocol", {{":method", "CONNECT"}, {":protocol", "websocket"}, http, slash, host}, false},
      {"CONNECT", {{":method", "CONNECT"}, host}, true},
      {"CONNECT without :authority", {{":method", "CONNECT"}}, false},
      {"CONNECT with :scheme", {{":method", "CONNECT"}, http, host}, false},
      {"CONNECT with :path", {{":method", "CONNECT"}, slash, host}, false},
      {"host agreeing", {get, http, slash, host, {"host", "a.example"}}, true},
      {"host agreeing but for case", {get, http, slash, host, {"host", "A.Example"}}, true},
      {"host with the default port", {get, http, slash, host, {"host", "a.example:80"}}, true},
      {"host with another port", {get, http, slash, host, {"host", "a.example:8080"}}, false},
      {"host disagreeing", {get, http, slash, host, {"host", "b.example"}}, false},
      {"two hosts, one disagreeing",
       {get, http, slash, host, {"host", "a.example"}, {"host", "b.example"}},
       false},
      {"host without :authority", {get, http, slash, {"host", "b.example"}}, true},
  };
  for (const Case& c : cases) {
    const MessageShape shape = shape_of(block_of(c.fields));
    EXPECT_EQ(is_request_head(shape), c.valid) << c.name;
    EXPECT_FALSE(is_trailer_section(shape)) << c.name;
  }
}

// RFC 8441 section 4, where we announced SETTINGS_ENABLE_CONNECT_PROTOCOL.
TEST(H2MessageRules, ExtendedConnect) {
  const Field connect{":method", "CONNECT"}, ws{":protocol", "websocket"}, https{":scheme", "https"},
      chat{":path", "/chat"}, host{":authority", "a.example"};
  struct Case {
    const char* name;
    std::vector<Field> fields;
    bool valid;
  };
  const Case cases[] = {
      {"whole", {connect, ws, https, chat, host}, true},
      {"no :scheme", {connect, ws, chat, host}, false},
      {"no :path", {connect, ws, https, host}, false},
      {"empty :path", {connect, ws, https, {":path", ""}, host}, false},
      {"no :authority", {connect, ws, https, chat}, false},
      {"not CONNECT", {{":method", "GET"}, ws, https, chat, host}, false},
      {"with :status", {connect, ws, https, chat, host, {":status", "200"}}, false},
      {"host disagreeing", {connect, ws, https, chat, host, {"host", "b.example"}}, false},
      {"plain CONNECT", {connect, host}, true},
      {"plain CONNECT with :path", {connect, chat, host}, false},
  };
  for (const Case& c : cases) {
    const MessageShape shape = shape_of(block_of(c.fields));
    EXPECT_EQ(is_request_head(shape, true), c.valid) << c.name;
    if (shape.has(hpack::Pseudo::kProtocol)) {
      EXPECT_FALSE(is_request_head(shape)) << c.name;
    }
  }
}

TEST(H2MessageRules, ResponsesAndTrailers) {
  EXPECT_TRUE(is_response_head(shape_of(block_of({{":status", "200"}, {"x", "y"}}))));
  EXPECT_FALSE(is_response_head(shape_of(block_of({{"x", "y"}}))));
  EXPECT_FALSE(is_response_head(shape_of(block_of({{":status", "200"}, {":path", "/"}}))));
  EXPECT_FALSE(is_response_head(shape_of(block_of({{":status", "200"}, {":method", "GET"}}))));
  EXPECT_TRUE(is_trailer_section(shape_of(block_of({{"grpc-status", "0"}}))));
  EXPECT_TRUE(is_trailer_section(shape_of(block_of({}))));
  EXPECT_FALSE(is_trailer_section(shape_of(block_of({{":status", "200"}}))));
  EXPECT_FALSE(is_trailer_section(shape_of(block_of({{":authority", "a"}}))));
}

}  // namespace
}  // namespace vantric::h2
