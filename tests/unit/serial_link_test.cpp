#include "device/serial_link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/device_port.h"
#include "unit/fake_serial_platform.h"

namespace kestrelon {
namespace {

using ::testing::ElementsAre;
using testing::FakeSerialPlatform;

PortParameters com3(int32_t in = 1024, int32_t out = 1024) {
  PortParameters p;
  p.name = L"COM3";
  p.speed = 115200;
  p.input_buffer_size = in;
  p.output_buffer_size = out;
  return p;
}

TEST(DevicePath, OnlyComAndANumberReachTheDeviceNamespace) {
  EXPECT_EQ(device_path_for(L"COM3"), L"\\\\.\\COM3");
  EXPECT_EQ(device_path_for(L"COM256"), L"\\\\.\\COM256");
  for (const wchar_t* bad : {L"", L"COM", L"com3", L"COM 3", L"COM3\\..\\C:\\x", L"COM1:", L"LPT1",
                             L"COMCOM3", L"..\\COM3"}) {
    EXPECT_EQ(device_path_for(bad), L"") << bad;
  }
  // Only the first 59 characters of a longer name count.
  const std::wstring long_name = L"COM" + std::wstring(56, L'1') + L"xyz";
  EXPECT_EQ(device_path_for(long_name), L"\\\\.\\COM" + std::wstring(56, L'1'));
}

TEST(LineSettingsMapping, StopBitsParityAndDataBits) {
  struct Case {
    float stop_bits;
    StopBits expected;
  } cases[] = {{1.0f, StopBits::one},
               {2.0f, StopBits::two},
               {1.5f, StopBits::one_and_half},
               {3.0f, StopBits::one_and_half},
               {0.0f, StopBits::one_and_half}};
  for (const Case& c : cases) {
    PortParameters p = com3();
    p.stop_bits = c.stop_bits;
    EXPECT_EQ(map_line_settings({}, p).stop_bits, c.expected) << c.stop_bits;
  }
  PortParameters p = com3();
  p.parity = 0x102;
  p.data_bits = 0x107;
  const LineSettings mapped = map_line_settings({}, p);
  EXPECT_EQ(mapped.parity, 2);
  EXPECT_EQ(mapped.byte_size, 7);
  EXPECT_TRUE(mapped.parity_check);  // always on, whatever the parity
  EXPECT_EQ(mapped.baud_rate, 115200u);
}

TEST(LineSettingsMapping, HandshakeModes) {
  LineSettings driver;
  driver.out_cts_flow = true;
  driver.rts_control = RtsControl::handshake;
  driver.xon_char = 0x55;
  struct Case {
    int32_t mode;
    bool out_cts;
    RtsControl rts;
    bool xon_xoff;
  } cases[] = {{0, false, RtsControl::disable, false},
               {1, false, RtsControl::enable, false},
               {2, true, RtsControl::handshake, false},
               {3, true, RtsControl::handshake, true},  // CTS and RTS left as the driver had them
               {4, true, RtsControl::handshake, false},
               {-1, true, RtsControl::handshake, false}};
  for (const Case& c : cases) {
    PortParameters p = com3(1048576);
    p.handshake = c.mode;
    const LineSettings mapped = map_line_settings(driver, p);
    EXPECT_EQ(mapped.out_cts_flow, c.out_cts) << c.mode;
    EXPECT_EQ(mapped.rts_control, c.rts) << c.mode;
    EXPECT_EQ(mapped.out_x, c.xon_xoff) << c.mode;
    EXPECT_EQ(mapped.in_x, c.xon_xoff) << c.mode;
    if (c.xon_xoff) {
      EXPECT_EQ(mapped.xon_char, 0x11);
      EXPECT_EQ(mapped.xoff_char, 0x13);
      EXPECT_EQ(mapped.xon_limit, 104857 & 0xFFFF);
      EXPECT_EQ(mapped.xoff_limit, (7 * 104857) & 0xFFFF);
    } else {
      EXPECT_EQ(mapped.xon_char, 0x55) << c.mode;
    }
  }
}

TEST(OpenPort, AppliesSettingsAndDefaultTimeouts) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  const PortId id = link.open_port(com3());
  ASSERT_NE(id, 0);
  EXPECT_TRUE(link.is_open(id));
  EXPECT_THAT(port.queue_sizes, ElementsAre(std::make_pair(1024u, 1024u)));
  ASSERT_EQ(port.applied_settings.size(), 1u);
  EXPECT_EQ(port.applied_settings[0].baud_rate, 115200u);
  EXPECT_THAT(port.applied_timeouts, ElementsAre(kDefaultTimeouts));
  EXPECT_EQ(kDefaultTimeouts, (Timeouts{0, 0, 0, 10, 100}));
}

TEST(OpenPort, FailuresReturnZeroAndReleaseTheDevice) {
  FakeSerialPlatform platform;
  auto& bad_read = platform.add_port(L"COM4");
  bad_read.fail_read_settings = true;
  auto& bad_apply = platform.add_port(L"COM5");
  bad_apply.fail_apply_settings = true;
  SerialLink link(platform);

  PortParameters nameless = com3();
  nameless.name.clear();
  EXPECT_EQ(link.open_port(nameless), 0);
  EXPECT_TRUE(platform.events.empty());  // nothing was opened at all

  PortParameters p = com3();
  p.name = L"COM4";
  EXPECT_EQ(link.open_port(p), 0);
  EXPECT_FALSE(bad_read.open);
  p.name = L"COM5";
  EXPECT_EQ(link.open_port(p), 0);
  EXPECT_FALSE(bad_apply.open);
  EXPECT_TRUE(bad_apply.applied_timeouts.empty());
  p.name = L"COM9";
  EXPECT_EQ(link.open_port(p), 0);
  EXPECT_THAT(platform.events_starting("close"), ElementsAre("close COM4", "close COM5"));
}

TEST(OpenPort, QueueSizesOnlyWhenBothArePositive) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  for (auto [in, out] : {std::pair{0, 1024}, std::pair{1024, 0}, std::pair{-1, -1}}) {
    const PortId id = link.open_port(com3(in, out));
    EXPECT_NE(id, 0);
    link.close_port(id);
  }
  EXPECT_TRUE(port.queue_sizes.empty());
  EXPECT_EQ(port.times_opened, 3);
}

TEST(PortOperations, UnknownIdentifiersDoNothing) {
  FakeSerialPlatform platform;
  platform.add_port(L"COM3");
  SerialLink link(platform);
  const PortId id = link.open_port(com3());
  link.close_port(id);
  uint8_t buffer[4];
  for (PortId unknown : {0, id, id + 7}) {
    EXPECT_FALSE(link.is_open(unknown));
    EXPECT_EQ(link.write_bytes(unknown, "x"), 0u);
    EXPECT_EQ(link.waiting_input_count(unknown), 0u);
    EXPECT_EQ(link.read_bytes(unknown, buffer, sizeof buffer), 0u);
    EXPECT_FALSE(link.set_timeouts(unknown, kDefaultTimeouts));
    link.close_port(unknown);
  }
  EXPECT_TRUE(platform.events_starting("write").empty());
}

TEST(PortOperations, IdentifiersNameOnePortEach) {
  FakeSerialPlatform platform;
  platform.add_port(L"COM3");
  platform.add_port(L"COM4");
  SerialLink link(platform);
  const PortId a = link.open_port(com3());
  PortParameters p = com3();
  p.name = L"COM4";
  const PortId b = link.open_port(p);
  EXPECT_NE(a, b);
  link.write_bytes(b, "B");
  EXPECT_EQ(platform.port(L"COM4").received, "B");
  EXPECT_EQ(platform.port(L"COM3").received, "");
  link.close_all_ports();
  EXPECT_FALSE(link.is_open(a));
  EXPECT_FALSE(link.is_open(b));
}

TEST(WriteBytes, SendsUpToTheFirstNulInOneWrite) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  const PortId id = link.open_port(com3());
  EXPECT_EQ(link.write_bytes(id, ""), 0u);
  EXPECT_EQ(link.write_bytes(id, std::string_view("\0AB", 3)), 0u);
  EXPECT_EQ(link.write_bytes(id, std::string_view("AB\0CD", 5)), 2u);
  EXPECT_EQ(link.write_bytes(id, "\x02\xA0\x0A"), 3u);  // codes above 0x7F go out unchanged
  EXPECT_EQ(port.received, "AB\x02\xA0\x0A");
  EXPECT_EQ(platform.events_starting("write").size(), 2u);
}

TEST(Pause, RaisesTheTimerResolutionOnceOnly) {
  FakeSerialPlatform platform;
  SerialLink link(platform);
  link.pause(250);
  link.pause(25);
  EXPECT_THAT(platform.events, ElementsAre("timer 1", "pause 250", "pause 25"));
}

TEST(ReleaseAndClose, ReleaseSequenceThenExactDrainThenClose) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  PortId device_port = 0;
  release_and_close(link, device_port);  // never opened: nothing at all
  EXPECT_TRUE(platform.events.empty());

  ASSERT_TRUE(open_device_port(link, device_port, {L"COM3", 9600}, kSerialTimeoutMs));
  for (char c : std::string("leftover")) port.input.emplace_back(0, c);
  platform.events.clear();
  release_and_close(link, device_port);
  EXPECT_THAT(platform.events,
              ElementsAre("write COM3 18", "pause 25", "write COM3 17", "pause 25", "write COM3 04",
                          "pause 25", "read COM3 8", "close COM3"));
  EXPECT_FALSE(link.is_open(device_port));

  platform.events.clear();
  release_and_close(link, device_port);  // a second time: nothing
  EXPECT_TRUE(platform.events.empty());
}

TEST(ReleaseAndClose, NoReadWithoutInputAndDrainEndsOnAFailedPort) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  PortId device_port = 0;
  ASSERT_TRUE(open_device_port(link, device_port, {L"COM3", 9600}, kSerialTimeoutMs));
  PortId second = device_port;
  release_and_close(link, device_port);
  EXPECT_TRUE(platform.events_starting("read").empty());

  ASSERT_TRUE(open_device_port(link, second, {L"COM3", 9600}, kSerialTimeoutMs));
  port.phantom_waiting = 5;  // counted as waiting, never delivered
  for (char c : std::string("ab")) port.input.emplace_back(0, c);
  platform.events.clear();
  release_and_close(link, second);
  EXPECT_THAT(platform.events_starting("read"), ElementsAre("read COM3 2", "read COM3 0"));
  EXPECT_FALSE(port.open);
}

TEST(OpenDevicePort, SettingsTimeoutsAndPause) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  PortId device_port = 0;
  ASSERT_TRUE(open_device_port(link, device_port, {L"COM3", 115200}, kSerialTimeoutMs));
  EXPECT_TRUE(link.is_open(device_port));
  EXPECT_THAT(port.queue_sizes, ElementsAre(std::make_pair(1048576u, 1048576u)));
  const LineSettings& line = port.applied_settings.at(0);
  EXPECT_EQ(line.baud_rate, 115200u);
  EXPECT_EQ(line.parity, 0);
  EXPECT_EQ(line.byte_size, 8);
  EXPECT_EQ(line.stop_bits, StopBits::one);
  EXPECT_FALSE(line.out_cts_flow);
  EXPECT_EQ(line.rts_control, RtsControl::disable);
  EXPECT_THAT(port.applied_timeouts,
              ElementsAre(kDefaultTimeouts, Timeouts{120000, 120000, 120000, 120000, 120000}));
  EXPECT_THAT(platform.pauses(), ElementsAre(250));
}

TEST(OpenDevicePort, ReleasesAnOpenDevicePortFirst) {
  FakeSerialPlatform platform;
  auto& port = platform.add_port(L"COM3");
  SerialLink link(platform);
  PortId device_port = 0;
  ASSERT_TRUE(open_device_port(link, device_port, {L"COM3", 115200}, kSerialTimeoutMs));
  ASSERT_TRUE(open_device_port(link, device_port, {L"COM3", 9600}, kSerialTimeoutMs));
  EXPECT_EQ(port.received, "\x18\x17\x04");
  EXPECT_EQ(port.times_opened, 2);
  EXPECT_EQ(port.applied_settings.back().baud_rate, 9600u);
}

TEST(OpenDevicePort, FailureSetsNoTimeoutsAndMakesNoPause) {
  FakeSerialPlatform platform;
  SerialLink link(platform);
  PortId device_port = 0;
  EXPECT_FALSE(open_device_port(link, device_port, {L"COM250", 9600}, kSerialTimeoutMs));
  EXPECT_EQ(device_port, 0);
  EXPECT_TRUE(platform.pauses().empty());
  EXPECT_FALSE(open_device_port(link, device_port, {L"COM 3", 9600}, kSerialTimeoutMs));
  EXPECT_FALSE(open_device_port(link, device_port, {L"", 9600}, kSerialTimeoutMs));
  EXPECT_THAT(platform.events, ElementsAre("open-failed \\\\.\\COM250"));
}

}  // namespace
}  // namespace kestrelon
