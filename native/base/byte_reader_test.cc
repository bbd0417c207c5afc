#include "base/byte_reader.h"

#include <gtest/gtest.h>

namespace ov {
namespace {

TEST(ByteReader, ReadsBigEndianAndNeverPastTheEnd) {
  const std::uint8_t bytes[] = {0x4F, 0x56, 0x03, 0x04, 0, 0, 0, 0, 0, 0, 1, 2, 0xAA};
  ByteReader r(bytes);
  std::uint16_t magic = 0;
  std::uint8_t version = 0;
  std::uint8_t kind = 0;
  std::uint64_t seq = 0;
  ASSERT_TRUE(r.ReadU16BE(magic));
  ASSERT_TRUE(r.ReadU8(version));
  ASSERT_TRUE(r.ReadU8(kind));
  ASSERT_TRUE(r.ReadU64BE(seq));
  EXPECT_EQ(magic, 0x4F56);
  EXPECT_EQ(version, 3);
  EXPECT_EQ(kind, 4);
  EXPECT_EQ(seq, 0x0102u);
  EXPECT_EQ(r.remaining(), 1u);

  // A failed read leaves the position where it was.
  std::uint16_t tooLong = 0x1234;
  EXPECT_FALSE(r.ReadU16BE(tooLong));
  EXPECT_EQ(tooLong, 0x1234);
  EXPECT_EQ(r.position(), 12u);
  std::span<const std::uint8_t> view;
  EXPECT_FALSE(r.ReadBytes(2, view));
  EXPECT_FALSE(r.Skip(2));
  std::uint8_t peeked = 0;
  EXPECT_TRUE(r.Peek(0, peeked));
  EXPECT_EQ(peeked, 0xAA);
  EXPECT_FALSE(r.Peek(1, peeked));
  EXPECT_TRUE(r.ReadBytes(1, view));
  EXPECT_EQ(view[0], 0xAA);
  EXPECT_TRUE(r.AtEnd());
  std::uint8_t last = 0;
  EXPECT_FALSE(r.ReadU8(last));
}

TEST(ByteReader, WritersMatchReader) {
  std::vector<std::uint8_t> out;
  AppendBE<std::uint64_t>(out, 0x0102030405060708ULL);
  AppendBE<std::uint16_t>(out, 0xBEEF);
  ASSERT_EQ(out.size(), 10u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[7], 8);
  std::uint8_t stored[4];
  StoreBE<std::uint32_t>(stored, 0xDEADBEEF);
  ByteReader r(out);
  std::uint64_t a = 0;
  std::uint16_t b = 0;
  ASSERT_TRUE(r.ReadU64BE(a));
  ASSERT_TRUE(r.ReadU16BE(b));
  EXPECT_EQ(a, 0x0102030405060708ULL);
  EXPECT_EQ(b, 0xBEEF);
  ByteReader r2(stored);
  std::uint32_t c = 0;
  ASSERT_TRUE(r2.ReadU32BE(c));
  EXPECT_EQ(c, 0xDEADBEEFu);
}

}  // namespace
}  // namespace ov
