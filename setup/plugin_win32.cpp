// KestrelonSetup.dll, the setup program's plug-in: the setup's folder and file work, which must
// act only through the folders it checked. The script keeps the pages, the texts, the programs'
// files, the registry, the shortcuts and the task; it calls these functions with their
// arguments pushed last first, and pops their results, first the one named first.
#include <windows.h>

#include <shellapi.h>

#include <memory>
#include <string>

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
    case FolderFault::users_could_write:
      return L"users_could_write";
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

// Why a folder is refused by its path alone: the text of the form depends on the folder.
const wchar_t* path_fault_name(PathFault fault, OurFolder kind) {
  if (fault == PathFault::place) return L"place";
  if (fault == PathFault::none) return L"";
  return kind == OurFolder::program ? L"program_form" : L"settings_form";
}

// The two folders and the system's folders, in the order the script gives them.
struct OurPaths {
  std::wstring settings;
  std::wstring program;
  SystemFolders system;
};

OurPaths pop_paths(Stack& stack) {
  OurPaths paths;
  paths.settings = pop_or_empty(stack);
  paths.program = pop_or_empty(stack);
  paths.system.program_files = pop_or_empty(stack);
  paths.system.program_files_64 = pop_or_empty(stack);
  paths.system.windows = pop_or_empty(stack);
  return paths;
}

// The word for what is wrong with a folder's path, or "" when it may be the folder KIND.
const wchar_t* path_fault(const OurPaths& paths, OurFolder kind) {
  return kind == OurFolder::program
             ? path_fault_name(program_folder_fault(paths.program), kind)
             : path_fault_name(settings_folder_fault(paths.settings, paths.program, paths.system),
                               kind);
}

// What a folder check gives back: its fault, the folder in its full long form, and the folder
// the fault is about.
void push_folder_check(Stack& stack, const std::wstring& given, const wchar_t* fault,
                       OurFolder kind) {
  const FolderCheck check = *fault ? FolderCheck{} : check_folder(full_long_path(given), kind);
  stack.push(*fault ? given : check.folder);
  stack.push(*fault ? given : full_long_path(given));
  stack.push(*fault ? fault : fault_name(check.fault));
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
    silent = silent || (i > 0 && same_name(words[i], L"/S"));
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
  OurPaths paths;
  paths.program = pop_or_empty(stack);
  push_folder_check(stack, paths.program, path_fault(paths, OurFolder::program),
                    OurFolder::program);
}

// SETTINGS PROGRAM PROGRAM_FILES PROGRAM_FILES_64 WINDOWS -> as ProgramFolder, for SETTINGS.
KESTRELON_NSIS_FUNCTION(SettingsFolder) {
  Stack stack(string_size, stack_top);
  const OurPaths paths = pop_paths(stack);
  push_folder_check(stack, paths.settings, path_fault(paths, OurFolder::settings),
                    OurFolder::settings);
}

// As SettingsFolder -> fault, the folder it is about. Checks both paths again, then takes both
// folders, the settings folder first, looking at the disk once, and holds them until the setup
// ends.
KESTRELON_NSIS_FUNCTION(TakeFolders) {
  Stack stack(string_size, stack_top);
  stay_loaded(extra);
  const OurPaths paths = pop_paths(stack);
  for (const OurFolder kind : {OurFolder::settings, OurFolder::program}) {
    if (const wchar_t* fault = path_fault(paths, kind); *fault) {
      stack.push(kind == OurFolder::program ? paths.program : paths.settings);
      stack.push(fault);
      return;
    }
  }
  auto taking = std::make_unique<Install>();
  FolderCheck check =
      take_folder(full_long_path(paths.settings), OurFolder::settings, taking->settings);
  if (check.fault == FolderFault::none) {
    check = take_folder(full_long_path(paths.program), OurFolder::program, taking->program);
  }
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
  const std::unique_ptr<Folder> folder = install ? files_of(install->settings) : nullptr;
  if (!folder) {
    stack.push(L"");
    stack.push(L"");
    stack.push(L"not_written");
    return;
  }
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
  stack.push(program_runs_from(pop_or_empty(stack), kOurPrograms) ? L"1" : L"0");
}

// Lets the folders go (the end of the install).
KESTRELON_NSIS_FUNCTION(Release) {
  install.reset();
}
