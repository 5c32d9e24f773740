// KestrelonSetup.dll, the setup program's plug-in: the setup's folder and file work, which must
// act only through the folders it checked. The script keeps the pages, the texts, the programs'
// files, the registry, the shortcuts and the task; it calls these functions with their
// arguments pushed last first, and pops their results, first the one named first.
#include <windows.h>

#include <shellapi.h>

#include <memory>
#include <string>

#include "app/file_system_win32.h"
#include "app/settings_file.h"
#include "setup/folder_paths_win32.h"
#include "setup/nsis_plugin.h"
#include "setup/our_folders_win32.h"
#include "setup/running_copies_win32.h"

namespace kestrelon::nsis {

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

}  // namespace kestrelon::nsis

namespace {

using kestrelon::nsis::Stack;
using namespace kestrelon;
using namespace kestrelon::setup;

// State across calls, which NSIS's plug-in interface leaves to the plug-in: its own module, and
// the folders it holds.
HMODULE this_plugin = nullptr;

const std::vector<std::wstring_view> kOurPrograms = {L"Kestrelon.exe", L"KestrelonScan.exe"};

// The folders the install holds from the moment it takes them until the setup ends.
struct Install {
  TakenFolder settings;
  TakenFolder program;
};
std::unique_ptr<Install> install;

UINT_PTR on_message(nsis::PluginMessage message) {
  if (message == nsis::kUnload) install.reset();
  return 0;
}

// Keeps the plug-in, and the folders it holds, loaded until the setup ends.
void stay_loaded(nsis::ExtraParameters* extra) {
  static bool registered = false;
  if (registered || !extra || !extra->register_plugin_callback) return;
  extra->register_plugin_callback(this_plugin, on_message);
  registered = true;
}

std::wstring pop_or_empty(Stack& stack) {
  return stack.pop().value_or(L"");
}

const wchar_t* fault_name(FolderFault fault) {
  switch (fault) {
    case FolderFault::none:
      return L"";
    case FolderFault::link:
      return L"link";
    case FolderFault::users_may_change:
      return L"users_may_change";
    case FolderFault::not_administrators:
      return L"not_administrators";
    case FolderFault::not_ours:
      return L"not_ours";
    case FolderFault::not_written:
      return L"not_written";
    case FolderFault::rights_not_set:
      return L"rights_not_set";
  }
  return L"not_written";
}

const wchar_t* path_fault_name(PathFault fault) {
  return fault == PathFault::form ? L"form" : fault == PathFault::place ? L"place" : L"";
}

// What a folder check gives back: its fault, the folder in its full long form, and the folder
// the fault is about.
void push_check(Stack& stack, const wchar_t* fault, const std::wstring& folder,
                const std::wstring& about) {
  stack.push(about);
  stack.push(folder);
  stack.push(fault);
}

void push_folder_check(Stack& stack, PathFault path_fault, const std::wstring& folder,
                       OurFolder kind) {
  if (path_fault != PathFault::none) {
    push_check(stack, path_fault_name(path_fault), folder, folder);
    return;
  }
  const FolderCheck check = check_folder(folder, kind);
  push_check(stack, fault_name(check.fault), folder, check.folder);
}

const wchar_t* outcome_name(PinOutcome outcome) {
  switch (outcome) {
    case PinOutcome::pinned:
      return L"pinned";
    case PinOutcome::already_pinned:
      return L"already_pinned";
    case PinOutcome::read_only:
      return L"read_only";
    case PinOutcome::not_written:
      return L"not_written";
    case PinOutcome::not_copied:
      return L"not_copied";
    case PinOutcome::not_replaced:
      return L"not_replaced";
    case PinOutcome::old_kept_aside:
      return L"old_kept_aside";
  }
  return L"not_written";
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) this_plugin = instance;
  return TRUE;
}

// $CMDLINE -> the whole command line's length, what follows its " /D=" (NSIS takes /D= off
// $CMDLINE, and a folder with spaces there is never quoted), "1" when a word but the first is
// /S in any case or quoting (NSIS itself takes only /S as written), then how many words there
// are and the words as Windows splits them, the first being the program.
KESTRELON_NSIS_FUNCTION(CommandLine) {
  Stack stack(string_size, stack_top);
  const std::wstring line = pop_or_empty(stack);
  int count = 0;
  wchar_t** words = CommandLineToArgvW(line.c_str(), &count);
  if (!words) count = 0;
  bool silent = false;
  for (int i = count - 1; i >= 0; --i) {
    stack.push(words[i]);
    silent = silent || (i > 0 && CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, words[i], -1,
                                                L"/S", -1) == CSTR_EQUAL);
  }
  if (words) LocalFree(words);
  stack.push(std::to_wstring(count));
  stack.push(silent ? L"1" : L"0");
  const std::wstring whole = GetCommandLineW();
  const size_t folder = whole.find(L" /D=");
  stack.push(folder == std::wstring::npos ? L"" : whole.substr(folder + 4));
  stack.push(std::to_wstring(whole.size()));
}

// PATH -> "1" when it is written as a whole folder path on a drive, else "0"; its full long form.
KESTRELON_NSIS_FUNCTION(IsWholeFolderPath) {
  Stack stack(string_size, stack_top);
  const std::wstring path = pop_or_empty(stack);
  const bool whole = program_folder_fault(path) == PathFault::none;
  stack.push(whole ? full_long_path(path) : path);
  stack.push(whole ? L"1" : L"0");
}

// PATH -> fault ("" when none), the path in full long form, the folder the fault is about.
KESTRELON_NSIS_FUNCTION(ProgramFolder) {
  Stack stack(string_size, stack_top);
  const std::wstring given = pop_or_empty(stack);
  const PathFault fault = program_folder_fault(given);
  push_folder_check(stack, fault, fault == PathFault::none ? full_long_path(given) : given,
                    OurFolder::program);
}

// SETTINGS PROGRAM PROGRAM_FILES PROGRAM_FILES_64 WINDOWS -> as ProgramFolder.
KESTRELON_NSIS_FUNCTION(SettingsFolder) {
  Stack stack(string_size, stack_top);
  const std::wstring given = pop_or_empty(stack);
  const std::wstring program = pop_or_empty(stack);
  SystemFolders system;
  system.program_files = pop_or_empty(stack);
  system.program_files_64 = pop_or_empty(stack);
  system.windows = pop_or_empty(stack);
  const PathFault fault = settings_folder_fault(given, program, system);
  push_folder_check(stack, fault, fault == PathFault::none ? full_long_path(given) : given,
                    OurFolder::settings);
}

// SETTINGS PROGRAM (full long paths, checked) -> fault, the folder it is about. Takes both
// folders, the settings folder first, and holds them until the setup ends.
KESTRELON_NSIS_FUNCTION(TakeFolders) {
  Stack stack(string_size, stack_top);
  stay_loaded(extra);
  const std::wstring settings = pop_or_empty(stack);
  const std::wstring program = pop_or_empty(stack);
  auto taking = std::make_unique<Install>();
  FolderCheck check = take_folder(settings, OurFolder::settings, taking->settings);
  if (check.fault == FolderFault::none)
    check = take_folder(program, OurFolder::program, taking->program);
  if (check.fault == FolderFault::none) install = std::move(taking);
  stack.push(check.folder);
  stack.push(fault_name(check.fault));
}

// PORT SPEED -> outcome, the file it is about, the system's reason. Kestrelon.ini in the held
// settings folder, pinned as KestrelonScan pins it.
KESTRELON_NSIS_FUNCTION(PinSettings) {
  Stack stack(string_size, stack_top);
  PortSettings pinned;
  pinned.port_name = pop_or_empty(stack);
  pinned.speed = static_cast<int32_t>(wcstol(pop_or_empty(stack).c_str(), nullptr, 10));
  HANDLE copy = nullptr;
  if (!install || !DuplicateHandle(GetCurrentProcess(), install->settings.folder.get(),
                                   GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    stack.push(L"");
    stack.push(L"");
    stack.push(L"not_written");
    return;
  }
  const std::unique_ptr<Folder> folder = adopt_folder(nt::Handle(copy), install->settings.path);
  const PinResult pin = pin_settings_file(*folder, kSettingsFileName, pinned);
  stack.push(pin.reason);
  stack.push(pin.file);
  stack.push(outcome_name(pin.outcome));
}

// -> "" when the files of an earlier install are gone from the held program folder, else the one
// that could not be removed.
KESTRELON_NSIS_FUNCTION(RemoveEarlierFiles) {
  Stack stack(string_size, stack_top);
  std::wstring failed;
  if (!install) {
    stack.push(L"?");
    return;
  }
  remove_earlier_program_files(install->program, failed);
  stack.push(failed);
}

// FOLDER -> "1" when one of our programs runs from it, in any session, else "0".
KESTRELON_NSIS_FUNCTION(ProgramRuns) {
  Stack stack(string_size, stack_top);
  stack.push(program_runs_from(full_long_path(pop_or_empty(stack)), kOurPrograms) ? L"1" : L"0");
}

// Lets the folders go (the end of the install).
KESTRELON_NSIS_FUNCTION(Release) {
  install.reset();
}
