#include "setup/plugin_support_win32.h"

namespace kestrelon::nsis {

namespace {

HMODULE this_plugin = nullptr;

UINT_PTR on_message(PluginMessage message) {
  // The wizard's window has gone (kGuiUnload) before the setup ends (kUnload): a search stops
  // with the window that shows it.
  stop_search();
  if (message == kUnload) release_folders();
  return 0;
}

void stay_loaded(ExtraParameters* extra) {
  static bool registered = false;
  if (registered || !extra || !extra->register_plugin_callback) return;
  extra->register_plugin_callback(this_plugin, on_message);
  registered = true;
}

}  // namespace

std::optional<std::wstring> Stack::pop() {
  StackEntry* entry = top_ ? *top_ : nullptr;
  if (!entry) return std::nullopt;
  std::wstring text(entry->text);
  *top_ = entry->next;
  GlobalFree(entry);
  return text;
}

void Stack::push(std::wstring_view text) {
  if (!top_ || string_size_ <= 0) return;
  const size_t room = static_cast<size_t>(string_size_);
  auto* entry =
      static_cast<StackEntry*>(GlobalAlloc(GPTR, sizeof(StackEntry) + room * sizeof(wchar_t)));
  if (!entry) return;
  const size_t length = text.size() < room ? text.size() : room - 1;
  text.copy(entry->text, length);
  entry->text[length] = L'\0';
  entry->next = *top_;
  *top_ = entry;
}

Stack begin(int string_size, StackEntry** stack_top, ExtraParameters* extra) {
  stay_loaded(extra);
  return Stack(string_size, stack_top);
}

std::wstring pop_or_empty(Stack& stack) {
  return stack.pop().value_or(L"");
}

}  // namespace kestrelon::nsis

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) kestrelon::nsis::this_plugin = instance;
  return TRUE;
}
