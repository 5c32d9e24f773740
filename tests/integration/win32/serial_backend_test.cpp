// The Win32 serial backend against a simulated fiscal device on a pseudo-terminal that Wine
// maps as a COM port. run_serial_backend_test.py starts the device and sets:
//   KESTRELON_TEST_COM     the mapped port, e.g. COM5
//   KESTRELON_TEST_ID      the identifier the device answers with
//   KESTRELON_TEST_STATUS  the status byte it answers the probe with (decimal)
//   KESTRELON_TEST_MUTE_SPEED a speed at which the device does not answer
//   KESTRELON_TEST_MISSING a port name that no device stands behind
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "device/serial_link.h"
#include "device/serial_platform.h"

namespace kestrelon {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}
std::wstring widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

const std::string kIdentificationFrame{"\x02\x23\x21\x60\x36\x32\x0A", 7};
constexpr uint8_t kProbe = 0x09;

class SerialBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = env("KESTRELON_TEST_COM");
    ASSERT_FALSE(port_.empty()) << "run through run_serial_backend_test.py";
    path_ = device_path_for(widen(port_));
    platform_ = make_system_serial_platform();
  }

  // Open, 8N1, no handshake, at `speed`, with `timeouts`; the same as the link does.
  std::unique_ptr<SerialDevice> open_at(uint32_t speed, const Timeouts& timeouts) {
    auto device = platform_->open(path_);
    if (!device) return nullptr;
    device->setup_queues(1024, 1024);
    LineSettings settings;
    if (!device->read_line_settings(settings)) return nullptr;
    PortParameters parameters{widen(port_), int32_t(speed), 0, 8, 1.0f, 0, 1024, 1024};
    if (!device->apply_line_settings(map_line_settings(settings, parameters))) return nullptr;
    if (!device->apply_timeouts(timeouts)) return nullptr;
    return device;
  }

  static std::string read_waiting(SerialDevice& device) {
    const uint32_t waiting = device.waiting_input().value_or(0);
    std::vector<uint8_t> buffer(waiting);
    const uint32_t got = waiting ? device.read(buffer.data(), waiting).value_or(0) : 0;
    return std::string(buffer.begin(), buffer.begin() + got);
  }

  static uint32_t send(SerialDevice& device, const std::string& bytes) {
    return device.write(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
  }

  std::string port_;
  std::wstring path_;
  std::unique_ptr<SerialPlatform> platform_;
};

// Wine does not enforce share mode 0 on character devices; Windows' serial driver does.
bool running_on_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// On Windows a port still held would refuse the next open; Wine reopens either way.
TEST_F(SerialBackend, OpensAgainOnceTheDeviceIsGone) {
  for (int round = 0; round < 3; ++round) {
    auto device = platform_->open(path_);
    ASSERT_NE(device, nullptr) << "round " << round << ": the port must be free again";
    LineSettings settings;
    EXPECT_TRUE(device->read_line_settings(settings));
  }
}

TEST_F(SerialBackend, OpensThePortExclusively) {
  auto first = platform_->open(path_);
  ASSERT_NE(first, nullptr);
  auto second = platform_->open(path_);
  if (second != nullptr && running_on_wine()) {
    GTEST_SKIP() << "this Wine shares serial devices whatever the share mode";
  }
  EXPECT_EQ(second, nullptr) << "a second open of a held port must fail";
}

TEST_F(SerialBackend, PortsWithoutADeviceDoNotOpen) {
  for (const std::wstring& name : {widen(env("KESTRELON_TEST_MISSING")), std::wstring(L"COM256")}) {
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(platform_->open(device_path_for(name)), nullptr)
        << std::string(name.begin(), name.end());
  }
  EXPECT_EQ(platform_->open(L""), nullptr);
}

TEST_F(SerialBackend, LineSettingsAreAppliedAndReadBack) {
  for (uint32_t speed : {9600u, 115200u}) {
    auto device = open_at(speed, kDefaultTimeouts);
    ASSERT_NE(device, nullptr) << speed;
    LineSettings now;
    ASSERT_TRUE(device->read_line_settings(now));
    EXPECT_EQ(now.baud_rate, speed);
    EXPECT_EQ(now.byte_size, 8);
    EXPECT_EQ(now.parity, 0);
    EXPECT_EQ(now.stop_bits, StopBits::one);
    EXPECT_FALSE(now.out_cts_flow);
    // RTS itself is not read back: a pseudo-terminal has no modem lines to report.
  }
}

TEST_F(SerialBackend, ProbeAndIdentificationAtTheDevicesSpeed) {
  auto device = open_at(115200, kDefaultTimeouts);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(send(*device, std::string(1, char(kProbe))), 1u);
  platform_->sleep_ms(250);
  const std::string status = read_waiting(*device);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(uint8_t(status[0]), std::atoi(env("KESTRELON_TEST_STATUS").c_str()));

  EXPECT_EQ(send(*device, kIdentificationFrame), 7u);
  platform_->sleep_ms(250);
  const std::string reply = read_waiting(*device);
  ASSERT_GE(reply.size(), 14u) << "reply too short";
  EXPECT_EQ(reply.substr(4, 10), env("KESTRELON_TEST_ID"));
  EXPECT_EQ(device->waiting_input(), std::optional<uint32_t>(0)) << "all was read";
}

TEST_F(SerialBackend, NoAnswerAtAnotherSpeed) {
  const uint32_t mute = uint32_t(std::atoi(env("KESTRELON_TEST_MUTE_SPEED").c_str()));
  ASSERT_GT(mute, 0u);
  auto device = open_at(mute, kDefaultTimeouts);
  ASSERT_NE(device, nullptr);
  send(*device, std::string(1, char(kProbe)));
  platform_->sleep_ms(250);
  EXPECT_EQ(device->waiting_input(), std::optional<uint32_t>(0));
}

TEST_F(SerialBackend, DefaultTimeoutsWaitForTheBytesAsked) {
  auto device = open_at(115200, kDefaultTimeouts);
  ASSERT_NE(device, nullptr);
  send(*device, std::string(1, char(kProbe)));
  // Nothing has come yet: the read waits for the answer instead of returning empty.
  uint8_t status = 0;
  EXPECT_EQ(device->read(&status, 1), std::optional<uint32_t>(1));
  EXPECT_EQ(status, std::atoi(env("KESTRELON_TEST_STATUS").c_str()));
}

TEST_F(SerialBackend, TotalTimeoutEndsAReadThatGetsNothing) {
  auto device = open_at(115200, Timeouts{0, 300, 0, 10, 100});
  ASSERT_NE(device, nullptr);
  uint8_t buffer[16];
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(device->read(buffer, sizeof buffer), std::optional<uint32_t>(0));
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_GE(elapsed, 250u);
  EXPECT_LT(elapsed, 5000u);
}

TEST_F(SerialBackend, TimeoutsEndAReadWithThePartThatCame) {
  // Ask for more than the reply holds: the read ends on its total time-out with the reply.
  auto device = open_at(115200, Timeouts{100, 1500, 0, 10, 100});
  ASSERT_NE(device, nullptr);
  send(*device, kIdentificationFrame);
  uint8_t buffer[200];
  const ULONGLONG start = GetTickCount64();
  const auto got = device->read(buffer, sizeof buffer);
  const ULONGLONG elapsed = GetTickCount64() - start;
  ASSERT_TRUE(got.has_value());
  ASSERT_GE(*got, 14u);
  EXPECT_LT(*got, sizeof buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 4, 10), env("KESTRELON_TEST_ID"));
  EXPECT_LT(elapsed, 5000u);
}

TEST_F(SerialBackend, TheLinkRunsADetectionTrialOverThisBackend) {
  SerialLink link(*platform_);
  PortParameters parameters{widen(port_), 115200, 0, 8, 1.0f, 0, 1024, 1024};
  const PortId port = link.open_port(parameters);
  ASSERT_NE(port, 0);
  EXPECT_EQ(link.write_bytes(port, std::string(1, char(kProbe))), 1u);
  link.pause(250);
  ASSERT_EQ(link.waiting_input_count(port), 1u);
  uint8_t status = 0;
  EXPECT_EQ(link.read_bytes(port, &status, 1), 1u);
  EXPECT_GE(status, 0x40);
  EXPECT_LE(status, 0x47);
  link.write_release_sequence(port);
  link.close_port(port);
  EXPECT_FALSE(link.is_open(port));
  const PortId reopened = link.open_port(parameters);
  EXPECT_NE(reopened, 0);
  link.close_all_ports();
}

}  // namespace
}  // namespace kestrelon
