// The byte buffer the message texts live in: contents kept across growth, the NUL after them
// always in place, and moves that leave the source empty.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "memory/byte_buffer.hpp"

namespace npc {
namespace {

TEST(ByteBuffer, KeepsItsBytesAndTheirNulAcrossGrowth) {
  byte_buffer buffer;
  EXPECT_STREQ(buffer.c_str(), "");
  std::string expected;
  // Appends of every size up to past the huge-page threshold, NUL bytes among them.
  for (std::size_t step = 0; expected.size() < (std::size_t{5} << 20); step = step * 2 + 1) {
    std::string piece(step, '\0');
    for (std::size_t i = 0; i < step; ++i) piece[i] = static_cast<char>((i * 7 + step) & 0xFF);
    char* out = buffer.reserve_more(step);
    ASSERT_NE(out, nullptr);
    if (step != 0) std::memcpy(out, piece.data(), step);
    buffer.commit(step);
    expected += piece;
    ASSERT_EQ(buffer.view(), expected) << "after " << step;
    ASSERT_EQ(buffer.c_str()[buffer.size()], '\0');
  }
  buffer.truncate(3);
  EXPECT_EQ(buffer.view(), expected.substr(0, 3));
  EXPECT_EQ(buffer.c_str()[3], '\0');
  buffer.truncate(10);  // truncation never lengthens
  EXPECT_EQ(buffer.size(), 3u);
}

TEST(ByteBuffer, MovesLeaveTheSourceEmptyAndUsable) {
  byte_buffer source;
  source.assign("request");
  byte_buffer target;
  target.assign("old");
  target = std::move(source);
  EXPECT_EQ(target.view(), "request");
  EXPECT_STREQ(target.c_str(), "request");
  EXPECT_TRUE(source.empty());
  EXPECT_STREQ(source.c_str(), "");
  source.append("again");
  EXPECT_EQ(source.view(), "again");
  target.release();
  EXPECT_STREQ(target.c_str(), "");
  target.append("");
  EXPECT_STREQ(target.c_str(), "");
}

// Large blocks live in memory of another kind than small ones: moving one onto a buffer that holds
// a block of either kind, and growing it after a move, must keep every byte and free the right way.
TEST(ByteBuffer, LargeBlocksMoveGrowAndGoLikeSmallOnes) {
  const std::size_t large = std::size_t{3} << 20;
  std::string bytes(large, '\0');
  for (std::size_t i = 0; i < large; ++i) bytes[i] = static_cast<char>(i * 13 >> 3);
  byte_buffer big;
  big.assign(bytes);
  byte_buffer small;
  small.assign("small");
  small = std::move(big);  // a small block let go, a large one taken over
  EXPECT_EQ(small.view(), bytes);
  EXPECT_TRUE(big.empty());
  byte_buffer other;
  other.reserve(large * 2);
  other.append("x");
  other = std::move(small);  // a large block let go for another
  other.append(bytes);       // and grown past its room
  EXPECT_EQ(other.view(), bytes + bytes);
  EXPECT_EQ(other.c_str()[other.size()], '\0');
  other.release();
  EXPECT_STREQ(other.c_str(), "");
  other.append(bytes);
  EXPECT_EQ(other.view(), bytes);
}

}  // namespace
}  // namespace npc
