// The tray indicator: a hidden window that owns a notification-area icon. Nothing retrieves
// its messages, so the icon and its menu are passive.
#include <windows.h>
// windows.h first: the headers below build on it.
#include <richedit.h>
#include <shellapi.h>

#include <iterator>
#include <string>

#include "app/icon_directory.h"
#include "app/tray.h"
#include "resources/resource_ids.h"

namespace kestrelon {
namespace {

constexpr wchar_t kWindowClass[] = L"KestrelonMainWindow";
constexpr wchar_t kWindowTitle[] = L"Kestrelon";
constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayMessage = WM_APP + 1;  // nothing handles it
constexpr int kClientWidth = 640;
constexpr int kClientHeight = 480;

struct RichEditChoice {
  const wchar_t* library;
  const wchar_t* window_class;
};
constexpr RichEditChoice kRichEdits[] = {
    {L"MSFTEDIT.DLL", L"RICHEDIT50W"},
    {L"RICHED20.DLL", L"RichEdit20W"},
    {L"RICHED32.DLL", L"RichEdit"},
};

// The tray icon file stored in the program, made into one icon.
HICON load_tray_icon_image(HINSTANCE instance) {
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDR_TRAY_ICON), MAKEINTRESOURCEW(10));
  if (found == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(instance, found);
  const DWORD size = SizeofResource(instance, found);
  const auto* bytes = loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
  const auto image = pick_icon_image(bytes, size);
  if (!image) return nullptr;
  return CreateIconFromResourceEx(const_cast<PBYTE>(image->data), image->size, TRUE, 0x00030000,
                                  image->width, image->height, LR_DEFAULTCOLOR);
}

class Win32TrayIndicator final : public TrayIndicator {
 public:
  explicit Win32TrayIndicator(std::wstring_view tooltip)
      : instance_(GetModuleHandleW(nullptr)), tooltip_(tooltip) {
    create_main_window();
    create_text_box();
    icon_ = load_tray_icon_image(instance_);
    add_tray_icon();
    create_menu();
  }
  ~Win32TrayIndicator() override {
    remove_icon();
    destroy();
  }
  Win32TrayIndicator(const Win32TrayIndicator&) = delete;
  Win32TrayIndicator& operator=(const Win32TrayIndicator&) = delete;

  // Whenever the window exists, whatever the add reported: a shell that was slow to answer
  // may have placed the icon all the same.
  void remove_icon() override {
    if (window_ == nullptr) return;
    NOTIFYICONDATAW data = tray_data();
    Shell_NotifyIconW(NIM_DELETE, &data);
  }

  void destroy() override {
    if (window_ != nullptr) DestroyWindow(window_);  // takes the text box with it
    window_ = nullptr;
    text_box_ = nullptr;
    if (icon_ != nullptr) DestroyIcon(icon_);
    icon_ = nullptr;
    if (menu_ != nullptr) DestroyMenu(menu_);
    menu_ = nullptr;
    if (class_registered_) UnregisterClassW(kWindowClass, instance_);
    class_registered_ = false;
    if (rich_edit_library_ != nullptr) FreeLibrary(rich_edit_library_);
    rich_edit_library_ = nullptr;
  }

 private:
  void create_main_window() {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;  // the window acts on nothing
    window_class.hInstance = instance_;
    window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kWindowClass;
    class_registered_ = RegisterClassExW(&window_class) != 0;

    constexpr DWORD kStyle = WS_CAPTION | WS_SYSMENU;
    RECT frame{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, kStyle, FALSE);
    // Created hidden (no WS_VISIBLE) and never shown.
    window_ = CreateWindowExW(0, kWindowClass, kWindowTitle, kStyle, 0, 0, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance_, nullptr);
  }

  void create_text_box() {
    const wchar_t* window_class = nullptr;
    for (const auto& choice : kRichEdits) {
      rich_edit_library_ = LoadLibraryW(choice.library);
      if (rich_edit_library_ != nullptr) {
        window_class = choice.window_class;
        break;
      }
    }
    if (window_class == nullptr || window_ == nullptr) return;
    constexpr DWORD kStyle =
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY;
    text_box_ = CreateWindowExW(0, window_class, L"", kStyle, 10, 10, 620, 460, window_, nullptr,
                                instance_, nullptr);
    if (text_box_ == nullptr) return;
    SendMessageW(text_box_, EM_SETTARGETDEVICE, 0, 0);               // wrap at the window's edge
    SendMessageW(text_box_, EM_EXLIMITTEXT, 0, LPARAM{0x7FFFFFFE});  // as much as it can hold
  }

  NOTIFYICONDATAW tray_data() const {
    NOTIFYICONDATAW data{};
    data.cbSize = NOTIFYICONDATAW_V2_SIZE;  // the form every shell since Windows 2000 knows
    data.hWnd = window_;
    data.uID = kTrayIconId;
    return data;
  }

  void add_tray_icon() {
    if (icon_ == nullptr || window_ == nullptr) return;
    NOTIFYICONDATAW data = tray_data();
    data.uFlags = NIF_MESSAGE | NIF_ICON;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = icon_;
    if (!tooltip_.empty()) {
      data.uFlags |= NIF_TIP;
      tooltip_.copy(data.szTip, std::size(data.szTip) - 1);  // zero-filled: stays terminated
    }
    Shell_NotifyIconW(NIM_ADD, &data);
  }

  void create_menu() {
    menu_ = CreatePopupMenu();
    if (menu_ == nullptr) return;
    AppendMenuW(menu_, MF_STRING, 1, L"Iesi&re\tR");
    AppendMenuW(menu_, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu_, MF_STRING, 2, L"&Kestrelon\tZ");
  }

  HINSTANCE instance_;
  std::wstring tooltip_;
  bool class_registered_ = false;
  HWND window_ = nullptr;
  HMODULE rich_edit_library_ = nullptr;
  HWND text_box_ = nullptr;
  HICON icon_ = nullptr;
  HMENU menu_ = nullptr;
};

}  // namespace

std::unique_ptr<TrayIndicator> make_tray_indicator(std::wstring_view tooltip) {
  return std::make_unique<Win32TrayIndicator>(tooltip);
}

}  // namespace kestrelon
