// What a person sees of a program's windows, for the wizard walks: every visible top-level window
// whose title begins with the one given (the setup's pages and its boxes share it), with each
// control in it, its place on the screen, whether it can be used, and its text. A test reads the
// page it is on, the values its fields hold and the words of a box from here, and clicks where a
// control is.
//
// Usage (under Wine, in the prefix and on the display of the program looked at):
//   window_reader.exe TITLE
// Prints UTF-8, a line each, fields separated by a tab:
//   window HWND X Y WIDTH HEIGHT TITLE
//   control HWND CLASS ID ENABLED CHECKED X Y WIDTH HEIGHT TEXT
//   item SELECTED TEXT      (each line of a list box, after it)
//   focus HWND              (the control that takes the keys, after the window's controls)
// where CHECKED is 1 for a ticked box (else 0), SELECTED 1 for the line selected, and TEXT has
// its line breaks written as \n.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr UINT kAnswerTimeoutMs = 2000;  // a hung program must not hang the test
constexpr int kMaxText = 32768;

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

// One line: tabs and line breaks written so that the line stays one.
std::string one_line(const std::wstring& text) {
  std::string out;
  for (const char c : utf8(text)) {
    if (c == '\r') continue;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

// The text another process's window holds, asked for with a bound on the wait.
std::wstring text_of(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs,
                           &length)) {
    return {};
  }
  std::wstring text(std::min<size_t>(length, kMaxText) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &copied)) {
    return {};
  }
  text.resize(std::min<size_t>(copied, text.size() - 1));
  return text;
}

std::string rectangle(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  char out[64];
  std::snprintf(out, sizeof out, "%ld\t%ld\t%ld\t%ld", r.left, r.top, r.right - r.left,
                r.bottom - r.top);
  return out;
}

// The lines of a list box.
void print_items(HWND list) {
  DWORD_PTR count = 0;
  DWORD_PTR selected = 0;
  SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &count);
  SendMessageTimeoutW(list, LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &selected);
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &length);
    std::wstring text(std::min<size_t>(length, kMaxText) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (length <= kMaxText) {
      SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()),
                          SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &copied);
    }
    text.resize(std::min<size_t>(copied, text.size() - 1));
    std::printf("item\t%d\t%s\n", i == selected ? 1 : 0, one_line(text).c_str());
  }
}

BOOL CALLBACK print_control(HWND control, LPARAM) {
  if (!IsWindowVisible(control)) return TRUE;
  wchar_t class_name[64] = L"";
  GetClassNameW(control, class_name, 64);
  DWORD_PTR checked = 0;
  if (lstrcmpiW(class_name, L"Button") == 0) {
    SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &checked);
  }
  std::printf("control\t%lu\t%s\t%d\t%d\t%d\t%s\t%s\n",
              static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(control)),
              utf8(class_name).c_str(), GetDlgCtrlID(control), IsWindowEnabled(control) ? 1 : 0,
              checked == BST_CHECKED ? 1 : 0, rectangle(control).c_str(),
              one_line(text_of(control)).c_str());
  if (lstrcmpiW(class_name, L"ListBox") == 0) print_items(control);
  return TRUE;
}

BOOL CALLBACK print_window(HWND window, LPARAM title) {
  const std::wstring_view wanted = reinterpret_cast<const wchar_t*>(title);
  if (!IsWindowVisible(window) || !text_of(window).starts_with(wanted)) return TRUE;
  std::printf("window\t%lu\t%s\t%s\n",
              static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)),
              rectangle(window).c_str(), one_line(text_of(window)).c_str());
  EnumChildWindows(window, print_control, 0);
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof(thread);
  if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread)) {
    std::printf("focus\t%lu\n",
                static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(thread.hwndFocus)));
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: window_reader.exe TITLE\n", stderr);
    return 2;
  }
  EnumWindows(print_window, reinterpret_cast<LPARAM>(argv[1]));
  std::fflush(stdout);
  return 0;
}
