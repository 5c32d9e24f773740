// The termios serial platform against a real pseudo-terminal with kestrelon-sim on the
// other side.
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/serial_platform.h"
#include "posix_test_support.h"

namespace kestrelon {
namespace {

using testing::monotonic_ms;
using testing::Simulator;
using testing::TempDir;

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
const std::vector<uint8_t> kFirstIdentificationFrame{0x02, 0x23, 0x21, 0x60, 0x36, 0x32, 0x0A};
// The simulator's reply: 02, length, the request's sequence, 60, the identifier, checksum, 0A.
constexpr size_t kReplyLength = 4 + 10 + 3;

LineSettings line_8n1(uint32_t speed) {
  LineSettings settings;
  settings.baud_rate = speed;
  settings.parity_check = true;
  settings.parity = 0;
  settings.byte_size = 8;
  settings.stop_bits = StopBits::one;
  return settings;
}

class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    com_dir_ = std::make_unique<testing::ScopedEnv>("KESTRELON_COM_DIR", dir_.path().c_str());
  }

  std::unique_ptr<SerialDevice> open_port(const wchar_t* name) {
    return platform_->open(std::wstring(L"\\\\.\\") + name);
  }

  // COM3 opened at `speed` 8N1 with the given time-outs.
  std::unique_ptr<SerialDevice> open_com3(uint32_t speed, const Timeouts& timeouts) {
    auto device = open_port(L"COM3");
    if (!device) return nullptr;
    LineSettings current;
    if (!device->read_line_settings(current)) return nullptr;
    if (!device->apply_line_settings(line_8n1(speed))) return nullptr;
    if (!device->apply_timeouts(timeouts)) return nullptr;
    return device;
  }

  // COM3 opened and set to 9600 8N1; null when either fails.
  std::unique_ptr<SerialDevice> open_com3_at_9600() {
    auto device = open_port(L"COM3");
    if (device && !device->apply_line_settings(line_8n1(9600))) return nullptr;
    return device;
  }

  static uint32_t write_all(SerialDevice& device, const std::vector<uint8_t>& bytes) {
    return device.write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }

  TempDir dir_;
  std::unique_ptr<testing::ScopedEnv> com_dir_;
  std::unique_ptr<SerialPlatform> platform_ = make_system_serial_platform();
};

TEST_F(PosixSerialTest, OnlyComNamesWithAPlainNumberOpen) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  // Links that a loose parser could reach by mistake.
  ASSERT_EQ(symlink(dir_.file("com3").c_str(), dir_.file("com03").c_str()), 0);
  ASSERT_EQ(symlink(dir_.file("com3").c_str(), dir_.file("com").c_str()), 0);
  const std::wstring refused[] = {
      L"\\\\.\\COM03",
      L"\\\\.\\COM0",
      L"\\\\.\\COM",
      L"\\\\.\\com3",
      L"\\\\.\\COM3 ",
      L"\\\\.\\COM-3",
      L"\\\\.\\COM+3",
      L"\\\\.\\COM3x",
      L"\\\\.\\LPT3",
      L"COM3",
      L"\\\\.\\COM3/../com3",
      L"\\\\.\\COM99999999999999999999",
      L"",
  };
  for (const std::wstring& path : refused) {
    EXPECT_EQ(platform_->open(path), nullptr) << std::string(path.begin(), path.end());
  }
  EXPECT_NE(open_port(L"COM3"), nullptr);
}

TEST_F(PosixSerialTest, OnlyTheLinksInTheComDirectoryCount) {
  // No link: no port, and no fall-back to the machine's own /dev/ttyS*.
  EXPECT_EQ(open_port(L"COM1"), nullptr);
  EXPECT_EQ(open_port(L"COM4"), nullptr);
  // Nodes that are no terminal are refused before anything is written to them.
  ASSERT_EQ(symlink("/dev/null", dir_.file("com5").c_str()), 0);
  { std::ofstream(dir_.file("com6")) << "not a line"; }
  EXPECT_EQ(open_port(L"COM5"), nullptr);
  EXPECT_EQ(open_port(L"COM6"), nullptr);
  std::ifstream file(dir_.file("com6"));
  std::string content;
  std::getline(file, content);
  EXPECT_EQ(content, "not a line");
}

TEST_F(PosixSerialTest, AnEmptyComDirectoryVariableOpensNothing) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  testing::ScopedEnv empty("KESTRELON_COM_DIR", "");
  EXPECT_EQ(open_port(L"COM3"), nullptr);
  EXPECT_EQ(open_port(L"COM1"), nullptr);
}

TEST_F(PosixSerialTest, APortOpensOnlyOnceAtATime) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  auto first = open_port(L"COM3");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(open_port(L"COM3"), nullptr);
  EXPECT_EQ(open_port(L"COM3"), nullptr);
  first.reset();
  auto again = open_port(L"COM3");
  EXPECT_NE(again, nullptr);
}

TEST_F(PosixSerialTest, OpeningWritesNothing) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  {
    auto device = open_port(L"COM3");
    ASSERT_NE(device, nullptr);
    LineSettings current;
    ASSERT_TRUE(device->read_line_settings(current));
    ASSERT_TRUE(device->apply_line_settings(line_8n1(115200)));
  }
  ASSERT_TRUE(sim.sync());
  EXPECT_NE(sim.log().find("SPEED 115200"), std::string::npos) << sim.log();
  EXPECT_EQ(sim.log().find(" RX "), std::string::npos) << sim.log();
}

TEST_F(PosixSerialTest, TheSpeedAndFormatReachTheDevice) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  for (uint32_t speed : {115200u, 9600u, 19200u, 57600u}) {
    auto device = open_com3(speed, Timeouts{});
    ASSERT_NE(device, nullptr) << speed;
    EXPECT_TRUE(sim.wait_for_log("SPEED " + std::to_string(speed))) << speed;
  }
  EXPECT_TRUE(sim.wait_for_log("LINE 8N1"));
}

TEST_F(PosixSerialTest, LineSettingsReadBackAsApplied) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  struct Case {
    uint32_t speed;
    StopBits stop_bits;
    bool xon_xoff;
    const char* logged;
  };
  const Case cases[] = {
      {9600, StopBits::one, false, "LINE 8N1"},
      {19200, StopBits::two, false, "LINE 8N2"},
      {115200, StopBits::one, true, "LINE 8N1"},
  };
  for (const Case& c : cases) {
    auto device = open_port(L"COM3");
    ASSERT_NE(device, nullptr);
    LineSettings wanted = line_8n1(c.speed);
    wanted.stop_bits = c.stop_bits;
    wanted.out_x = wanted.in_x = c.xon_xoff;
    wanted.xon_char = 0x11;
    wanted.xoff_char = 0x13;
    ASSERT_TRUE(device->apply_line_settings(wanted)) << c.logged;
    LineSettings read;
    ASSERT_TRUE(device->read_line_settings(read));
    EXPECT_EQ(read.baud_rate, c.speed);
    EXPECT_EQ(read.byte_size, 8);
    EXPECT_EQ(read.parity, 0);
    EXPECT_EQ(read.stop_bits, c.stop_bits);
    EXPECT_EQ(read.out_x, c.xon_xoff);
    EXPECT_EQ(read.in_x, c.xon_xoff);
    EXPECT_EQ(read.xon_char, 0x11);
    EXPECT_EQ(read.xoff_char, 0x13);
    EXPECT_EQ(read.out_cts_flow, false);
    EXPECT_TRUE(sim.wait_for_log(c.logged)) << c.logged;
    EXPECT_TRUE(sim.wait_for_log("SPEED " + std::to_string(c.speed))) << c.logged;
  }
}

// A line still in terminal mode carries the terminal's IXON default, which nobody chose for
// a serial line: it is not reported as XON/XOFF flow control. A raw line's IXON is.
TEST_F(PosixSerialTest, TerminalDefaultsAreNoFlowControl) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  char name[64];
  ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
  ASSERT_EQ(symlink(name, dir_.file("com8").c_str()), 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  tio.c_lflag |= ICANON;
  tio.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
  LineSettings read;
  {
    auto device = open_port(L"COM8");
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->read_line_settings(read));
    EXPECT_FALSE(read.out_x);
    EXPECT_FALSE(read.in_x);
  }
  cfmakeraw(&tio);
  tio.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
  {
    auto device = open_port(L"COM8");
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->read_line_settings(read));
    EXPECT_TRUE(read.out_x);
    EXPECT_TRUE(read.in_x);
  }
  close(slave);
  close(master);
}

// A pseudo-terminal always carries 8 bits without parity: a format the driver does not
// take is refused, as the driver of a real port would, and the line stays as it was.
TEST_F(PosixSerialTest, AFormatTheDriverDropsIsRefused) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  auto device = open_com3_at_9600();
  ASSERT_NE(device, nullptr);
  struct Case {
    uint8_t byte_size;
    uint8_t parity;
  };
  const Case cases[] = {{7, 2}, {8, 1}, {8, 2}, {8, 3}, {8, 4}, {6, 0}, {5, 0}};
  for (const Case& c : cases) {
    LineSettings wanted = line_8n1(115200);
    wanted.byte_size = c.byte_size;
    wanted.parity = c.parity;
    wanted.stop_bits = StopBits::two;
    EXPECT_FALSE(device->apply_line_settings(wanted)) << int(c.byte_size) << int(c.parity);
    LineSettings read;
    ASSERT_TRUE(device->read_line_settings(read));
    EXPECT_EQ(read.baud_rate, 9600u);
    EXPECT_EQ(read.stop_bits, StopBits::one);
  }
}

TEST_F(PosixSerialTest, OneAndAHalfStopBitsBecomeTwo) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  auto device = open_port(L"COM3");
  ASSERT_NE(device, nullptr);
  LineSettings wanted = line_8n1(9600);
  wanted.stop_bits = StopBits::one_and_half;
  ASSERT_TRUE(device->apply_line_settings(wanted));
  LineSettings read;
  ASSERT_TRUE(device->read_line_settings(read));
  EXPECT_EQ(read.stop_bits, StopBits::two);
}

TEST_F(PosixSerialTest, SettingsTermiosCannotExpressAreRefusedAndChangeNothing) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  auto device = open_com3_at_9600();
  ASSERT_NE(device, nullptr);
  struct Case {
    uint32_t speed;
    uint8_t byte_size;
    uint8_t parity;
  };
  const Case refused[] = {{12345, 8, 0}, {0, 8, 0},    {115201, 8, 0}, {4294967295u, 8, 0},
                          {9600, 4, 0},  {9600, 9, 0}, {9600, 8, 5},   {9600, 0, 0}};
  for (const Case& c : refused) {
    LineSettings wanted = line_8n1(c.speed);
    wanted.byte_size = c.byte_size;
    wanted.parity = c.parity;
    EXPECT_FALSE(device->apply_line_settings(wanted))
        << c.speed << " " << int(c.byte_size) << " " << int(c.parity);
    LineSettings read;
    ASSERT_TRUE(device->read_line_settings(read));
    EXPECT_EQ(read.baud_rate, 9600u);
    EXPECT_EQ(read.byte_size, 8);
    EXPECT_EQ(read.parity, 0);
  }
}

TEST_F(PosixSerialTest, TheProbeGetsTheStatusByteAtASpeedTheDeviceUses) {
  Simulator sim(dir_, "com3", {"--status", "47", "--speeds", "9600"});
  ASSERT_TRUE(sim.ready());
  const Timeouts wait_a_second{0, 1000, 0, 10, 100};
  {
    auto device = open_com3(9600, wait_a_second);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(write_all(*device, {0x09}), 1u);
    uint8_t answer[2] = {0, 0};
    EXPECT_EQ(device->read(answer, 1), 1u);
    EXPECT_EQ(answer[0], 0x47);
  }
  ASSERT_TRUE(sim.wait_for_log("PROBE answered speed=9600"));
  {
    auto device = open_com3(115200, Timeouts{0, 300, 0, 10, 100});
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(write_all(*device, {0x09}), 1u);
    uint8_t answer[2] = {0, 0};
    EXPECT_EQ(device->read(answer, 1), 0u);
  }
  EXPECT_TRUE(sim.wait_for_log("IGNORED 1 bytes speed=115200"));
}

TEST_F(PosixSerialTest, TheIdentificationFrameGetsTheIdentifier) {
  Simulator sim(dir_, "com3", {"--id", "VF87654321"});
  ASSERT_TRUE(sim.ready());
  // The interval time-out ends the read once the reply has stopped coming.
  auto device = open_com3(115200, Timeouts{200, 3000, 0, 10, 100});
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(write_all(*device, kFirstIdentificationFrame), 7u);
  std::vector<uint8_t> reply(64);
  const auto count = device->read(reply.data(), static_cast<uint32_t>(reply.size()));
  ASSERT_TRUE(count.has_value());
  ASSERT_EQ(*count, kReplyLength);
  EXPECT_EQ(std::string(reply.begin() + 4, reply.begin() + 14), "VF87654321");
  EXPECT_EQ(reply[2], 0x21);  // the request's sequence byte
  EXPECT_TRUE(sim.wait_for_log("RX 02 23 21 60 36 32 0A"));
  EXPECT_TRUE(sim.wait_for_log("FRAME seq=21 cmd=60 len=23 ok"));
}

TEST_F(PosixSerialTest, WaitingInputCountsTheBytesReceived) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  auto device = open_com3(115200, Timeouts{kMaxDword, 0, 0, 10, 100});
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->waiting_input(), 0u);
  ASSERT_EQ(write_all(*device, kFirstIdentificationFrame), 7u);
  ASSERT_TRUE(sim.wait_for_log("TX 02"));
  std::optional<uint32_t> waiting;
  const int64_t give_up = monotonic_ms() + 2000;
  do {
    waiting = device->waiting_input();
    if (waiting == kReplyLength) break;
    usleep(10 * 1000);
  } while (monotonic_ms() < give_up);
  EXPECT_EQ(waiting, kReplyLength);
  // Reading part leaves the rest counted.
  uint8_t part[5];
  EXPECT_EQ(device->read(part, 5), 5u);
  EXPECT_EQ(device->waiting_input(), kReplyLength - 5);
}

TEST_F(PosixSerialTest, ReadTimeOutsFollowTheWindowsRules) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  struct Case {
    const char* name;
    Timeouts timeouts;
    bool send_probe;
    uint32_t length;
    uint32_t expected_count;
    int64_t at_least_ms;
    int64_t at_most_ms;
  };
  const Case cases[] = {
      // Total constant: one byte comes, nine never do.
      {"total constant", {0, 400, 0, 10, 100}, true, 10, 1, 400, 3000},
      // Multiplier: 50 ms per byte requested, 10 bytes.
      {"total multiplier", {0, 0, 50, 10, 100}, true, 10, 1, 500, 3000},
      // Interval only: ends 150 ms after the status byte, long before any total.
      {"interval", {150, 0, 0, 10, 100}, true, 10, 1, 150, 2000},
      // Interval MAXDWORD, no totals: at once with what is there (nothing).
      {"at once", {kMaxDword, 0, 0, 10, 100}, false, 10, 0, 0, 100},
      // Interval and multiplier MAXDWORD: the first byte ends the wait.
      {"first byte", {kMaxDword, 2000, kMaxDword, 10, 100}, true, 10, 1, 0, 1500},
      // Nothing comes: the constant ends the wait with no byte.
      {"nothing", {0, 300, 0, 10, 100}, false, 4, 0, 300, 2000},
  };
  for (const Case& c : cases) {
    auto device = open_com3(115200, c.timeouts);
    ASSERT_NE(device, nullptr) << c.name;
    if (c.send_probe) {
      ASSERT_EQ(write_all(*device, {0x09}), 1u) << c.name;
    }
    std::vector<uint8_t> buffer(c.length);
    const int64_t start = monotonic_ms();
    const auto count = device->read(buffer.data(), c.length);
    const int64_t elapsed = monotonic_ms() - start;
    EXPECT_EQ(count, c.expected_count) << c.name;
    EXPECT_GE(elapsed, c.at_least_ms) << c.name;
    EXPECT_LE(elapsed, c.at_most_ms) << c.name;
  }
}

// The simulator's fault modes give the replies later reliability tests rely on.
TEST_F(PosixSerialTest, SimulatorFaultModesShapeTheReply) {
  struct Case {
    std::vector<std::string> arguments;
    size_t reply_length;
    bool identifier_at_4;
  };
  const Case cases[] = {
      {{}, kReplyLength, true},
      {{"--fault", "no-id-reply"}, 0, false},
      {{"--silent"}, 0, false},
      {{"--fault", "garbage-reply"}, 30, false},
      {{"--fault", "empty-reply"}, 7, false},
      {{"--fault", "huge-reply=3000"}, 3000, true},
      {{"--fault", "flood-bytes=20000"}, 20000, false},
      {{"--id", "VF1", "--fault", "huge-reply=9"}, 9, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testing::ScopedEnv com_dir("KESTRELON_COM_DIR", dir.path().c_str());
    Simulator sim(dir, "com3", c.arguments);
    ASSERT_TRUE(sim.ready());
    auto device = open_com3(115200, Timeouts{300, 1000, 0, 10, 100});
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(write_all(*device, kFirstIdentificationFrame), 7u);
    std::vector<uint8_t> reply(64 * 1024);
    const auto count = device->read(reply.data(), static_cast<uint32_t>(reply.size()));
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(*count, c.reply_length) << c.arguments.back();
    reply.resize(*count);
    if (c.identifier_at_4) {
      ASSERT_GE(reply.size(), 14u);
      EXPECT_EQ(std::string(reply.begin() + 4, reply.begin() + 14), "VF12345678");
      EXPECT_EQ(std::count(reply.begin(), reply.end(), 0), 0);
    }
    EXPECT_TRUE(sim.wait_for_log("FRAME seq=21 cmd=60 len=23 ok")) << c.arguments.back();
  }
}

TEST_F(PosixSerialTest, ADefaultReadWaitsForTheMissingBytes) {
  Simulator sim(dir_, "com3", {"--fault", "delay-id-ms=400"});
  ASSERT_TRUE(sim.ready());
  auto device = open_com3(115200, Timeouts{0, 0, 0, 10, 100});
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(write_all(*device, kFirstIdentificationFrame), 7u);
  std::vector<uint8_t> reply(kReplyLength);
  const int64_t start = monotonic_ms();
  EXPECT_EQ(device->read(reply.data(), kReplyLength), kReplyLength);
  EXPECT_GE(monotonic_ms() - start, 350);
  EXPECT_EQ(std::string(reply.begin() + 4, reply.begin() + 14), "VF12345678");
}

TEST_F(PosixSerialTest, AHangUpEndsTheWaitAndFailsLaterOperations) {
  Simulator sim(dir_, "com3", {"--fault", "hangup-before-reply"});
  ASSERT_TRUE(sim.ready());
  // No time-out at all: only the hang-up can end this read.
  auto device = open_com3(115200, Timeouts{0, 0, 0, 0, 0});
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(write_all(*device, kFirstIdentificationFrame), 7u);
  uint8_t reply[8];
  EXPECT_EQ(device->read(reply, sizeof reply), std::nullopt);
  EXPECT_EQ(device->waiting_input(), std::nullopt);
  EXPECT_EQ(write_all(*device, {0x18}), 0u);
  int status = 0;
  EXPECT_TRUE(sim.wait_exit(3000, status));
  EXPECT_NE(sim.log().find("EVENT hangup before reply"), std::string::npos);
}

TEST_F(PosixSerialTest, BytesThatArrivedBeforeAHangUpAreReturned) {
  Simulator sim(dir_, "com3", {"--fault", "hangup-after-reply"});
  ASSERT_TRUE(sim.ready());
  auto device = open_com3(115200, Timeouts{0, 0, 0, 0, 0});
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(write_all(*device, kFirstIdentificationFrame), 7u);
  ASSERT_TRUE(sim.wait_for_log("TX 02"));
  std::vector<uint8_t> reply(100);
  // The reply is there; the line goes 1 s later and ends the wait for the other 83 bytes.
  const auto count = device->read(reply.data(), static_cast<uint32_t>(reply.size()));
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, kReplyLength);
}

TEST_F(PosixSerialTest, AWriteEndsByItsTotalTimeOutWhenTheLineIsFull) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  auto device = open_com3(115200, Timeouts{0, 0, 0, 300, 0});
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(kill(sim.pid(), SIGSTOP), 0);  // the device stops taking bytes
  std::vector<uint8_t> bytes(1 << 20, 0x55);
  const int64_t start = monotonic_ms();
  const uint32_t written = write_all(*device, bytes);
  const int64_t elapsed = monotonic_ms() - start;
  kill(sim.pid(), SIGCONT);
  EXPECT_LT(written, bytes.size());
  EXPECT_GT(written, 0u);
  EXPECT_GE(elapsed, 300);
  EXPECT_LE(elapsed, 3000);
}

TEST_F(PosixSerialTest, SleepLastsAtLeastTheTimeAsked) {
  platform_->raise_timer_resolution();
  for (uint32_t ms : {0u, 25u, 250u}) {
    const int64_t start = monotonic_ms();
    platform_->sleep_ms(ms);
    const int64_t elapsed = monotonic_ms() - start;
    EXPECT_GE(elapsed + 1, static_cast<int64_t>(ms)) << ms;
    EXPECT_LE(elapsed, static_cast<int64_t>(ms) + 1000) << ms;
  }
}

}  // namespace
}  // namespace kestrelon
