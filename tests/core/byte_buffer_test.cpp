#include "core/byte_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace vantric {
namespace {

TEST(ByteBuffer, AppendConsumeCompactGrow) {
  ByteBuffer b;
  std::string expected;
  // Mixed appends and consumes across compaction and growth keep the bytes.
  for (int round = 0; round < 200; ++round) {
    std::string piece(static_cast<std::size_t>(round * 37 % 3000), static_cast<char>('a' + round % 26));
    b.append(piece);
    expected += piece;
    std::size_t drop = expected.size() / 3;
    b.consume(drop);
    expected.erase(0, drop);
    ASSERT_EQ(b.view(), expected) << round;
  }
  b.consume(b.size());
  EXPECT_TRUE(b.empty());
}

TEST(ByteBuffer, MovesWithoutCopying) {
  ByteBuffer a;
  a.append("head and body");
  a.consume(9);
  const char* where = a.data();
  ByteBuffer b;
  b.append(std::move(a));
  EXPECT_EQ(b.view(), "body");
  EXPECT_EQ(b.data(), where);
  EXPECT_TRUE(a.empty());
  ByteBuffer c;
  c.append("x");
  c.append(std::move(b));
  EXPECT_EQ(c.view(), "xbody");
  ByteBuffer taken = c.take();
  EXPECT_EQ(taken.view(), "xbody");
  EXPECT_TRUE(c.empty());
}

TEST(ByteBuffer, SmallFirstAllocationForAScratch) {
  // A scratch many idle connections keep starts small and grows on demand.
  ByteBuffer scratch(512);
  scratch.append("HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(scratch.capacity(), 512u);
  scratch.append(std::string(600, 'x'));
  EXPECT_EQ(scratch.capacity(), 1024u);
  ByteBuffer plain;
  plain.append("x");
  EXPECT_EQ(plain.capacity(), 4096u);
}

}  // namespace
}  // namespace vantric
