// The Win32 shell services against the real system (run under Wine): the tray indicator's
// window and text box, the tray icon file stored in the program, the single-instance guard,
// the settings-file services and the text conversions.
#include <windows.h>
// windows.h first: richedit.h builds on it.
#include <richedit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/file_system.h"
#include "app/icon_directory.h"
#include "app/instance_guard.h"
#include "app/message_boxes.h"
#include "app/nt_file_win32.h"
#include "app/settings_file.h"
#include "app/tray.h"
#include "common/text.h"
#include "common/unique_handle_win32.h"
#include "resources/resource_ids.h"

namespace kestrelon {
namespace {

std::wstring class_name(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, 128);
  return name;
}

std::wstring window_text(HWND window) {
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  return text;
}

BOOL CALLBACK collect_window(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

std::vector<HWND> thread_windows() {
  std::vector<HWND> found;
  EnumThreadWindows(GetCurrentThreadId(), collect_window, reinterpret_cast<LPARAM>(&found));
  return found;
}

// Windows as their creator asked for them (a rich-edit control later drops the scroll-bar
// styles it does not need yet).
struct Created {
  std::wstring window_class;
  LONG style;
  int x, y, width, height;
  HWND parent;
};
std::vector<Created>* g_created = nullptr;

LRESULT CALLBACK record_creation(int code, WPARAM window, LPARAM info) {
  if (code == HCBT_CREATEWND && g_created != nullptr) {
    const CREATESTRUCTW* c = reinterpret_cast<CBT_CREATEWNDW*>(info)->lpcs;
    const std::wstring name = HIWORD(reinterpret_cast<ULONG_PTR>(c->lpszClass))
                                  ? c->lpszClass
                                  : class_name(reinterpret_cast<HWND>(window));
    g_created->push_back({name, c->style, c->x, c->y, c->cx, c->cy, c->hwndParent});
  }
  return CallNextHookEx(nullptr, code, window, info);
}

class CreationRecorder {
 public:
  CreationRecorder() {
    g_created = &created;
    hook_ = SetWindowsHookExW(WH_CBT, record_creation, nullptr, GetCurrentThreadId());
  }
  ~CreationRecorder() {
    UnhookWindowsHookEx(hook_);
    g_created = nullptr;
  }
  std::vector<Created> created;

 private:
  HHOOK hook_;
};

HWND find_main_window() {
  for (HWND window : thread_windows()) {
    if (window_text(window) == L"Kestrelon" && GetParent(window) == nullptr) return window;
  }
  return nullptr;
}

TEST(Tray, BuildsAHiddenWindowWithAReadOnlyTextBoxAndReleasesEverything) {
  CreationRecorder recorder;
  auto tray = make_tray_indicator();
  HWND window = find_main_window();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));

  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_VISIBLE));
  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(client.right - client.left, 640);
  EXPECT_EQ(client.bottom - client.top, 480);
  RECT frame{};
  GetWindowRect(window, &frame);
  EXPECT_EQ(frame.left, 0);
  EXPECT_EQ(frame.top, 0);
  EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), ULONG_PTR{COLOR_BTNFACE + 1});

  HWND text_box = GetWindow(window, GW_CHILD);
  ASSERT_NE(text_box, nullptr);
  const std::wstring text_class = class_name(text_box);
  // The newest rich-edit control the system has; this system has all three.
  EXPECT_TRUE(_wcsicmp(text_class.c_str(), L"RICHEDIT50W") == 0) << text_class.c_str();
  const Created* main_asked = nullptr;
  const Created* box_asked = nullptr;
  for (const Created& c : recorder.created) {
    if (c.parent == nullptr && _wcsicmp(c.window_class.c_str(), class_name(window).c_str()) == 0)
      main_asked = &c;
    if (c.parent == window) {
      EXPECT_EQ(box_asked, nullptr) << "one child window only";
      box_asked = &c;
    }
  }
  ASSERT_NE(main_asked, nullptr);
  ASSERT_NE(box_asked, nullptr);
  const Created& asked = *box_asked;
  EXPECT_EQ(_wcsicmp(asked.window_class.c_str(), text_class.c_str()), 0);
  for (LONG flag : {LONG{WS_CHILD}, LONG{ES_MULTILINE}, LONG{ES_READONLY}, LONG{WS_VSCROLL},
                    LONG{WS_HSCROLL}}) {
    EXPECT_EQ(asked.style & flag, flag) << std::hex << flag;
  }
  EXPECT_FALSE(asked.style & ES_AUTOHSCROLL);  // word-wrapped
  EXPECT_FALSE(main_asked->style & WS_VISIBLE) << "created hidden";
  EXPECT_EQ(GetWindowLongW(text_box, GWL_STYLE) & ES_READONLY, ES_READONLY);
  RECT box{};
  GetWindowRect(text_box, &box);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&box), 2);
  EXPECT_EQ(box.left, 10);
  EXPECT_EQ(box.top, 10);
  EXPECT_EQ(box.right - box.left, 620);
  EXPECT_EQ(box.bottom - box.top, 460);
  EXPECT_GE(SendMessageW(text_box, EM_GETLIMITTEXT, 0, 0), LRESULT{0x40000000});
  EXPECT_EQ(GetWindowTextLengthW(text_box), 0);

  WNDCLASSEXW registered{};
  registered.cbSize = sizeof registered;
  const std::wstring main_class = class_name(window);
  EXPECT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), main_class.c_str(), &registered));

  tray->remove_icon();
  tray->destroy();
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(IsWindow(text_box));
  EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), main_class.c_str(), &registered));
  tray->destroy();  // a second time finds nothing left to release
  tray.reset();
  EXPECT_EQ(find_main_window(), nullptr);
}

TEST(Tray, DestructorAloneReleasesEverythingAndAllowsANewTray) {
  for (int round = 0; round < 2; ++round) {
    auto tray = make_tray_indicator();
    HWND window = find_main_window();
    ASSERT_NE(window, nullptr) << "round " << round;
    tray.reset();
    EXPECT_FALSE(IsWindow(window));
  }
}

TEST(TrayIconFile, StoredInTheProgramAndMadeIntoA64PixelIcon) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDR_TRAY_ICON), MAKEINTRESOURCEW(10));
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(instance, found)));
  const auto image = pick_icon_image(bytes, SizeofResource(instance, found));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 64);
  EXPECT_EQ(image->height, 64);
  EXPECT_EQ(image->bits_per_pixel, 32);
  HICON icon = CreateIconFromResourceEx(const_cast<PBYTE>(image->data), image->size, TRUE,
                                        0x00030000, image->width, image->height, LR_DEFAULTCOLOR);
  ASSERT_NE(icon, nullptr);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon, &info));
  BITMAP colour{};
  GetObjectW(info.hbmColor, sizeof colour, &colour);
  EXPECT_EQ(colour.bmWidth, 64);
  EXPECT_EQ(colour.bmHeight, 64);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  DestroyIcon(icon);
}

// What the box looked like when the answering thread found it.
struct SeenBox {
  bool found = false;
  HWND owner = nullptr;
  bool has_icon = false;
  std::wstring text;
};

// The box's icon control is there in every box; it holds an icon only when one was asked for.
BOOL CALLBACK note_icon(HWND child, LPARAM seen) {
  if (class_name(child) == L"Static" &&
      (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
      SendMessageW(child, STM_GETICON, 0, 0) != 0 && IsWindowVisible(child)) {
    reinterpret_cast<SeenBox*>(seen)->has_icon = true;
  }
  return TRUE;
}

// Finds the box titled "Eroare" from another thread and presses `button` on it.
std::thread answer_box(int button, SeenBox& seen) {
  return std::thread([button, &seen] {
    for (int tries = 0; tries < 400 && !seen.found; ++tries) {
      HWND box = FindWindowW(L"#32770", kErrorTitle);
      if (box == nullptr) {
        Sleep(25);
        continue;
      }
      seen.found = true;
      seen.owner = GetWindow(box, GW_OWNER);
      EnumChildWindows(box, note_icon, reinterpret_cast<LPARAM>(&seen));
      wchar_t text[256] = {};
      GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message text's static control
      seen.text = text;
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }
  });
}

TEST(MessageBoxes, AnswersAreThoseOfTheButtonsAndNoIconIsShown) {
  auto boxes = make_system_message_boxes();
  struct Case {
    int button;
    Answer expected;
  } cases[] = {{IDYES, Answer::yes}, {IDNO, Answer::no}};
  for (const auto& c : cases) {
    SeenBox seen;
    std::thread answering = answer_box(c.button, seen);
    const Answer answer = boxes->ask_yes_no(kErrorTitle, kNoDeviceText);
    answering.join();
    ASSERT_TRUE(seen.found) << "no box titled Eroare";
    EXPECT_EQ(answer, c.expected);
    EXPECT_FALSE(seen.has_icon);
    EXPECT_EQ(seen.owner, nullptr) << "nothing of ours was in the foreground";
  }
  SeenBox seen;
  std::thread answering = answer_box(IDOK, seen);
  boxes->show_plain(kErrorTitle, kBadPortSettingsText);
  answering.join();
  ASSERT_TRUE(seen.found);
  EXPECT_FALSE(seen.has_icon);
}

TEST(MessageBoxes, OwnedByOurForegroundWindow) {
  HWND window = CreateWindowExW(0, L"STATIC", L"foreground", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  SetForegroundWindow(window);
  if (GetForegroundWindow() != window) {
    DestroyWindow(window);
    GTEST_SKIP() << "this desktop does not hand the foreground to a test window";
  }
  SeenBox seen;
  std::thread answering = answer_box(IDNO, seen);
  EXPECT_EQ(make_system_message_boxes()->ask_yes_no(kErrorTitle, kNoDeviceText), Answer::no);
  answering.join();
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.owner, window);
  DestroyWindow(window);
}

// A copy started as administrator makes the guard with a security that a copy started
// normally may not even open: the second sees a running copy all the same. (Before the test
// below, whose guard lives to the end of the process.)
TEST(InstanceGuard, AGuardThatMayNotBeOpenedIsAnotherCopyToo) {
  SECURITY_DESCRIPTOR denying_everyone;
  ACL no_entries;
  InitializeSecurityDescriptor(&denying_everyone, SECURITY_DESCRIPTOR_REVISION);
  InitializeAcl(&no_entries, sizeof no_entries, ACL_REVISION);
  SetSecurityDescriptorDacl(&denying_everyone, TRUE, &no_entries, FALSE);
  SECURITY_ATTRIBUTES security{sizeof security, &denying_everyone, FALSE};
  const UniqueHandle elevated_copy(CreateMutexW(&security, TRUE, kInstanceMutexName));
  ASSERT_TRUE(elevated_copy.valid());
  ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CreateMutexW(nullptr, TRUE, kInstanceMutexName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  {
    InstanceGuard second;
    EXPECT_TRUE(second.another_copy_running());
  }
}

TEST(InstanceGuard, ASecondGuardSeesTheFirstAndTheNextLaunchPasses) {
  ASSERT_FALSE(UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName)).valid())
      << "another copy holds the guard already";
  InstanceGuard first;
  EXPECT_FALSE(first.another_copy_running());
  {
    InstanceGuard second;
    EXPECT_TRUE(second.another_copy_running());
  }
  EXPECT_TRUE(UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName)).valid())
      << "the guard lives until the process ends";
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"kestrelon-files-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir_.c_str(), nullptr);
  }
  void TearDown() override {
    DeleteFileW(path(kSettingsFileName).c_str());
    DeleteFileW(path(L"created.ini").c_str());
    RemoveDirectoryW(path(L"sub").c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  std::wstring path(const wchar_t* name) const { return dir_ + L"\\" + name; }
  static std::string read_all(const std::wstring& name) {
    auto file = ReadableFile::open(name);
    if (!file) return "<no file>";
    std::string all;
    char buffer[7];
    for (int64_t n; (n = file->read(buffer, sizeof buffer)) > 0;) all.append(buffer, size_t(n));
    return all;
  }
  std::wstring dir_;
};

TEST_F(Files, SizeTellsMissingDirectoryAndBytes) {
  EXPECT_EQ(file_size(path(kSettingsFileName)), kFileMissing);
  CreateDirectoryW(path(L"sub").c_str(), nullptr);
  EXPECT_EQ(file_size(path(L"sub")), kFileIsDirectory);
  write_new_file(path(kSettingsFileName), "");
  EXPECT_EQ(file_size(path(kSettingsFileName)), 0);
  const std::string lines = ";com=COM1\r\n;port=115200\r\n";
  write_new_file(path(kSettingsFileName), lines);
  EXPECT_EQ(file_size(path(kSettingsFileName)), int64_t(lines.size()));
}

TEST_F(Files, NewFileReplacesOldContentAndReadsBackWhole) {
  write_new_file(path(kSettingsFileName), std::string(5000, 'x'));
  write_new_file(path(kSettingsFileName), "COM=COM3\r\nPORT=9600\r\n");
  EXPECT_EQ(read_all(path(kSettingsFileName)), "COM=COM3\r\nPORT=9600\r\n");
}

TEST_F(Files, NewFileWorksWhileTheFileIsHeldOpenForReading) {
  write_new_file(path(kSettingsFileName), "old content");
  auto held = ReadableFile::open(path(kSettingsFileName));
  ASSERT_NE(held, nullptr);
  write_new_file(path(kSettingsFileName), "new");
  char buffer[32];
  EXPECT_EQ(held->read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "new");
}

TEST_F(Files, OpeningForReadingCreatesAnEmptyFile) {
  EXPECT_EQ(read_all(path(L"created.ini")), "");
  EXPECT_EQ(file_size(path(L"created.ini")), 0);
}

TEST_F(Files, OpeningADirectoryForReadingFails) {
  CreateDirectoryW(path(L"sub").c_str(), nullptr);
  EXPECT_EQ(ReadableFile::open(path(L"sub")), nullptr);
}

TEST_F(Files, NativeOpensStayInsideTheFolderAndItsListingHasEveryName) {
  write_new_file(path(kSettingsFileName), "x");
  CreateDirectoryW(path(L"sub").c_str(), nullptr);
  const nt::Opened folder =
      nt::open_relative(nullptr, dir_, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ,
                        nt::Disposition::open_existing, nt::Kind::folder);
  ASSERT_TRUE(folder.handle.valid()) << folder.error;
  std::vector<std::wstring> names;
  ASSERT_TRUE(nt::succeeded(nt::list_names(folder.handle.get(), names)));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{kSettingsFileName, L"sub"}));
  // A name that would climb out of the folder or into another is refused, never created.
  for (const wchar_t* name : {L"..", L"..\\created.ini", L"sub\\created.ini", L"sub/created.ini"}) {
    EXPECT_FALSE(nt::open_relative(folder.handle.get(), name, GENERIC_WRITE, 0,
                                   nt::Disposition::open_or_create, nt::Kind::file)
                     .handle.valid());
  }
  EXPECT_EQ(GetFileAttributesW(path(L"sub\\created.ini").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(nt::open_relative(folder.handle.get(), L"created.ini", GENERIC_WRITE, 0,
                                nt::Disposition::open_or_create, nt::Kind::file)
                  .created);
}

TEST(Text, UpperCasingIsLocaleAwareAndKeepsLength) {
  struct Case {
    std::wstring in, out;
  } cases[] = {
      {L"", L""},
      {L"com=com3", L"COM=COM3"},
      {L"port", L"PORT"},
      {L"\u0103\u00ee\u0219\u021b\u00e2", L"\u0102\u00ce\u0218\u021a\u00c2"},  // Romanian letters
      {std::wstring(L"a\0b", 3), std::wstring(L"A\0B", 3)},
      {L"\t1 $ff", L"\t1 $FF"},
  };
  for (const auto& c : cases) EXPECT_EQ(upper_case(c.in), c.out);
}

TEST(Text, AnsiBytesBelow0x80AreTheirOwnCharacters) {
  std::string bytes;
  std::wstring text;
  for (int c = 1; c < 0x80; ++c) {
    bytes.push_back(char(c));
    text.push_back(wchar_t(c));
  }
  EXPECT_EQ(ansi_to_wide(bytes), text);
  EXPECT_EQ(wide_to_ansi(text), bytes);
  EXPECT_EQ(ansi_to_wide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(wide_to_ansi(std::wstring(L"\x18", 1)), "\x18");
  EXPECT_EQ(ansi_to_wide(""), L"");
  EXPECT_EQ(wide_to_ansi(L""), "");
}

TEST(Text, CharactersTheCodePageLacksBecomeItsDefaultCharacter) {
  CPINFO info{};
  ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
  if (info.MaxCharSize != 1) GTEST_SKIP() << "multi-byte ANSI code page";
  // U+4E00 exists in no single-byte code page.
  const std::string bytes = wide_to_ansi(L"A\u4e00B");
  ASSERT_EQ(bytes.size(), 3u);
  EXPECT_EQ(bytes[0], 'A');
  EXPECT_EQ(uint8_t(bytes[1]), info.DefaultChar[0]);
  EXPECT_EQ(bytes[2], 'B');
  // Every byte of a single-byte code page maps to one character and back.
  if (GetACP() == 1252) {
    EXPECT_EQ(ansi_to_wide("\xE9\x80"), L"\u00e9\u20ac");
    EXPECT_EQ(wide_to_ansi(L"\u00e9\u20ac"), "\xE9\x80");
  }
}

}  // namespace
}  // namespace kestrelon
