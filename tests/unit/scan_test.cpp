#include "app/scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/file_system.h"
#include "unit/fake_serial_platform.h"
#include "unit/scripted_services.h"
#include "unit/temp_dir.h"

namespace kestrelon {
namespace {

using ::testing::ElementsAre;
using testing::FakeSerialPlatform;
using testing::RecordingTray;
using testing::ScriptedBoxes;
using testing::TempDir;

class ScanTest : public ::testing::Test {
 protected:
  ScanEnd scan(FakeSerialPlatform& platform, ScriptedBoxes& boxes,
               const std::filesystem::path& folder) {
    RunServices services{platform, boxes,
                         [&platform] { return std::make_unique<RecordingTray>(platform.events); },
                         path_.wstring(), folder.wstring()};
    return scan_once(services);
  }
  ScanEnd scan(FakeSerialPlatform& platform, ScriptedBoxes& boxes) {
    return scan(platform, boxes, dir_.path());
  }
  ScanEnd scan() { return scan(platform_, boxes_); }
  // A device that answers only at 9600 and does not identify as VF on a lower port, one that
  // answers at both speeds and does on a higher one.
  static void add_two_devices(FakeSerialPlatform& platform) {
    platform.add_port(L"COM3").responder =
        testing::fiscal_device({.identifier = "AB12345678", .speeds = {9600}});
    platform.add_port(L"COM5").responder = testing::fiscal_device({});
  }
  // Every frame written asks for the identifier: 02 23 <sequence> 60, never the report (22).
  static void expect_only_identification_frames(const FakeSerialPlatform& platform) {
    for (const std::string& write : platform.events_starting("write COM")) {
      const size_t frame = write.find(" 02 23 ");
      if (frame != std::string::npos) {
        EXPECT_EQ(write.substr(frame + 10, 2), "60") << write;
      }
    }
  }

  TempDir dir_;
  std::filesystem::path path_ = dir_.file(kSettingsFileName);
  FakeSerialPlatform platform_;
  ScriptedBoxes boxes_{platform_.events};
};

TEST(ProposedDevice, ThePinnedFiscalDeviceElseTheFirstFiscalOneElseNone) {
  const std::vector<std::wstring> lines = {
      L"COM2 : 9600 : 1 : 64 : AB12345678", L"COM3 : 115200 : 2 : 64 : VF12345678",
      L"COM3 : 9600 : 3 : 64 : VF12345678", L"COM7 : 9600 : 4 : 64 : AB87654321"};
  EXPECT_EQ(proposed_device(lines, {}), 1u);
  EXPECT_EQ(proposed_device(lines, {L"COM3", 9600}), 2u);
  EXPECT_EQ(proposed_device(lines, {L"COM3", 4800}), 1u);  // not found at that speed
  EXPECT_EQ(proposed_device(lines, {L"COM7", 9600}), 1u);  // never asked for a report
  EXPECT_EQ(proposed_device({lines[0], lines[3]}, {}), std::nullopt);
  EXPECT_EQ(proposed_device({}, {L"COM3", 9600}), std::nullopt);
}

TEST_F(ScanTest, QuestionListsEveryDeviceAndNamesTheOneTheRunWouldUse) {
  add_two_devices(platform_);
  EXPECT_EQ(scan(), ScanEnd::not_pinned);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].first, L"Kestrelon");
  // Diacritics in their comma-below forms (U+0219, U+021B).
  EXPECT_EQ(boxes_.shown[0].second,
            L"Aparate g\u0103site:\n"
            L"COM3, 9600 bi\u021bi/s, AB12345678\n"
            L"COM5, 115200 bi\u021bi/s, VF12345678\n"
            L"COM5, 9600 bi\u021bi/s, VF12345678\n"
            L"\n"
            L"Aparatul ales: COM5, 115200 bi\u021bi/s, VF12345678\n"
            L"\n"
            L"Dori\u021bi s\u0103 salva\u021bi portul \u0219i viteza lui \u00een\n" +
                path_.wstring() +
                L"?\n\nTot fi\u0219ierul se \u00eenlocuie\u0219te cu cele dou\u0103 "
                L"r\u00e2nduri com= \u0219i port=; cel de acum, dac\u0103 exist\u0103, se "
                L"p\u0103streaz\u0103 ca Kestrelon.ini.bak.");
}

TEST_F(ScanTest, QuestionWarnsWhenTheChosenDeviceWouldNeverBeAskedForTheReport) {
  platform_.add_port(L"COM3").responder =
      testing::fiscal_device({.identifier = "AB12345678", .speeds = {9600}});
  EXPECT_EQ(scan(), ScanEnd::not_pinned);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_THAT(
      boxes_.shown[0].second,
      ::testing::HasSubstr(L"Aparatul ales: COM3, 9600 bi\u021bi/s, AB12345678\n\n"
                           L"Identificatorul aparatului ales nu \u00eencepe cu \u201eVF\u201d"));
}

TEST_F(ScanTest, AnswerDecidesWhatIsWrittenAndNoReportIsEverAskedFor) {
  struct Case {
    Answer answer;
    ScanEnd end;
    int exit_code;
    const char* file;  // nullptr: no file
    const char* last_box;
    bool through_link = false;  // the current folder is a link to the settings folder
  } cases[] = {
      {Answer::yes, ScanEnd::pinned, 0, "com=COM5\r\nport=115200\r\n", "box plain"},
      {Answer::no, ScanEnd::not_pinned, 0, nullptr, "box yes/no"},
      // Never written through: the user is told why, and asked nothing.
      {Answer::yes, ScanEnd::pin_failed, 1, nullptr, "box plain", true},
  };
  const std::filesystem::path link = dir_.file("link");
  std::error_code unsupported;  // Wine makes no symbolic links
  std::filesystem::create_directory_symlink(dir_.path(), link, unsupported);
  for (const Case& c : cases) {
    if (c.through_link && unsupported) continue;
    std::filesystem::remove(path_);
    FakeSerialPlatform platform;
    add_two_devices(platform);
    ScriptedBoxes boxes(platform.events);
    boxes.answers = {c.answer};
    const ScanEnd end = scan(platform, boxes, c.through_link ? link : dir_.path());
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(scan_exit_code(end), c.exit_code);
    EXPECT_EQ(std::filesystem::exists(path_), c.file != nullptr);
    if (c.file) {
      EXPECT_EQ(TempDir::read(path_), c.file);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.file(pin_files(kSettingsFileName).backup)));
    expect_only_identification_frames(platform);
    // Only the scan's trials: both speeds of both ports, each closed after its trial.
    EXPECT_EQ(platform.port(L"COM3").times_opened, 2);
    EXPECT_EQ(platform.port(L"COM5").times_opened, 2);
    EXPECT_EQ(platform.events.front(), "tray shown");
    EXPECT_THAT(std::vector<std::string>(platform.events.end() - 3, platform.events.end()),
                ElementsAre(c.last_box, "tray icon removed", "tray destroyed"));
    if (c.through_link) {
      ASSERT_EQ(boxes.shown.size(), 1u);
      EXPECT_EQ(boxes.shown[0].first, L"Eroare");
      EXPECT_EQ(boxes.shown[0].second,
                L"Folderul curent\n" + link.wstring() +
                    L"\neste o leg\u0103tur\u0103 c\u0103tre alt loc (leg\u0103tur\u0103 "
                    L"simbolic\u0103, jonc\u021biune sau punct de montare).\n\nNu s-a scris "
                    L"nimic. Porni\u021bi KestrelonScan chiar din folderul de set\u0103ri, nu "
                    L"printr-o leg\u0103tur\u0103 c\u0103tre el.");
    }
    if (c.file) {
      // What was written, and where, is confirmed.
      ASSERT_EQ(boxes.shown.size(), 2u);
      EXPECT_EQ(boxes.shown[1].first, L"Kestrelon");
      EXPECT_EQ(boxes.shown[1].second, L"Portul \u0219i viteza au fost scrise \u00een\n" +
                                           path_.wstring() +
                                           L":\n\ncom=COM5\nport=115200\n\nKestrelon.exe pornit "
                                           L"\u00een acest folder folose\u0219te de acum doar "
                                           L"acest port.");
    }
  }
}

TEST_F(ScanTest, PinOfTheSettingsAlreadyThereSaysNothingChanged) {
  add_two_devices(platform_);
  TempDir::write(path_, "com=COM5\r\nport=115200\r\n");
  boxes_.answers = {Answer::yes};
  EXPECT_EQ(scan(), ScanEnd::pinned);
  ASSERT_EQ(boxes_.shown.size(), 2u);
  EXPECT_THAT(boxes_.shown[1].second,
              ::testing::AllOf(::testing::HasSubstr(L"nu s-a scris nimic"),
                               ::testing::HasSubstr(L"\u00een continuare"),
                               ::testing::Not(::testing::HasSubstr(L"de acum"))));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("Kestrelon.ini.bak")));
}

TEST_F(ScanTest, NothingFoundAndNoWritesNothing) {
  platform_.add_port(L"COM4");  // opens, never answers
  boxes_.answers = {Answer::yes, Answer::no};
  const ScanEnd end = scan();
  EXPECT_EQ(end, ScanEnd::user_gave_up);
  EXPECT_EQ(scan_exit_code(end), 1);
  ASSERT_EQ(boxes_.shown.size(), 2u);
  for (const auto& [title, text] : boxes_.shown) {
    EXPECT_EQ(title, L"Eroare");
    EXPECT_EQ(text, kScanNoDeviceText);  // its own question, not Kestrelon.exe's
  }
  EXPECT_EQ(platform_.port(L"COM4").times_opened, 4);  // two scans, two speeds each
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(ScanTest, FileThatCannotBeWrittenIsReportedWithItsPathAndReason) {
  add_two_devices(platform_);
  std::filesystem::create_directories(path_ / "inside");
  boxes_.answers = {Answer::yes};
  const ScanEnd end = scan();
  EXPECT_EQ(end, ScanEnd::pin_failed);
  EXPECT_EQ(scan_exit_code(end), 1);
  ASSERT_EQ(boxes_.shown.size(), 2u);
  EXPECT_EQ(boxes_.shown[1].first, L"Eroare");
  FileResult opened;
  const std::unique_ptr<Folder> folder = Folder::open(dir_.path().wstring(), opened);
  ASSERT_TRUE(folder);
  const PinResult failure = pin_settings_file(*folder, kSettingsFileName, {L"COM5", 115200});
  EXPECT_EQ(boxes_.shown[1].second, L"Fi\u0219ierul\n" + path_.wstring() +
                                        L"\nnu a putut fi copiat.\n\n" + failure.reason +
                                        L"\n\nPortul nu a fost salvat: Kestrelon.ini \u0219i "
                                        L"Kestrelon.ini.bak au r\u0103mas cum erau.");
  EXPECT_NE(failure.reason, L"");
  EXPECT_TRUE(std::filesystem::is_directory(path_ / "inside"));
}

TEST_F(ScanTest, AnotherCopyRunningIsSaidAndEndsWithItsOwnExitCode) {
  const ScanEnd end = refuse_beside_another_copy(boxes_);
  EXPECT_EQ(scan_exit_code(end), 3);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].first, L"Kestrelon");
  EXPECT_EQ(boxes_.shown[0].second,
            L"Kestrelon sau KestrelonScan ruleaz\u0103 deja.\n\u00cencerca\u021bi din nou "
            L"dup\u0103 ce se termin\u0103.");
  EXPECT_TRUE(platform_.events_starting("open").empty());
}

}  // namespace
}  // namespace kestrelon
