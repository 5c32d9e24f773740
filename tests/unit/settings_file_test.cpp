#include "app/settings_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/temp_dir.h"

namespace kestrelon {
namespace {

using testing::TempDir;

TEST(SettingsLine, KeysValuesAndTheirEffects) {
  struct Case {
    const wchar_t* line;
    const wchar_t* port_name;  // nullptr: unchanged
    int32_t speed;             // -1: unchanged
  } cases[] = {
      {L";com=COM1", nullptr, -1},
      {L";port=115200", nullptr, -1},
      {L"com=COM3", L"COM3", -1},
      {L"COM = 4", L"COM4", -1},
      {L"Com=com12", L"COM12", -1},
      {L"com=COM 3", L"COM 3", -1},
      {L"com=", L"COM", -1},
      {L"com", L"COM", -1},
      {L"com=CCOMOM3", L"COMCOM3", -1},  // one pass, what remains is not searched again
      {L"com=COMCOM5", L"COM5", -1},
      {L"com=3=x", L"COM3", -1},
      {L"port=9600", nullptr, 9600},
      {L" Port = 115200 ", nullptr, 115200},
      {L"port=$1C200", nullptr, 115200},
      {L"port=9600 baud", nullptr, 9600},
      {L"port=abc", nullptr, 0},
      {L"port=-9600", nullptr, -9600},
      {L"port=115200=8N1", nullptr, 115200},
      {L"port=4294967296", nullptr, 0},
      {L"port=4294967295", nullptr, -1},
      {L"port=%1010", nullptr, 10},
      {L"\tcom=COM3", nullptr, -1},
      {L"baud=9600", nullptr, -1},
      {L"", nullptr, -1},
      {L"=COM3", nullptr, -1},
  };
  for (const Case& c : cases) {
    PortSettings settings{L"unchanged", -1};
    apply_settings_line(c.line, settings);
    EXPECT_EQ(settings.port_name, c.port_name ? c.port_name : L"unchanged") << c.line;
    EXPECT_EQ(settings.speed, c.speed) << c.line;
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  PortSettings read_file() {
    PortSettings settings;
    read_settings_file(path_.wstring(), settings);
    return settings;
  }
  TempDir dir_;
  std::filesystem::path path_ = dir_.file("Kestrelon.ini");
};

TEST_F(SettingsFileTest, MissingOrEmptyFileGetsTheDefaultFile) {
  for (bool empty_file : {false, true}) {
    std::filesystem::remove(path_);
    if (empty_file) TempDir::write(path_, "");
    const PortSettings settings = read_file();
    EXPECT_EQ(TempDir::read(path_), ";com=COM1\r\n;port=115200\r\n");
    EXPECT_EQ(std::filesystem::file_size(path_), 25u);
    EXPECT_EQ(settings.port_name, L"");
    EXPECT_EQ(settings.speed, 0);
  }
}

TEST_F(SettingsFileTest, ContentIsReadAndNeverRewritten) {
  struct Case {
    std::string bytes;
    const wchar_t* port_name;
    int32_t speed;
  } cases[] = {
      {"\r\n", L"", 0},
      {"com=COM3\r\nport=9600\r\n", L"COM3", 9600},
      {"com=COM3\nport=9600", L"COM3", 9600},
      {"com=COM3\rport=9600\r", L"COM3", 9600},
      {"com=COM3\r\r\nport=9600", L"COM3", 9600},
      {std::string("com=COM3\0port=9600", 18), L"COM3", 9600},
      {"com=COM3\r\ncom=\r\n", L"COM", 0},
      {"com=COM3", L"COM3", 0},
      {"\xEF\xBB\xBF"
       "com=COM3\r\nport=9600\r\n",
       L"", 9600},
      {"\xEF\xBB\xBF"
       "port=1\r\ncom=COM4\r\n",
       L"COM4", 0},
      {"; comment\r\n\tcom=COM9\r\n  com = com7  \r\n", L"COM7", 0},
      {"com=COM5\r\n" + std::string(200000, 'x') + "\r\nport=19200", L"COM5", 19200},
      // A line of 64 KiB reads whole; of a longer one only the first 64 KiB count.
      {"port=" + std::string(65536 - 9, '0') + "9600\r\ncom=COM4", L"COM4", 9600},
      {"port=" + std::string(65536 - 8, '0') + "9600\r\ncom=COM4", L"COM4", 960},
  };
  for (const Case& c : cases) {
    TempDir::write(path_, c.bytes);
    const PortSettings settings = read_file();
    EXPECT_EQ(settings.port_name, c.port_name) << c.bytes.substr(0, 40);
    EXPECT_EQ(settings.speed, c.speed) << c.bytes.substr(0, 40);
    EXPECT_EQ(TempDir::read(path_), c.bytes);
  }
}

TEST_F(SettingsFileTest, LineEndSplitAcrossReadChunks) {
  // CR at the very end of one 64 KiB chunk, LF at the start of the next.
  std::string bytes(65535, ';');
  bytes += "\r\ncom=COM6\r\n";
  TempDir::write(path_, bytes);
  EXPECT_EQ(read_file().port_name, L"COM6");
}

TEST_F(SettingsFileTest, ADirectoryOfThatNameLeavesTheSettingsAsTheyWere) {
  std::filesystem::create_directory(path_);
  PortSettings settings{L"COM2", 4800};
  read_settings_file(path_.wstring(), settings);
  EXPECT_EQ(settings.port_name, L"COM2");
  EXPECT_EQ(settings.speed, 4800);
  EXPECT_TRUE(std::filesystem::is_directory(path_));
}

TEST_F(SettingsFileTest, FileThatCannotBeWrittenIsStillReadAndNeverModified) {
  TempDir::write(path_, "com=COM3\r\nport=9600\r\n");
  const testing::Unwritable unwritable(path_);
  if (!unwritable.holds()) GTEST_SKIP() << "no way to make a file unwritable here";
  const PortSettings settings = read_file();
  EXPECT_EQ(settings.port_name, L"COM3");
  EXPECT_EQ(settings.speed, 9600);
  EXPECT_EQ(TempDir::read(path_), "com=COM3\r\nport=9600\r\n");
}

TEST_F(SettingsFileTest, PinnedPortIsReadBackAndTheEarlierFileKept) {
  const std::filesystem::path backup = dir_.file("Kestrelon.ini.bak");
  struct Case {
    const char* before;  // nullptr: no file
    PortSettings pinned;
    const char* written;
  } cases[] = {
      {nullptr, {L"COM5", 115200}, "com=COM5\r\nport=115200\r\n"},
      {";com=COM1\r\n;port=115200\r\n", {L"COM12", 9600}, "com=COM12\r\nport=9600\r\n"},
      {"com=COM3\r\nport=9600\r\nbaud=1\r\n", {L"COM256", 9600}, "com=COM256\r\nport=9600\r\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(path_);
    TempDir::write(backup, "a backup from an earlier pin");
    if (c.before) TempDir::write(path_, c.before);
    const FileResult result = pin_settings_file(path_.wstring(), c.pinned);
    EXPECT_TRUE(result.ok) << c.written;
    EXPECT_EQ(result.reason, L"");
    EXPECT_EQ(TempDir::read(path_), c.written);
    EXPECT_EQ(TempDir::read(backup), c.before ? c.before : "a backup from an earlier pin");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("Kestrelon.ini.tmp")));
    const PortSettings read_back = read_file();
    EXPECT_EQ(read_back.port_name, c.pinned.port_name);
    EXPECT_EQ(read_back.speed, c.pinned.speed);
  }
}

TEST_F(SettingsFileTest, PinThatCannotBeWrittenSaysWhyAndLeavesTheFileAsItWas) {
  const std::string before = "com=COM3\r\nport=9600\r\n";
  // A directory in the way of the file itself, of its backup, or of the new text beside it.
  for (const char* in_the_way : {"Kestrelon.ini", "Kestrelon.ini.bak", "Kestrelon.ini.tmp"}) {
    TempDir dir;
    const std::filesystem::path path = dir.file("Kestrelon.ini");
    std::filesystem::create_directories(dir.file(in_the_way) / "inside");
    if (!std::filesystem::is_directory(path)) TempDir::write(path, before);
    const FileResult result = pin_settings_file(path.wstring(), {L"COM5", 115200});
    EXPECT_FALSE(result.ok) << in_the_way;
    EXPECT_NE(result.reason, L"") << in_the_way;
    if (!std::filesystem::is_directory(path)) {
      EXPECT_EQ(TempDir::read(path), before) << in_the_way;
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.file(in_the_way) / "inside")) << in_the_way;
    if (std::string(in_the_way) != "Kestrelon.ini.tmp") {
      EXPECT_FALSE(std::filesystem::exists(dir.file("Kestrelon.ini.tmp"))) << in_the_way;
    }
  }
}

}  // namespace
}  // namespace kestrelon
