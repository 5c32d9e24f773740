// Modal message boxes, owned by the foreground window only when it is one of ours.
#include <windows.h>

#include "app/message_boxes.h"

namespace kestrelon {
namespace {

HWND owner_window() {
  HWND foreground = GetForegroundWindow();
  if (foreground == nullptr) return nullptr;
  DWORD process = 0;
  GetWindowThreadProcessId(foreground, &process);
  return process == GetCurrentProcessId() ? foreground : nullptr;
}

class Win32MessageBoxes final : public MessageBoxes {
 public:
  void show_plain(const std::wstring& title, const std::wstring& text) override {
    MessageBoxW(owner_window(), text.c_str(), title.c_str(), MB_OK);
  }

  Answer ask_yes_no(const std::wstring& title, const std::wstring& text) override {
    const int answer = MessageBoxW(owner_window(), text.c_str(), title.c_str(), MB_YESNO);
    // A box that could not be shown (0) must not start another scan nobody can stop.
    return answer == IDYES ? Answer::yes : Answer::no;
  }
};

}  // namespace

std::unique_ptr<MessageBoxes> make_system_message_boxes() {
  return std::make_unique<Win32MessageBoxes>();
}

}  // namespace kestrelon
