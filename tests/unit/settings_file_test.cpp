#include "app/settings_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "unit/temp_dir.h"

namespace kestrelon {
namespace {

using testing::TempDir;

// The settings file and the files of its pin, named as the code names them.
const PinFiles kPinned = pin_files(kSettingsFileName);

// Pins in the folder, held as the scan holds it.
PinResult pin_in(const std::filesystem::path& folder, const PortSettings& settings) {
  FileResult opened;
  const std::unique_ptr<Folder> held = Folder::open(folder.wstring(), opened);
  EXPECT_TRUE(opened.ok) << folder;
  return held ? pin_settings_file(*held, kSettingsFileName, settings) : PinResult{};
}

bool is_read_only(const std::filesystem::path& file) {
  FileResult opened;
  const std::unique_ptr<Folder> held = Folder::open(file.parent_path().wstring(), opened);
  return held && held->status(file.filename().wstring()).read_only;
}

// The names the user is told (the messages, the guide), once, as they are written there.
TEST(SettingsFileNames, AreTheOnesTheUserIsTold) {
  EXPECT_EQ(kPinned.file, L"Kestrelon.ini");
  EXPECT_EQ(kPinned.backup, L"Kestrelon.ini.bak");
  EXPECT_EQ(kPinned.temporary, L"Kestrelon.ini.tmp");
  EXPECT_EQ(kPinned.backup_temporary, L"Kestrelon.ini.bak.tmp");
}

TEST(SettingsLine, KeysValuesAndTheirEffects) {
  // The speed before each line: no line of the table gives it.
  constexpr int32_t kEarlierSpeed = 4800;
  struct Case {
    const wchar_t* line;
    const wchar_t* port_name;      // nullptr: unchanged
    std::optional<int32_t> speed;  // none: unchanged
  } cases[] = {
      {L";com=COM1", nullptr, {}},
      {L";port=115200", nullptr, {}},
      {L"com=COM3", L"COM3", {}},
      {L"COM = 4", L"COM4", {}},
      {L"Com=com12", L"COM12", {}},
      {L"com=COM 3", L"COM 3", {}},
      {L"com=", L"COM", {}},
      {L"com", L"COM", {}},
      {L"com=CCOMOM3", L"COMCOM3", {}},  // one pass, what remains is not searched again
      {L"com=COMCOM5", L"COM5", {}},
      {L"com=3=x", L"COM3", {}},
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
      {L"\tcom=COM3", nullptr, {}},
      {L"baud=9600", nullptr, {}},
      {L"", nullptr, {}},
      {L"=COM3", nullptr, {}},
  };
  for (const Case& c : cases) {
    PortSettings settings{L"unchanged", kEarlierSpeed};
    apply_settings_line(c.line, settings);
    EXPECT_EQ(settings.port_name, c.port_name ? c.port_name : L"unchanged") << c.line;
    EXPECT_EQ(settings.speed, c.speed.value_or(kEarlierSpeed)) << c.line;
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
  std::filesystem::path path_ = dir_.file(kSettingsFileName);
};

TEST_F(SettingsFileTest, MissingOrEmptyFileGetsTheDefaultFile) {
  enum {
    missing,
    empty,
    empty_with_another_name
  } kinds[] = {missing, empty, empty_with_another_name};
  const std::filesystem::path elsewhere = dir_.file("somebody-else's");
  for (auto kind : kinds) {
    std::filesystem::remove(path_);
    if (kind != missing) TempDir::write(path_, "");
    // A file that has another name too could be somebody else's: it is never written.
    if (kind == empty_with_another_name) std::filesystem::create_hard_link(path_, elsewhere);
    const PortSettings settings = read_file();
    EXPECT_EQ(TempDir::read(path_),
              kind == empty_with_another_name ? "" : ";com=COM1\r\n;port=115200\r\n");
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
      // A key or a value of 64 KiB reads as usual, whatever follows a second "="; a line whose
      // key or value is longer is ignored whole.
      {"port" + std::string(65536 - 4, ' ') + "=9600\r\ncom=COM4", L"COM4", 9600},
      {"port=4800\r\nport" + std::string(65536 - 4, ' ') + "x=9600\r\ncom=COM4", L"COM4", 4800},
      {"com=COM4\r\ncom" + std::string(65536 - 3, ' ') + "x=COM9\r\nport=1", L"COM4", 1},
      {"port=" + std::string(65536 - 4, '0') + "9600\r\ncom=COM4", L"COM4", 9600},
      {"port=4800\r\nport=" + std::string(65536 - 3, '0') + "9600\r\ncom=COM4", L"COM4", 4800},
      {"com=COM5=" + std::string(200000, '=') + "\r\nport=19200", L"COM5", 19200},
  };
  for (const Case& c : cases) {
    TempDir::write(path_, c.bytes);
    // What the setup reads as pinned: the same settings when the run would go straight there.
    FileResult opened;
    const PortSettings pinned =
        pinned_settings(*Folder::open(dir_.path().wstring(), opened), kSettingsFileName);
    const bool goes_straight = *c.port_name && c.speed;
    EXPECT_EQ(pinned.port_name, goes_straight ? c.port_name : L"") << c.bytes.substr(0, 40);
    EXPECT_EQ(pinned.speed, goes_straight ? c.speed : 0) << c.bytes.substr(0, 40);
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
  namespace fs = std::filesystem;
  const fs::path backup = dir_.file(kPinned.backup);
  std::string several_chunks(3 * 65536 + 1, '\0');  // copied a chunk at a time, every byte value
  for (size_t i = 0; i < several_chunks.size(); ++i) several_chunks[i] = static_cast<char>(i * 7);
  struct Case {
    std::string before;  // empty: no file
    bool read_only_backup;
    PortSettings pinned;
    const char* written;
    PinOutcome outcome = PinOutcome::pinned;
    bool read_only_file = false;
  } cases[] = {
      {"", false, {L"COM5", 115200}, "com=COM5\r\nport=115200\r\n"},
      {";com=COM1\r\n;port=115200\r\n", false, {L"COM12", 9600}, "com=COM12\r\nport=9600\r\n"},
      {several_chunks, false, {L"COM256", 9600}, "com=COM256\r\nport=9600\r\n"},
      // An earlier backup that is read-only is replaced all the same, by one that is not.
      {"com=COM3\r\nport=9600\r\n", true, {L"COM4", 19200}, "com=COM4\r\nport=19200\r\n"},
      // The same pin again writes nothing: the backup keeps the settings from before.
      {"com=COM4\r\nport=19200\r\n",
       false,
       {L"COM4", 19200},
       "com=COM4\r\nport=19200\r\n",
       PinOutcome::already_pinned},
      {"com=COM4\r\nport=19200\r\n\r\n", false, {L"COM4", 19200}, "com=COM4\r\nport=19200\r\n"},
      // Nor is a read-only file that already says it a failure.
      {"com=COM4\r\nport=19200\r\n",
       false,
       {L"COM4", 19200},
       "com=COM4\r\nport=19200\r\n",
       PinOutcome::already_pinned,
       true},
  };
  for (const Case& c : cases) {
    fs::remove(path_);
    fs::remove(backup);
    TempDir::write(backup, "a backup from an earlier pin");
    if (c.read_only_backup) fs::permissions(backup, fs::perms::all, fs::perm_options::remove);
    if (!c.before.empty()) TempDir::write(path_, c.before);
    std::optional<testing::Unwritable> unwritable;
    if (c.read_only_file) {
      unwritable.emplace(path_);
      if (!is_read_only(path_)) continue;  // no way to make a file read-only here
    }
    const PinResult result = pin_in(dir_.path(), c.pinned);
    const bool kept = c.before.empty() || c.outcome == PinOutcome::already_pinned;
    EXPECT_EQ(result.outcome, c.outcome) << c.written << " " << result.reason.size();
    EXPECT_EQ(TempDir::read(path_), c.written);
    EXPECT_TRUE(TempDir::read(backup) == (kept ? "a backup from an earlier pin" : c.before))
        << c.written;
    EXPECT_NE(fs::status(backup).permissions() & fs::perms::owner_write, fs::perms::none);
    for (const fs::path temporary : {kPinned.temporary, kPinned.backup_temporary}) {
      EXPECT_FALSE(fs::exists(dir_.file(temporary))) << temporary;
    }
    const PortSettings read_back = read_file();
    EXPECT_EQ(read_back.port_name, c.pinned.port_name);
    EXPECT_EQ(read_back.speed, c.pinned.speed);
  }
}

TEST_F(SettingsFileTest, PinThatFailsChangesNothingAndNamesWhatFailed) {
  const std::string before = "com=COM3\r\nport=9600\r\n";
  const std::string earlier_backup = "com=COM2\r\nport=4800\r\n";
  struct Case {
    std::wstring in_the_way;  // a directory of that name; empty: none
    bool read_only;           // the file itself
    PinOutcome outcome;
    std::wstring failed_file;
    bool another_name = false;  // the file is also somebody else's: never copied
    bool link = false;          // the file is a symbolic link to somebody else's: never copied
  } cases[] = {
      {kPinned.file, false, PinOutcome::not_copied, kPinned.file},
      {{}, false, PinOutcome::not_copied, kPinned.file, true},
      {{}, false, PinOutcome::not_copied, kPinned.file, false, true},
      {kPinned.temporary, false, PinOutcome::not_written, kPinned.temporary},
      {kPinned.backup_temporary, false, PinOutcome::not_written, kPinned.backup_temporary},
      // The file replaced, then its backup refused: the file goes back as it was.
      {kPinned.backup, false, PinOutcome::not_replaced, kPinned.backup},
      {{}, true, PinOutcome::read_only, kPinned.file},  // last: it may be skipped
  };
  for (const Case& c : cases) {
    const std::string name = !c.in_the_way.empty() ? std::filesystem::path(c.in_the_way).string()
                             : c.another_name      ? "hard link"
                             : c.link              ? "symbolic link"
                                                   : "read-only file";
    TempDir dir;
    const std::filesystem::path path = dir.file(kPinned.file);
    const std::filesystem::path backup = dir.file(kPinned.backup);
    if (!c.in_the_way.empty()) {
      std::filesystem::create_directories(dir.file(c.in_the_way) / "inside");
    }
    if (c.link) {
      TempDir::write(dir.file("somebody-else's"), before);
      std::error_code unsupported;  // Wine makes no symbolic links
      std::filesystem::create_symlink(dir.file("somebody-else's"), path, unsupported);
      if (!std::filesystem::is_symlink(path)) continue;
    }
    if (!std::filesystem::exists(path)) TempDir::write(path, before);
    if (c.another_name) std::filesystem::create_hard_link(path, dir.file("somebody-else's"));
    if (!std::filesystem::exists(backup)) TempDir::write(backup, earlier_backup);
    std::optional<testing::Unwritable> unwritable;
    if (c.read_only) {
      unwritable.emplace(path);
      if (!is_read_only(path)) GTEST_SKIP() << "no way to make a file read-only here";
    }
    const PinResult result = pin_in(dir.path(), {L"COM5", 115200});
    unwritable.reset();
    EXPECT_EQ(result.outcome, c.outcome) << name;
    EXPECT_EQ(result.file, dir.file(c.failed_file).wstring()) << name;
    EXPECT_EQ(result.reason.empty(), c.read_only) << name;
    if (!std::filesystem::is_directory(path)) {
      EXPECT_EQ(TempDir::read(path), before) << name;
    }
    EXPECT_EQ(std::filesystem::is_symlink(path), c.link) << name;
    if (!std::filesystem::is_directory(backup)) {
      EXPECT_EQ(TempDir::read(backup), earlier_backup) << name;
    }
    if (!c.in_the_way.empty()) {
      EXPECT_TRUE(std::filesystem::is_directory(dir.file(c.in_the_way) / "inside")) << name;
    }
    for (const std::wstring& temporary : {kPinned.temporary, kPinned.backup_temporary}) {
      if (c.in_the_way != temporary) {
        EXPECT_FALSE(std::filesystem::exists(dir.file(temporary)))
            << name << " " << std::filesystem::path(temporary);
      }
    }
  }
}

TEST_F(SettingsFileTest, AFileWithAnotherNameKeepsItsAttributes) {
  namespace fs = std::filesystem;
  const fs::path elsewhere = dir_.file("somebody-else's");
  for (const fs::path linked : {kPinned.backup, kPinned.temporary, kPinned.backup_temporary}) {
    fs::remove(dir_.file(linked));
    fs::remove(elsewhere);
    TempDir::write(path_, "com=COM3\r\nport=9600\r\n");
    TempDir::write(elsewhere, "not ours");
    fs::permissions(elsewhere, fs::perms::all, fs::perm_options::remove);
    fs::create_hard_link(elsewhere, dir_.file(linked));
    const PinResult result = pin_in(dir_.path(), {L"COM5", 115200});
    // Replaced or removed by its name alone, or the pin refused; never made writable.
    EXPECT_EQ(fs::status(elsewhere).permissions() & fs::perms::owner_write, fs::perms::none)
        << linked;
    EXPECT_EQ(TempDir::read(elsewhere), "not ours") << linked;
    EXPECT_EQ(TempDir::read(path_),
              result.ok() ? "com=COM5\r\nport=115200\r\n" : "com=COM3\r\nport=9600\r\n")
        << linked;
    fs::permissions(elsewhere, fs::perms::owner_write, fs::perm_options::add);
  }
}

TEST_F(SettingsFileTest, PinLandsInTheHeldFolderWhateverTakesItsNameMeanwhile) {
  namespace fs = std::filesystem;
  const fs::path held = dir_.file("settings");
  const fs::path moved = dir_.file("moved");
  const fs::path other = dir_.file("other");
  fs::create_directories(held);
  fs::create_directories(other);
  FileResult opened;
  const std::unique_ptr<Folder> folder = Folder::open(held.wstring(), opened);
  ASSERT_TRUE(folder) << opened.reason.size();
  // Windows keeps a held folder from being renamed; elsewhere it moves, and a link takes its
  // place.
  std::error_code refused;
  fs::rename(held, moved, refused);
  if (!refused) fs::create_directory_symlink(other, held, refused);  // Wine makes no links
  const PinResult result = pin_settings_file(*folder, kSettingsFileName, {L"COM5", 115200});
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(TempDir::read((fs::exists(moved) ? moved : held) / kSettingsFileName),
            "com=COM5\r\nport=115200\r\n");
  EXPECT_TRUE(fs::is_empty(other));
}

}  // namespace
}  // namespace kestrelon
