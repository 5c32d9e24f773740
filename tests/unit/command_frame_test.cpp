#include "device/command_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/fake_serial_platform.h"

namespace kestrelon {
namespace {

using testing::hex_bytes;

TEST(CommandFrame, WorkedExamplesByteForByte) {
  struct Case {
    int frames_before;
    char command;
    const char* expected;
  } cases[] = {
      {0, 0x60, "02 23 21 60 36 32 0A"},    // first frame of a process
      {1, 0x22, "02 23 22 22 32 33 0A"},    // report frame after one identification
      {27, 0x60, "02 23 3C 60 37 3F 0A"},   // 28th frame
      {127, 0x60, "02 23 A0 60 3E 33 0A"},  // 128th frame
      {128, 0x60, "02 23 21 60 36 32 0A"},  // 129th: the counter wraps
  };
  for (const Case& c : cases) {
    SequenceCounter counter;
    for (int i = 0; i < c.frames_before; ++i) build_frame(counter, "\x60");
    EXPECT_EQ(hex_bytes(build_frame(counter, std::string_view(&c.command, 1))), c.expected)
        << "after " << c.frames_before << " frames";
  }
}

TEST(SequenceCounter, TestsBeforeIncrementAndWraps) {
  struct Case {
    int32_t before;
    const char* next;
  } cases[] = {{0, "21"},    {0x21, "22"}, {0x9E, "9F"}, {0x9F, "A0"},
               {0xA0, "21"}, {0x20, "21"}, {-5, "21"},   {0x7FFFFFFF, "21"}};
  for (const Case& c : cases) {
    SequenceCounter counter;
    counter.set_value(c.before);
    EXPECT_EQ(counter.next_sequence_number(), c.next) << c.before;
  }
}

TEST(SequenceCounter, CarriesEveryValueFrom0x21To0xA0Once) {
  SequenceCounter counter;
  for (int expected = 0x21; expected <= 0xA0; ++expected) {
    const std::string frame = build_frame(counter, "\x60");
    ASSERT_EQ(static_cast<uint8_t>(frame[2]), expected);
  }
}

TEST(FrameChecksum, HalvesOfTheXorAsDigits0x30To0x3F) {
  // Heads chosen so that X is 0x00, 0xFF and 0x5A.
  EXPECT_EQ(frame_checksum(std::string_view("\x02\x23\x21\x02", 4)), "3030");
  EXPECT_EQ(frame_checksum(std::string_view("\x02\x23\xDC\x00", 4)), "3F3F");
  EXPECT_EQ(frame_checksum(std::string_view("\x02\x23\x21\x58", 4)), "353A");
  // The length byte says how many bytes count; a shorter head adds nothing more.
  EXPECT_EQ(frame_checksum(std::string_view("\x02\x25\x21", 3)), "3034");
  EXPECT_EQ(frame_checksum(""), "3030");
}

TEST(CommandFrame, DataWidensTheLengthAndTheChecksum) {
  SequenceCounter counter;
  const std::string frame = build_frame(counter, "\x30\x31\x32\x33");
  ASSERT_EQ(frame.size(), 10u);
  EXPECT_EQ(static_cast<uint8_t>(frame[1]), 0x26);
  const uint8_t x = 0x26 ^ 0x21 ^ 0x30 ^ 0x31 ^ 0x32 ^ 0x33;
  EXPECT_EQ(static_cast<uint8_t>(frame[7]), 0x30 + (x >> 4));
  EXPECT_EQ(static_cast<uint8_t>(frame[8]), 0x30 + (x & 0x0F));
  EXPECT_EQ(frame.back(), '\x0A');
  EXPECT_EQ(frame.find('\0'), std::string::npos);
}

TEST(CommandFrame, CommandTextTooLongForTheLengthByteGivesNoFrame) {
  SequenceCounter counter;
  EXPECT_EQ(build_frame(counter, std::string(221, 'a')).size(), 227u);
  EXPECT_EQ(static_cast<uint8_t>(build_frame(counter, std::string(221, 'a'))[1]), 0xFF);
  EXPECT_EQ(build_frame(counter, std::string(222, 'a')), "");
}

TEST(ParseHexText, DigitsInBothCases) {
  EXPECT_EQ(parse_hex_text("A0"), 160);
  EXPECT_EQ(parse_hex_text("a0"), 160);
  EXPECT_EQ(parse_hex_text("23"), 0x23);
  EXPECT_EQ(parse_hex_text("3F"), 0x3F);
  EXPECT_EQ(parse_hex_text(""), 0);
  EXPECT_EQ(parse_hex_text("FFFFFFFFFFFFFFFFFF"), -1);  // wraps, never overflows
}

}  // namespace
}  // namespace kestrelon
