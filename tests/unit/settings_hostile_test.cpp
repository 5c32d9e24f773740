// Settings files that nobody should write, on real files: huge, binary, full of NUL bytes or
// of bytes above 0x7F, or naming something other than a serial port. Each time the file stays
// as it was, nothing crashes, and the whole run never opens anything but a port named
// "COM" and a number.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "app/run.h"
#include "unit/fake_serial_platform.h"
#include "unit/temp_dir.h"

namespace kestrelon {
namespace {

using testing::FakeSerialPlatform;
using testing::TempDir;

// A literal with its NUL bytes, without the terminating one.
template <size_t N>
std::string with_nuls(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// Bytes from `lowest` upward (0 or 0x80), eight from each draw of the generator.
std::string random_bytes(size_t size, uint64_t seed, uint8_t lowest) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (size_t at = 0; at < size; at += 8) {
    uint64_t draw = generator();
    for (size_t i = at; i < at + 8 && i < size; ++i, draw >>= 8) {
      bytes[i] = static_cast<char>(static_cast<uint8_t>(draw) | lowest);
    }
  }
  return bytes;
}

// The whole file in one read (a byte-wise read of 30 MB is slow in a sanitizer build).
std::string file_content(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(static_cast<size_t>(std::filesystem::file_size(path)), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

class AnsweringBoxes : public MessageBoxes {
 public:
  void show_plain(const std::wstring&, const std::wstring&) override { ++plain; }
  Answer ask_yes_no(const std::wstring&, const std::wstring&) override {
    ++questions;
    return Answer::no;
  }
  int plain = 0;
  int questions = 0;
};

// A device on COM3, and ports whose names are the hostile values themselves: if any of those
// names reached the platform, the fake would open it and say so.
class HostileSettingsTest : public ::testing::Test {
 protected:
  HostileSettingsTest() {
    platform_.add_port(L"COM3").responder = testing::fiscal_device({});
    for (const wchar_t* name :
         {L"COM1\\..\\..\\WINDOWS\\X", L"../../ETC/PASSWD", L"COM3:", L"\\\\.\\PHYSICALDRIVE0",
          L"PHYSICALDRIVE0", L"COM1/../../DEV/TTYS0"}) {
      platform_.add_port(name).responder = testing::fiscal_device({});
    }
  }

  RunEnd run_with_file(const std::string& bytes) {
    TempDir::write(path_, bytes);
    RunServices services{platform_, boxes_, nullptr, path_.wstring()};
    const RunEnd end = run_once(services, state_);
    EXPECT_TRUE(file_content(path_) == bytes) << "the settings file was changed";
    return end;
  }

  // Every open the run asked for, successful or not, named "\\.\COM" and digits only.
  void expect_only_serial_ports_opened() const {
    static const std::regex allowed(R"(open COM[0-9]+|open-failed \\\\\.\\COM[0-9]+)");
    for (const std::string& event : platform_.events_starting("open")) {
      EXPECT_TRUE(std::regex_match(event, allowed)) << event;
    }
  }

  TempDir dir_;
  std::filesystem::path path_ = dir_.file(kSettingsFileName);
  FakeSerialPlatform platform_;
  AnsweringBoxes boxes_;
  ProgramState state_;
};

TEST_F(HostileSettingsTest, ThirtyMegabytesOfRandomBytes) {
  const RunEnd end = run_with_file(random_bytes(30u << 20, 20240601, 0));
  expect_only_serial_ports_opened();
  // Whatever the noise set, the run ended one of its normal ways with every port closed.
  EXPECT_TRUE(end == RunEnd::finished || end == RunEnd::port_not_opened ||
              end == RunEnd::user_gave_up);
  EXPECT_FALSE(platform_.port(L"COM3").open);
}

TEST_F(HostileSettingsTest, TwentyMegabyteSingleLines) {
  struct Case {
    std::string bytes;
    std::wstring port_name;  // its first 12 characters
    int32_t speed;
    std::vector<std::string> failed_opens;
    RunEnd end;
  };
  const std::string digits(20u << 20, '7');
  const Case cases[] = {
      // A name of 60000 digits is cut to 59 characters before the open, nothing longer.
      {"port=9600\r\ncom=" + digits.substr(0, 60000),
       L"COM777777777",
       9600,
       {"open-failed \\\\.\\COM" + std::string(56, '7')},
       RunEnd::port_not_opened},
      // One of 20 MB is no entry at all: the lines around it count.
      {"com=COM3\r\nport=9600\r\ncom=" + digits, L"COM3", 9600, {}, RunEnd::finished},
      // A comment line of 20 MB, then the lines that count.
      {";" + digits + "\r\ncom=COM3\r\nport=115200", L"COM3", 115200, {}, RunEnd::finished},
  };
  for (const Case& c : cases) {
    platform_.events.clear();
    state_ = {};
    EXPECT_EQ(run_with_file(c.bytes), c.end);
    expect_only_serial_ports_opened();
    EXPECT_EQ(state_.port_settings.port_name.substr(0, 12), c.port_name);
    EXPECT_EQ(state_.port_settings.speed, c.speed);
    EXPECT_EQ(platform_.events_starting("open-failed"), c.failed_opens);
    EXPECT_FALSE(platform_.port(L"COM3").open);
  }
}

TEST_F(HostileSettingsTest, NulBytesEverywhere) {
  struct Case {
    std::string bytes;
    std::wstring port_name;
    int32_t speed;
    RunEnd end;
  } cases[] = {
      // A NUL ends a line, so a file saved as UTF-16 sets nothing: detection finds COM3.
      {with_nuls("c\0o\0m\0=\0C\0O\0M\0004\0\r\0\n\0p\0o\0r\0t\0=\0009\0006\0000\0000\0"), L"COM3",
       115200, RunEnd::finished},
      {std::string(1u << 20, '\0'), L"COM3", 115200, RunEnd::finished},
      {with_nuls("\0\0com=COM3\0\0\0port=9600\0"), L"COM3", 9600, RunEnd::finished},
      {with_nuls("com=CO\0M3\0port=9600"), L"COMCO", 9600, RunEnd::port_not_opened},
      {"\xFF\xFE" + with_nuls("c\0o\0m\0=\0C\0O\0M\0003\0"), L"COM3", 115200, RunEnd::finished},
  };
  for (const Case& c : cases) {
    platform_.events.clear();
    state_ = {};
    EXPECT_EQ(run_with_file(c.bytes), c.end);
    expect_only_serial_ports_opened();
    EXPECT_EQ(state_.port_settings.port_name, c.port_name);
    EXPECT_EQ(state_.port_settings.speed, c.speed);
    EXPECT_FALSE(platform_.port(L"COM3").open);
  }
}

TEST_F(HostileSettingsTest, BytesAboveTheAsciiRange) {
  const std::string cases[] = {
      "com=COM\x80\xFF\xE9\r\nport=9600\r\n",
      "com=\xC3\x9C\xC3\xA7\r\nport=9600\r\n",  // UTF-8 text read as single bytes
      "com=COM\xB3\r\nport=9600\r\n",           // a superscript three is no digit
      "com=COM3\xA0\r\nport=9600\r\n",          // a no-break space is not trimmed
      "com=COM3\r\nport=\xB9\xB2\xB3\r\n",      // no digits: speed 0, detection
      random_bytes(1u << 20, 7, 0x80),
  };
  for (const std::string& bytes : cases) {
    platform_.events.clear();
    boxes_.plain = 0;
    state_ = {};
    const RunEnd end = run_with_file(bytes);
    expect_only_serial_ports_opened();
    if (end == RunEnd::port_not_opened) {
      // A name that is no serial port's never reaches the platform at all.
      EXPECT_TRUE(platform_.events_starting("open").empty()) << bytes.substr(0, 20);
      EXPECT_EQ(boxes_.plain, 1);
    } else {
      EXPECT_EQ(state_.port_settings.port_name, L"COM3") << bytes.substr(0, 20);
    }
    EXPECT_FALSE(platform_.port(L"COM3").open);
  }
}

TEST_F(HostileSettingsTest, ValuesThatTryToLeaveTheSerialPorts) {
  const std::string cases[] = {
      "com=COM1\\..\\..\\Windows\\x",
      "com=../../etc/passwd",
      "com=COM3:",
      "com=\\\\.\\PhysicalDrive0",
      "com=PhysicalDrive0",
      "com=COM1/../../dev/console",
      "com=COM3 3",
      "com=COM-3",
      "com=COM+3",
      "com=COM\t3",
      "com=COM3.",
      "com=COM0x3",
  };
  for (const std::string& value : cases) {
    platform_.events.clear();
    boxes_.plain = 0;
    state_ = {};
    EXPECT_EQ(run_with_file(value + "\r\nport=9600\r\n"), RunEnd::port_not_opened) << value;
    // Refused before the platform is asked: no open at all, only the error box.
    EXPECT_TRUE(platform_.events_starting("open").empty()) << value;
    EXPECT_TRUE(platform_.events_starting("write").empty()) << value;
    EXPECT_EQ(boxes_.plain, 1) << value;
    EXPECT_EQ(boxes_.questions, 0) << value;
  }
}

}  // namespace
}  // namespace kestrelon
