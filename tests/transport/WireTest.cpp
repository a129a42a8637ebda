// The shared wire definitions: checked field access and the length rules.
#include <gtest/gtest.h>

#include "zem4/Zem4Wire.h"

TEST(WireTest, ReadersCheckTheLengthFirst) {
  const uint8_t Bytes[] = {0x00, 0x08, 0x12, 0x34, 0x56, 0x78, 0x01, 0x02, 0x03, 0x04};
  uint16_t Half = 0;
  uint32_t Word = 0;
  EXPECT_TRUE(Zem4WireGetOpcode(Bytes, sizeof(Bytes), &Half));
  EXPECT_EQ(Half, ZEM4_OP_DATA8);
  EXPECT_TRUE(Zem4WireGetBe32(Bytes, sizeof(Bytes), ZEM4_DATA8_SEQUENCE_OFFSET, &Word));
  EXPECT_EQ(Word, 0x12345678u);
  EXPECT_TRUE(Zem4WireGetLe32(Bytes, sizeof(Bytes), ZEM4_DATA8_BLOCK_OFFSET, &Word));
  EXPECT_EQ(Word, 0x04030201u);

  Word = 7;
  EXPECT_FALSE(Zem4WireGetBe32(Bytes, 9, ZEM4_DATA8_BLOCK_OFFSET, &Word));
  EXPECT_FALSE(Zem4WireGetLe32(Bytes, 9, ZEM4_DATA8_BLOCK_OFFSET, &Word));
  EXPECT_FALSE(Zem4WireGetBe16(Bytes, 1, 0, &Half));
  EXPECT_FALSE(Zem4WireGetBe32(Bytes, sizeof(Bytes), SIZE_MAX - 1, &Word)); // no wrap-around
  EXPECT_FALSE(Zem4WireGetBe16(nullptr, 2, 0, &Half));
  EXPECT_EQ(Word, 7u); // untouched on refusal
}

TEST(WireTest, WritersAndTheirByteOrder) {
  uint8_t Buffer[8] = {};
  Zem4WirePutBe16(Buffer, 0, 0x0A0B);
  Zem4WirePutBe32(Buffer, 2, 0x01020304);
  EXPECT_EQ(std::vector<uint8_t>(Buffer, Buffer + 6),
            (std::vector<uint8_t>{0x0A, 0x0B, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_TRUE(Zem4WireSetLe32(Buffer, sizeof(Buffer), 4, 0xFFFFFFFEu));
  EXPECT_EQ(Buffer[4], 0xFE);
  EXPECT_EQ(Buffer[7], 0xFF);
  EXPECT_FALSE(Zem4WireSetLe32(Buffer, sizeof(Buffer), 5, 1));
  EXPECT_FALSE(Zem4WireSetBe16(Buffer, sizeof(Buffer), 7, 1));
  EXPECT_TRUE(Zem4WireSetBe32(Buffer, sizeof(Buffer), 4, 1));
}

TEST(WireTest, LengthRules) {
  EXPECT_FALSE(Zem4WireData8LengthOk(9));
  EXPECT_TRUE(Zem4WireData8LengthOk(10));
  EXPECT_TRUE(Zem4WireData8LengthOk(1042));
  EXPECT_FALSE(Zem4WireData8LengthOk(1043));
  EXPECT_FALSE(Zem4WireErrorLengthOk(4));
  EXPECT_TRUE(Zem4WireErrorLengthOk(5));
  EXPECT_TRUE(Zem4WireOackLengthOk(2));
  EXPECT_FALSE(Zem4WireRplAckLengthOk(5));
  EXPECT_TRUE(Zem4WireRplAckLengthOk(8));
  EXPECT_FALSE(Zem4WireFinLengthOk(7));
  EXPECT_TRUE(Zem4WireFinLengthOk(6));
  EXPECT_EQ(Zem4WireRplRangeCount(10), 0);
  EXPECT_EQ(Zem4WireRplRangeCount(1042), 129);
  EXPECT_EQ(Zem4WireRplRangeCount(17), -1);
  EXPECT_EQ(Zem4WireRplRangeCount(9), -1);
}
