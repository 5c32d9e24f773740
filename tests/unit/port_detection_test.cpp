#include "device/port_detection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/device_commands.h"
#include "unit/fake_serial_platform.h"

namespace kestrelon {
namespace {

using testing::DeviceScript;
using ::testing::ElementsAre;
using testing::FakeSerialPlatform;
using testing::Reply;

TEST(StatusValue, FirstBytePlus256TimesSecond) {
  EXPECT_EQ(status_value(""), 0);
  EXPECT_EQ(status_value("\x40"), 0x40);
  EXPECT_EQ(status_value(std::string("\x40\x00", 2)), 0x40);
  EXPECT_EQ(status_value("\x40\x01"), 0x140);
  EXPECT_EQ(status_value("\xFF\xFF"), 0xFFFF);
}

TEST(DetectionIdentifier, CharactersFiveToFourteenOfTheReplyText) {
  EXPECT_EQ(detection_identifier("\x02\x2D\x21\x60VF12345678\x04"), L"VF12345678");
  EXPECT_EQ(detection_identifier("\x02\x2D\x21\x60VF1234"), L"VF1234");
  EXPECT_EQ(detection_identifier(std::string("\x02\x00\x21\x60VF12345678", 14)), L"");
  EXPECT_EQ(detection_identifier("abcd"), L"");
}

TEST(IdentifierAccepted, TwoNonNumericThenEightNumeric) {
  struct Case {
    const wchar_t* identifier;
    bool accepted;
  } cases[] = {
      {L"VF12345678", true},   {L"AB-1234567", true},  {L"AB1234.567", true},
      {L"1234567890", false},  {L"VFA1234567", false}, {L"VF1234567", false},
      {L"VF123456789", false}, {L"", false},           {L"V 12345678", true},
      {L"VF1,234567", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(identifier_accepted(c.identifier), c.accepted) << c.identifier;
}

TEST(ChosenDetectionLine, FirstVfLineElseFirstLine) {
  struct Case {
    const wchar_t* result;
    const wchar_t* port_name;
    int32_t speed;
  } cases[] = {
      {L"", L"", 0},
      {L"COM3 : 115200 : 1 : 64 : VF12345678\nCOM3 : 9600 : 2 : 64 : VF12345678\n", L"COM3",
       115200},
      // A device that identifies otherwise on a lower port does not hide a VF device.
      {L"COM2 : 9600 : 1 : 64 : AB12345678\nCOM7 : 9600 : 3 : 65 : VF87654321\n", L"COM7", 9600},
      {L"COM2 : 9600 : 1 : 64 : AB12345678\nCOM7 : 115200 : 3 : 65 : vf87654321\n", L"COM2", 9600},
  };
  for (const Case& c : cases) {
    const PortSettings settings = settings_from_detection_line(chosen_detection_line(c.result));
    EXPECT_EQ(settings.port_name, c.port_name) << c.result;
    EXPECT_EQ(settings.speed, c.speed) << c.result;
  }
}

class DetectionTest : public ::testing::Test {
 protected:
  FakeSerialPlatform platform_;
  SerialLink link_{platform_};
  SequenceCounter counter_;
  PortDetector detector_{link_, counter_};
};

TEST_F(DetectionTest, PauseBudgetPerKindOfTrial) {
  // COM1 answers nothing, COM2 a status out of range, COM3 is a device; COM4 does not open.
  platform_.add_port(L"COM1");
  platform_.add_port(L"COM2").responder = testing::fiscal_device({.status = 0x48});
  platform_.add_port(L"COM3").responder = testing::fiscal_device({});
  struct Case {
    int highest;
    uint64_t paused;
  } cases[] = {
      {0, 250},
      {1, 250 + 2 * 325},
      {2, 250 + 4 * 325},
      {3, 250 + 4 * 325 + 2 * 575},
      {4, 250 + 4 * 325 + 2 * 575},  // a port that does not open costs no pause
  };
  for (const Case& c : cases) {
    platform_.events.clear();
    detector_.detect_device_port(c.highest, 0);
    EXPECT_EQ(platform_.total_paused_ms(), c.paused) << c.highest;
  }
}

TEST_F(DetectionTest, ExactTrafficOfOneAcceptedTrial) {
  platform_.add_port(L"COM1").responder = testing::fiscal_device({.speeds = {9600}});
  const std::wstring result = detector_.detect_device_port(1, 0);
  EXPECT_THAT(platform_.events_starting("write"),
              ElementsAre("write COM1 09", "write COM1 18", "write COM1 17", "write COM1 04",
                          "write COM1 09", "write COM1 02 23 21 60 36 32 0A", "write COM1 18",
                          "write COM1 17", "write COM1 04"));
  EXPECT_EQ(result, L"COM1 : 9600 : 2 : 64 : VF12345678\n");
  const auto& applied = platform_.port(L"COM1").applied_settings;
  ASSERT_EQ(applied.size(), 2u);
  EXPECT_EQ(applied[0].baud_rate, 115200u);
  EXPECT_EQ(applied[1].baud_rate, 9600u);
  EXPECT_THAT(platform_.port(L"COM1").applied_timeouts,
              ElementsAre(kDefaultTimeouts, kDefaultTimeouts));
  EXPECT_EQ(platform_.port(L"COM1").queue_sizes[0], std::make_pair(1024u, 1024u));
}

TEST_F(DetectionTest, StatusAnswers) {
  struct Case {
    std::string answer;
    bool goes_on;
  } cases[] = {
      {"\x40", true},
      {"\x47", true},
      {"\x3F", false},
      {"\x48", false},
      {std::string("\x40\x00", 2), true},
      {"\x40\x01", false},
      {std::string("\x40\x00zzzz", 6), true},  // more than two bytes: all read, two count
  };
  for (const Case& c : cases) {
    FakeSerialPlatform platform;
    SerialLink link(platform);
    SequenceCounter counter;
    PortDetector detector(link, counter);
    auto& port = platform.add_port(L"COM1");
    port.responder = [&c](std::string_view written, const LineSettings& line) -> Reply {
      if (line.baud_rate != 115200) return {};
      if (written == "\x09") return {{c.answer}, 1, 0};
      if (written.size() == 7) return {{"\x02\x2D\x21\x60VF12345678"}, 1, 0};
      return {};
    };
    const std::wstring result = detector.detect_device_port(1, 0);
    EXPECT_EQ(port.received.find('\x60') != std::string::npos, c.goes_on)
        << testing::hex_bytes(c.answer);
    EXPECT_EQ(!result.empty(), c.goes_on) << testing::hex_bytes(c.answer);
    EXPECT_EQ(port.input.size(), 0u);  // every waiting byte was read
  }
}

TEST_F(DetectionTest, ReplyAreaHoldsOnlyThisTrialsFirstThirtyBytes) {
  // COM1 gives a good identifier; COM2 answers its identification with a short reply only.
  platform_.add_port(L"COM1").responder = testing::fiscal_device({.speeds = {115200}});
  platform_.add_port(L"COM2").responder = [](std::string_view written,
                                             const LineSettings& line) -> Reply {
    if (line.baud_rate != 115200) return {};
    if (written == "\x09") return {{"\x40"}, 1, 0};
    if (written.size() == 7) return {{"\x02\x2D"}, 1, 0};
    return {};
  };
  platform_.add_port(L"COM3").responder = [](std::string_view written,
                                             const LineSettings&) -> Reply {
    if (written == "\x09") return {{"\x41"}, 1, 0};
    if (written.size() == 7) return {{"\x02\x2D\x21\x60VF87654321" + std::string(5000, 'x')}, 1, 0};
    return {};
  };
  const std::wstring result = detector_.detect_device_port(3, 0);
  EXPECT_EQ(result,
            L"COM1 : 115200 : 1 : 64 : VF12345678\n"
            L"COM3 : 115200 : 5 : 65 : VF87654321\n"
            L"COM3 : 9600 : 6 : 65 : VF87654321\n");
  EXPECT_EQ(platform_.port(L"COM3").input.size(), 0u);
}

TEST_F(DetectionTest, SequenceNumbersContinueAcrossTheScanAndTheRun) {
  platform_.add_port(L"COM3").responder = testing::fiscal_device({});
  platform_.add_port(L"COM7").responder = testing::fiscal_device({.identifier = "AB-1234567"});
  const std::wstring result = detector_.detect_device_port(8, 0);
  EXPECT_EQ(result.substr(0, result.find(L'\n')), L"COM3 : 115200 : 1 : 64 : VF12345678");
  EXPECT_NE(result.find(L"COM3 : 9600 : 2 : 64 : VF12345678\n"), std::wstring::npos);
  EXPECT_NE(result.find(L"COM7 : 115200 : 3 : 64 : AB-1234567\n"), std::wstring::npos);
  EXPECT_NE(result.find(L"COM7 : 9600 : 4 : 64 : AB-1234567\n"), std::wstring::npos);
  EXPECT_THAT(platform_.events_starting("write COM3 02"),
              ElementsAre("write COM3 02 23 21 60 36 32 0A", "write COM3 02 23 22 60 36 31 0A"));
  EXPECT_EQ(counter_.value(), 0x24);
  const std::string next = identification_frame(counter_);
  EXPECT_EQ(static_cast<uint8_t>(next[2]), 0x25);
}

TEST_F(DetectionTest, AWatchSeesEachPortFirstAndStopsTheScanBetweenTwoPorts) {
  for (const wchar_t* name : {L"COM1", L"COM2", L"COM3"})
    platform_.add_port(name).responder = testing::fiscal_device({});
  std::vector<int> seen;
  const std::wstring result = detector_.detect_device_port(3, 0, [&seen](int port_number) {
    seen.push_back(port_number);
    return port_number < 3;
  });
  EXPECT_THAT(seen, ElementsAre(1, 2, 3));
  EXPECT_EQ(detection_lines(result).size(), 4u);  // COM1 and COM2 at both speeds
  EXPECT_EQ(platform_.port(L"COM3").times_opened, 0);
  EXPECT_FALSE(platform_.port(L"COM2").open);
  EXPECT_TRUE(platform_.port(L"COM2").received.ends_with(kReleaseSequence));
}

TEST_F(DetectionTest, ClosesAnOpenDevicePortWithoutReleaseSequence) {
  auto& port = platform_.add_port(L"COM3");
  PortParameters p;
  p.name = L"COM3";
  p.speed = 9600;
  const PortId device_port = link_.open_port(p);
  ASSERT_TRUE(link_.is_open(device_port));
  detector_.detect_device_port(0, device_port);
  EXPECT_FALSE(link_.is_open(device_port));
  EXPECT_EQ(port.received, "");
}

TEST_F(DetectionTest, RetryLoopAsksUntilFoundThenTakesTheFirstLine) {
  auto& port = platform_.add_port(L"COM5");
  int questions = 0;
  PortSettings settings;
  std::wstring result;
  const bool found = detector_.detection_retry_loop(settings, result, 0, [&] {
    ++questions;
    port.responder = testing::fiscal_device({.speeds = {9600}});  // plugged in meanwhile
    return true;
  });
  EXPECT_TRUE(found);
  EXPECT_EQ(questions, 1);
  EXPECT_EQ(settings.port_name, L"COM5");
  EXPECT_EQ(settings.speed, 9600);
  // Each scan: 250 before it, then 2 x 325 on COM5; then 250 after the answer and after success.
  EXPECT_EQ(platform_.total_paused_ms(), 2u * (250 + 2 * 325) + 575 - 325 + 250 + 250);
}

TEST_F(DetectionTest, RetryLoopPrefersAVfDeviceOnAHigherPort) {
  platform_.add_port(L"COM2").responder = testing::fiscal_device({.identifier = "AB12345678"});
  platform_.add_port(L"COM5").responder = testing::fiscal_device({.speeds = {9600}});
  PortSettings settings;
  std::wstring result;
  EXPECT_TRUE(detector_.detection_retry_loop(settings, result, 0, [] { return false; }));
  EXPECT_EQ(result.substr(0, result.find(L'\n')), L"COM2 : 115200 : 1 : 64 : AB12345678");
  EXPECT_EQ(settings.port_name, L"COM5");
  EXPECT_EQ(settings.speed, 9600);
}

TEST_F(DetectionTest, NoEndsTheLoopWithoutFurtherPortActivity) {
  platform_.add_port(L"COM5");
  PortSettings settings{L"", 0};
  std::wstring result;
  size_t events_at_question = 0;
  const bool found = detector_.detection_retry_loop(settings, result, 0, [&] {
    events_at_question = platform_.events.size();
    return false;
  });
  EXPECT_FALSE(found);
  EXPECT_EQ(platform_.events.size(), events_at_question);
  EXPECT_EQ(settings.port_name, L"");
  EXPECT_EQ(settings.speed, 0);
}

}  // namespace
}  // namespace kestrelon
