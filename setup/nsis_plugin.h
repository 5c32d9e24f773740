// What an NSIS plug-in gets from the setup program that calls it: the calling convention and
// the structures of NSIS's manual ("Plug-in DLLs"), written out for this plug-in, and a small
// view of NSIS's stack of strings. Windows only.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace kestrelon::nsis {

// One string on NSIS's stack; `text` is as long as the setup's string size.
struct StackEntry {
  StackEntry* next;
  wchar_t text[1];
};

struct ExecFlags {
  int autoclose;
  int all_user_var;
  int exec_error;  // the error flag that the script's IfErrors reads
  int abort;
  int exec_reboot;
  int reboot_called;
  int cur_insttype;
  int plugin_api_version;
  int silent;
  int instdir_error;
  int rtl;
  int errlvl;
  int alter_reg_view;
  int status_update;
};

enum PluginMessage { kUnload = 0, kGuiUnload = 1 };
using PluginCallback = UINT_PTR (*)(PluginMessage);

struct ExtraParameters {
  ExecFlags* exec_flags;
  int(WINAPI* execute_code_segment)(int, HWND);
  void(WINAPI* validate_filename)(wchar_t*);
  // Keeps the plug-in loaded until the setup ends, and tells it then (NSIS 2.42 and later).
  int(WINAPI* register_plugin_callback)(HMODULE, PluginCallback);
};

// The strings a call takes from NSIS's stack and gives back on it.
class Stack {
 public:
  Stack(int string_size, StackEntry** top) : string_size_(string_size), top_(top) {}
  // The string on top, taken off; nothing when the stack is empty.
  std::optional<std::wstring> pop();
  // Puts TEXT on top, cut to the setup's string size.
  void push(std::wstring_view text);

 private:
  int string_size_;
  StackEntry** top_;
};

}  // namespace kestrelon::nsis

// The signature of every function the plug-in exports to the setup.
#define KESTRELON_NSIS_FUNCTION(name)                                 \
  extern "C" __declspec(dllexport) void __cdecl name(                 \
      [[maybe_unused]] HWND parent, [[maybe_unused]] int string_size, \
      [[maybe_unused]] wchar_t* variables,                            \
      [[maybe_unused]] kestrelon::nsis::StackEntry** stack_top,       \
      [[maybe_unused]] kestrelon::nsis::ExtraParameters* extra)
