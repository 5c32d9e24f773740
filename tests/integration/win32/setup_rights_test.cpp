// Who may change a folder, decided from real security descriptors; the settings folder's own
// file, made in a real folder; running copies of a program found among the processes of the
// machine; and the device search beside the programs' guard.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "app/instance_guard.h"
#include "common/unique_handle_win32.h"
#include "setup/device_search_win32.h"
#include "setup/folder_choice_win32.h"
#include "setup/folder_paths_win32.h"
#include "setup/our_files_win32.h"
#include "setup/our_folders_win32.h"
#include "setup/pending_removals_win32.h"
#include "setup/running_copies_win32.h"
#include "setup/security_win32.h"
#include "setup/setup_guard_win32.h"
#include "setup/setup_options_win32.h"
#include "setup/shop_rights.h"

namespace kestrelon::setup {
namespace {

constexpr wchar_t kInstaller[] = L"S-1-5-21-1-2-3-500";
constexpr DWORD kEndLimitMs = 10000;  // for a process ended to be gone
#define TRUSTED_INSTALLER L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

struct Row {
  const wchar_t* folder;
  const wchar_t* sddl;
  bool changeable;
};

const Row kRows[] = {
    {L"C:\\ as Vista and later ship it",
     L"O:" TRUSTED_INSTALLER L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
     L"(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)",
     false},
    {L"Program Files",
     L"O:" TRUSTED_INSTALLER L"D:PAI(A;;FA;;;" TRUSTED_INSTALLER L")(A;CIIO;GA;;"
     L";" TRUSTED_INSTALLER L")(A;;"
     L"0x1301bf;"
     L";;SY)(A;"
     L"OICIIO;"
     L"GA;;;SY)("
     L"A;;"
     L"0x1301bf;"
     L";;BA)(A;"
     L"OICIIO;"
     L"GA;;;BA)"
     L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)"
     L"(A;OICIIO;GXGR;;;S-1-15-2-1)",
     false},
    {L"ProgramData",
     L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
     L"(A;CI;0x116;;;BU)",
     false},
    {L"a folder a user made under C:\\",
     L"O:S-1-5-21-1-2-3-1001D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
     L"(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)",
     true},
    {L"administrators' folder, Users Modify",
     L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", true},
    {L"ours, the program folder", kProgramFolderRights, false},
    {L"ours, the settings folder", kSettingsFolderRights, false},
    {L"ours, owned by a user",
     L"O:S-1-5-21-1-2-3-1001D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200A9;;;BU)", true},
    {L"ours, owned by the installing administrator",
     L"O:S-1-5-21-1-2-3-500D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-500)", false},
    // No list: everyone may do anything. (Wine reads "D:NO_ACCESS_CONTROL" as an empty list.)
    {L"no access list", L"O:BA", true},
    {L"an empty access list", L"O:BAD:P", false},
    // A deny never makes a folder safe: a batch, service or network logon is not INTERACTIVE,
    // and a user may be denied by a group they are not in.
    {L"Everyone denied, then Users allowed delete", L"O:BAD:(D;;SD;;;WD)(A;;SD;;;BU)", true},
    {L"INTERACTIVE denied, then Users allowed delete", L"O:BAD:(D;;SD;;;IU)(A;;SD;;;BU)", true},
    {L"Users allowed delete, then Everyone denied", L"O:BAD:(A;;SD;;;BU)(D;;SD;;;WD)", true},
    {L"one user denied, then Users allowed delete",
     L"O:BAD:(D;;SD;;;S-1-5-21-1-2-3-1001)(A;;SD;;;BU)", true},
    {L"Users: delete what is inside", L"O:BAD:(A;;0x40;;;BU)", true},
    {L"Users: generic all", L"O:BAD:(A;;GA;;;BU)", true},
    {L"one user: change the list", L"O:BAD:(A;;0x40000;;;S-1-5-21-1-2-3-1001)", true},
    {L"creator owner and owner rights, full", L"O:BAD:(A;;FA;;;CO)(A;;FA;;;S-1-3-4)", false},
};

TEST(ShopRights, EachFolderAcceptedOrRefused) {
  for (const Row& row : kRows) {
    SecurityView view;
    ASSERT_TRUE(security_from_sddl(row.sddl, view)) << row.folder;
    EXPECT_EQ(shop_users_can_change(view, kInstaller), row.changeable) << row.folder;
  }
}

// An existing folder or file is taken only when its list gives others no more than ours.
TEST(ShopRights, AnExistingFolderOrFileGivesOthersNoMoreThanOurs) {
  const struct {
    const wchar_t* sddl;
    const wchar_t* ours;
    bool more;
  } found[] = {
      {kProgramFolderRights, kProgramFolderRights, false},
      {kSettingsFolderRights, kSettingsFolderRights, false},
      // An administrator's folder made under C:\ (Authenticated Users Modify).
      {L"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIIOID;SDGXGWGR;;;AU)(A;ID;0x1301bf;;;AU)",
       kSettingsFolderRights, true},
      {L"O:BAD:P(A;;FA;;;BA)(A;;0x1301bf;;;BU)", L"O:BAD:P(A;;FR;;;BU)", true},  // a keeper
  };
  for (const auto& row : found) {
    SecurityView view;
    ASSERT_TRUE(security_from_sddl(row.sddl, view)) << row.sddl;
    EXPECT_EQ(gives_others_more_than(view, row.ours, kInstaller), row.more) << row.sddl;
  }
}

// Names are ours only character for character, but for case.
TEST(ShopRights, NamesCompareByTheirCharacters) {
  EXPECT_TRUE(same_name(L"kestrelon.INI", L"Kestrelon.ini"));
  for (const wchar_t* invisible : {L"\u00AD", L"\u200D", L"\uFEFF"}) {
    EXPECT_FALSE(same_name(std::wstring(L"Kestrelon.ini") + invisible, L"Kestrelon.ini"));
    EXPECT_FALSE(same_name(std::wstring(L"Kestrelon") + invisible + L".ini", L"Kestrelon.ini"));
  }
}

std::wstring temp_folder() {
  wchar_t temp[MAX_PATH];
  return std::wstring(temp, GetTempPathW(MAX_PATH, temp));
}

TEST(ShopRights, ReadsTheOwnerOfAFolderThroughItsHandle) {
  const UniqueHandle folder(CreateFileW(temp_folder().c_str(), READ_CONTROL, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
  ASSERT_TRUE(folder.valid());
  SecurityView view;
  EXPECT_TRUE(read_security(folder.get(), view));
  EXPECT_EQ(view.owner, current_user_sid());
}

// The settings folder's own file is made with its own rights or not at all: never with what the
// folder would give it.
TEST(OurFolders, TheKeeperIsMadeOnlyWithItsOwnRights) {
  const std::wstring folder = temp_folder() + std::to_wstring(GetCurrentProcessId()) + L"-keeper";
  const std::wstring keeper = folder + L"\\Folder-de-setari.txt";
  for (const bool parsed : {false, true}) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    bool made = false;
    FolderFault fault = FolderFault::none;
    {
      const UniqueHandle held(CreateFileW(folder.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      fault = make_keeper(held.get(), made, parsed ? L"O:BAD:(A;;FA;;;BA)" : L"?");
    }
    const bool there = GetFileAttributesW(keeper.c_str()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileW(keeper.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_EQ(fault == FolderFault::none, parsed);
    EXPECT_EQ(made, parsed);
    EXPECT_EQ(there, parsed) << "made only with its own rights";
  }
}

TEST(RunningCopies, SeesACopyRunningFromItsFolderOnly) {
  wchar_t self[MAX_PATH];
  const std::wstring image(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  const std::wstring folder = temp_folder() + std::to_wstring(GetCurrentProcessId()) + L"-copies";
  const std::wstring copy = folder + L"\\copy.exe";
  const std::vector<std::wstring_view> kCopy = {L"copy.exe"};
  const std::wstring own_name = image.substr(image.rfind(L'\\') + 1);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(image.c_str(), copy.c_str(), TRUE));
  EXPECT_FALSE(program_runs_from(image.substr(0, image.rfind(L'\\')), {own_name}))
      << "not this process";

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child = {};
  std::wstring command = L"copy.exe --linger";
  ASSERT_TRUE(CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &child));
  const UniqueHandle process(child.hProcess);
  const UniqueHandle thread(child.hThread);
  bool seen = false;  // the child's image is known once its loader has started
  for (int i = 0; i < 100 && !(seen = program_runs_from(folder, kCopy)); ++i) Sleep(100);
  std::wstring upper = folder + L"\\";
  for (wchar_t& c : upper) c = towupper(c);
  const bool seen_upper = program_runs_from(upper, kCopy);
  const bool seen_shorter = program_runs_from(folder.substr(0, folder.size() - 1), kCopy);
  const bool seen_other_name = program_runs_from(folder, {L"Kestrelon.exe"});
  TerminateProcess(process.get(), 0);
  EXPECT_EQ(WaitForSingleObject(process.get(), kEndLimitMs), WAIT_OBJECT_0);
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(folder.c_str());
  EXPECT_TRUE(seen);
  EXPECT_TRUE(seen_upper);
  EXPECT_FALSE(seen_shorter) << "a folder whose name begins the same";
  EXPECT_FALSE(seen_other_name) << "only the programs named count";
}

// No device here: the search ends at once. The programs' guard, a name anyone may hold, keeps
// it from nothing; nor does it hold that guard.
TEST(DeviceSearch, SearchesWhoeverHoldsTheProgramsGuard) {
  const InstanceGuard name_held;
  DeviceSearch search;
  ASSERT_EQ(search.start(), SearchStart::started);
  EXPECT_TRUE(search.wait(60000));
  EXPECT_EQ(search.result(), L"");
}

// One setup at a time: the name held by another setup refuses the next; made first by somebody
// who is not the Administrators group, it proves nothing and blocks nothing.
TEST(SetupGuard, RefusesBesideAnotherSetupOnly) {
  {
    const SecurityDescriptor users_own(L"O:" + current_user_sid() + L"D:(A;;GA;;;WD)");
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), users_own.get(), FALSE};
    const UniqueHandle squatter(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READONLY,
                                                   0, 1, L"Global\\Kestrelon-Setup"));
    ASSERT_TRUE(squatter.valid());
    EXPECT_EQ(SetupGuard().acquire(), GuardState::not_held);
  }
  SetupGuard setup;
  EXPECT_EQ(setup.acquire(), GuardState::held);
  EXPECT_EQ(SetupGuard().acquire(), GuardState::another_runs);
}

// Each value as a person types it, judged by the one rule it breaks (there is no drive Q: here),
// or taken as it was meant.
TEST(FolderChoice, EachValueRefusedByOneRuleOrTakenAsMeant) {
  constexpr OurFolder kProgram = OurFolder::program, kSettings = OurFolder::settings;
  const SystemFolders system = {L"C:\\Program Files", L"", L"C:\\windows"};
  const std::wstring too_long = L"C:\\" + std::wstring(240, L'a');
  const struct {
    OurFolder kind;
    std::wstring settings, program;
    Refusal refusal;
    std::wstring folder;  // named: the value, or the folder taken
  } rows[] = {
      {kSettings, L"Q:\\Kestrelon", L"", Refusal::drive_missing, L"Q:\\Kestrelon"},
      {kProgram, L"", L"POS\\Kestrelon", Refusal::not_whole, L"POS\\Kestrelon"},
      {kProgram, L"", L"\\\\server\\share\\K", Refusal::not_whole, L"\\\\server\\share\\K"},
      {kSettings, L"C:\\", L"", Refusal::drive_root, L"C:\\"},
      {kSettings, L"C:\\Set%ari%", L"", Refusal::bad_character, L"C:\\Set%ari%"},
      {kProgram, L"", L"C:\\ProgK /S", Refusal::bad_name_end, L"C:\\ProgK \\S"},
      {kSettings, too_long, L"", Refusal::too_long, too_long},
      {kSettings, L"C:\\Program Files\\K", L"", Refusal::in_system_folder, L"C:\\Program Files\\K"},
      {kSettings, L"C:\\K", L"C:\\K\\P", Refusal::with_other_folder, L"C:\\K"},
      {kProgram, L"C:\\K\\S", L"C:\\K", Refusal::with_other_folder, L"C:\\K"},
      {kProgram, L"", L"  C:/POS/Kestrelon ", Refusal::none, L"C:\\POS\\Kestrelon"},
  };
  for (const auto& row : rows) {
    const Verdict verdict = judge_folder(row.kind, {row.settings, row.program, system});
    EXPECT_EQ(verdict.refusal, row.refusal) << row.settings << L" " << row.program;
    EXPECT_EQ(verdict.folder, row.folder);
  }
  // Proposed: never what the page refuses, from the default, "Răsfoire..." on C: or a clash.
  const struct {
    OurFolder kind;
    std::wstring from, settings, program, proposed;
  } proposals[] = {
      {kSettings, L"C:\\Kestrelon", L"", L"C:\\Kestrelon", L"C:\\Kestrelon-Setari"},
      {kSettings, L"C:\\", L"", L"C:\\Program Files\\Kestrelon", L"C:\\Kestrelon"},
      {kProgram, L"C:\\", L"", L"", L"C:\\Kestrelon"},
      {kProgram, L"C:\\Program Files", L"", L"", L"C:\\Program Files\\Kestrelon"},
      {kProgram, L"C:\\windows\\system32", L"", L"", L"C:\\Program Files\\Kestrelon"},
  };
  for (const auto& row : proposals) {
    EXPECT_EQ(proposed_folder(row.kind, row.from, {row.settings, row.program, system}),
              row.proposed);
  }
}

// A time as a person types it; a folder as a fleet's line gives it.
TEST(SetupOptions, TakenAsMeant) {
  EXPECT_EQ(read_setup_options(L"s.exe /ORA=7:05", L"").daily_time, L"07:05");
  EXPECT_EQ(read_setup_options(L"s.exe /ORA=7:60", L"").fault, OptionFault::bad_time);
  EXPECT_EQ(read_setup_options(L"s.exe \"/SETARI= C:/Setari \"", L"").settings_folder,
            L"C:\\Setari");
  EXPECT_EQ(read_setup_options(L"s.exe /D=C:/POS/K", L"").program_folder, L"C:\\POS\\K");
  EXPECT_EQ(read_setup_options(L"s.exe /D=C:\\ProgK /S", L"").fault, OptionFault::program_form);
}

std::wstring short_form(const std::wstring& path) {
  wchar_t short_path[MAX_PATH];
  const DWORD length = GetShortPathNameW(path.c_str(), short_path, MAX_PATH);
  return std::wstring(short_path, length < MAX_PATH ? length : 0);
}

// What is left to remove at the next restart, upper-cased, as one text.
std::wstring removals_at_restart() {
  wchar_t data[4096] = {};
  DWORD size = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    size = sizeof(data) - sizeof(wchar_t);
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
      size = 0;
    }
    RegCloseKey(key);
  }
  std::wstring text(data, size / sizeof(wchar_t));
  for (wchar_t& c : text) c = towupper(c);
  return text;
}

// A removal at restart names the folder as it was spelled then: a short name, a doubled "\\".
TEST(PendingRemovals, CancelledWhateverTheSpelling) {
  const std::wstring folder = temp_folder() + L"Kestrelon program folder";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const std::wstring spelled = short_form(folder);
  const std::wstring short_name = spelled.substr(spelled.rfind(L'\\') + 1);
  ASSERT_NE(short_name, L"Kestrelon program folder");
  const std::wstring doubled = folder.substr(0, 2) + L"\\" + folder.substr(2);
  for (const std::wstring& file : {spelled + L"\\Dezinstalare.exe", doubled}) {
    ASSERT_TRUE(MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) << file;
    EXPECT_TRUE(cancel_pending_removals(full_long_path(folder)));
    const std::wstring left = removals_at_restart();
    EXPECT_EQ(left.find(L"KESTRELON PROGRAM FOLDER"), std::wstring::npos) << file;
    EXPECT_EQ(left.find(short_name), std::wstring::npos) << file;
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
}  // namespace kestrelon::setup

// "--linger": the copy that the test above starts, waiting to be ended.
int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--linger") {
    Sleep(30000);
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
