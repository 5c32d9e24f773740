#include "device/device_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/device_port.h"
#include "unit/fake_serial_platform.h"

namespace kestrelon {
namespace {

using testing::DeviceScript;
using ::testing::ElementsAre;
using testing::FakePort;
using testing::FakeSerialPlatform;
using testing::frame_command;
using testing::Reply;

TEST(IdentifierFromReply, TextFromOffsetFourUpToTheFirstZeroByte) {
  struct Case {
    std::string reply;
    const wchar_t* expected;
  } cases[] = {
      {std::string("\x02\x2D\x21\x60VF12345678\x04\x05\x30", 17), L"VF12345678"},
      {std::string("\x02\x2D\x21\x60VF1\x00"
                   "45678",
                   13),
       L"VF1"},  // zero byte at offset 7
      {std::string("\x02\x2D\x21\x60VF", 6), L"VF"},
      {std::string("\x02\x2D\x21\x60", 4), L""},
      {std::string("\x02\x2D", 2), L""},
      {std::string("\x02\x2D\x21\x60\x00VF", 7), L""},
      {std::string("\x00\x00\x00\x00VF00000001", 14), L"VF00000001"},  // zeros before offset 4
      {std::string("....ABCDEFGHIJKLMNOP"), L"ABCDEFGHIJ"},
  };
  for (const Case& c : cases) EXPECT_EQ(identifier_from_reply(c.reply), c.expected);
}

class DeviceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = &platform_.add_port(L"COM3");
    ASSERT_TRUE(open_device_port(link_, device_port_, {L"COM3", 115200}, kSerialTimeoutMs));
    platform_.events.clear();
  }
  void answer_identification(Reply reply) {
    port_->responder = [reply](std::string_view written, const LineSettings&) {
      return frame_command(written) == 0x60 ? reply : Reply{};
    };
  }
  static std::string reply_with(std::string id) { return std::string("\x02\x2D\x21\x60") + id; }

  FakeSerialPlatform platform_;
  FakePort* port_ = nullptr;
  SerialLink link_{platform_};
  SequenceCounter counter_;
  PortId device_port_ = 0;
};

TEST_F(DeviceCommandsTest, VfDeviceGetsTheReportFrameAfterTheIdentification) {
  port_->responder = testing::fiscal_device(DeviceScript{});
  EXPECT_EQ(report_trigger(link_, device_port_, counter_, kSerialTimeoutMs),
            ReportOutcome::report_sent);
  EXPECT_THAT(platform_.events_starting("write"),
              ElementsAre("write COM3 02 23 21 60 36 32 0A", "write COM3 02 23 22 22 32 33 0A"));
  // 250 ms, then 25 ms before the first look at the input, which already holds the reply.
  EXPECT_THAT(platform_.pauses(), ElementsAre(250, 25));
}

TEST_F(DeviceCommandsTest, OnlyAnIdentifierBeginningWithUppercaseVfGetsTheReport) {
  struct Case {
    std::string reply;
    bool report;
  } cases[] = {
      {reply_with("VF12345678"), true},     {reply_with("VF"), true},
      {reply_with("vf12345678"), false},    {reply_with("Vf12345678"), false},
      {reply_with("XX12345678"), false},    {reply_with("V"), false},
      {std::string("\x02\x2D\x21"), false},  // a reply, if too short for an identifier
  };
  for (const Case& c : cases) {
    SetUp();
    counter_ = SequenceCounter();
    port_->received.clear();
    answer_identification({{c.reply}, 5, 0});
    EXPECT_EQ(report_trigger(link_, device_port_, counter_, kSerialTimeoutMs),
              c.report ? ReportOutcome::report_sent : ReportOutcome::not_vf)
        << c.reply;
    // A report frame follows the 7-byte identification frame directly; else the release does.
    EXPECT_EQ(port_->received.substr(7, 4) == "\x02\x23\x22\x22", c.report) << c.reply;
    release_and_close(link_, device_port_);
  }
}

TEST_F(DeviceCommandsTest, PollsEvery25MsUntilInputArrives) {
  answer_identification({{reply_with("VF12345678")}, 400, 0});
  EXPECT_EQ(identification_query(link_, device_port_, counter_, kSerialTimeoutMs), L"VF12345678");
  // 250 + 25 = 275, 300, ... the reply is there at 400 ms.
  EXPECT_THAT(platform_.pauses(), ElementsAre(250, 25, 25, 25, 25, 25, 25));
}

TEST_F(DeviceCommandsTest, OnlyTheBytesWaitingAtTheFirstLookAreRead) {
  answer_identification({{reply_with("VF"), "123", "45678"}, 5, 300});
  EXPECT_EQ(identification_query(link_, device_port_, counter_, kSerialTimeoutMs), L"VF");
  EXPECT_THAT(platform_.events_starting("read"), ElementsAre("read COM3 6"));
}

TEST_F(DeviceCommandsTest, NeverReadsMoreThanTheReplyBufferHolds) {
  std::string huge = reply_with("VF12345678") + std::string(50000, 'x');
  answer_identification({{huge}, 5, 0});
  EXPECT_EQ(identification_query(link_, device_port_, counter_, kSerialTimeoutMs), L"VF12345678");
  EXPECT_THAT(platform_.events_starting("read"), ElementsAre("read COM3 40960"));
  // The rest stays in the port's input until the drain at release.
  EXPECT_EQ(link_.waiting_input_count(device_port_), huge.size() - 40960);
  release_and_close(link_, device_port_);
  EXPECT_EQ(port_->input.size(), 0u);
}

TEST_F(DeviceCommandsTest, ASilentDeviceEndsTheWaitAtTheBound) {
  answer_identification({});
  EXPECT_EQ(report_trigger(link_, device_port_, counter_, kSerialTimeoutMs),
            ReportOutcome::no_reply);
  EXPECT_EQ(platform_.total_paused_ms(), 250u + kSerialTimeoutMs);
  EXPECT_TRUE(platform_.events_starting("read").empty());
  EXPECT_THAT(platform_.events_starting("write"), ElementsAre("write COM3 02 23 21 60 36 32 0A"));
}

TEST_F(DeviceCommandsTest, ALineThatFailsEndsTheWaitAtOnce) {
  port_->responder = testing::fiscal_device(DeviceScript{});
  port_->fail_waiting_input = true;  // as a hung-up line answers
  EXPECT_EQ(report_trigger(link_, device_port_, counter_, kSerialTimeoutMs),
            ReportOutcome::no_reply);
  EXPECT_THAT(platform_.pauses(), ElementsAre(250, 25));
  EXPECT_THAT(platform_.events_starting("write"), ElementsAre("write COM3 02 23 21 60 36 32 0A"));
}

}  // namespace
}  // namespace kestrelon
