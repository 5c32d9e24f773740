// KestrelonSetup.dll, the setup program's plug-in: the setup's folder and file work, which must
// act only through the folders it checked, and the checks of its command line. The script keeps
// the pages, the texts, the programs' files, the registry and the shortcuts; it calls these
// functions with their arguments pushed last first.
//
// Every function gives the script exactly one answer on the stack (or none), which the script
// takes with one Pop: a word that says what happened ("" when all is well), a value, or "1" /
// "0". What a box must name besides (the folder or file in question, the system's reason) the
// script asks for after it, with Named and Reason, which tell of the last call that set them.
#include <windows.h>

#include <shellapi.h>

#include <memory>
#include <string>

#include "app/settings_file.h"
#include "setup/daily_task_win32.h"
#include "setup/earlier_install_win32.h"
#include "setup/folder_choice_win32.h"
#include "setup/folder_paths_win32.h"
#include "setup/nsis_plugin.h"
#include "setup/our_files_win32.h"
#include "setup/our_folders_win32.h"
#include "setup/plugin_support_win32.h"
#include "setup/program_files.h"  // written by CMake into the build folder
#include "setup/running_copies_win32.h"
#include "setup/setup_guard_win32.h"
#include "setup/setup_options_win32.h"

namespace {

using kestrelon::nsis::begin;
using kestrelon::nsis::pop_or_empty;
using kestrelon::nsis::Stack;
using namespace kestrelon;
using namespace kestrelon::setup;

const std::vector<std::wstring_view> kOurPrograms(kShippedPrograms.begin(), kShippedPrograms.end());

// State across calls, which NSIS's plug-in interface leaves to the plug-in: the folders it holds,
// the options read, and what the last answer was about.

// The folders the install holds from the moment it takes them until the setup ends.
struct Install {
  TakenFolder settings;
  TakenFolder program;
};
std::unique_ptr<Install> install;

// Gives both folders back as they were found; the folder that could not be, or "".
std::wstring give_back_both(Install& taken) {
  std::wstring kept;
  for (TakenFolder* folder : {&taken.program, &taken.settings}) {
    const std::wstring path = folder->path;
    if (!give_back(*folder)) kept = path;
  }
  return kept;
}

SetupOptions options;

// Held from the setup's start to its end: no other setup or uninstaller runs meanwhile.
SetupGuard only_setup;

// The folder or file the last answer is about, and the system's words for what failed.
struct Details {
  std::wstring named;
  std::wstring reason;
};
Details details;

// Gives the script its one answer, and what it is about.
void answer(Stack& stack, std::wstring_view word, std::wstring named = {},
            std::wstring reason = {}) {
  details = {std::move(named), std::move(reason)};
  stack.push(word);
}

const wchar_t* option_fault_name(OptionFault fault) {
  switch (fault) {
    case OptionFault::none:
      return L"";
    case OptionFault::line_too_long:
      return L"line_too_long";
    case OptionFault::program_form:
      return L"program_form";
    case OptionFault::unknown_option:
      return L"unknown_option";
    case OptionFault::bad_port:
      return L"bad_port";
    case OptionFault::bad_speed:
      return L"bad_speed";
    case OptionFault::bad_time:
      return L"bad_time";
    case OptionFault::port_without_speed:
      return L"port_without_speed";
    case OptionFault::search_with_speed:
      return L"search_with_speed";
  }
  return L"unknown_option";
}

// The script's word for each refusal of a folder.
const wchar_t* refusal_name(Refusal refusal) {
  switch (refusal) {
    case Refusal::none:
      return L"";
    case Refusal::not_whole:
      return L"not_whole";
    case Refusal::drive_root:
      return L"drive_root";
    case Refusal::bad_character:
      return L"bad_character";
    case Refusal::bad_name_end:
      return L"bad_name_end";
    case Refusal::too_long:
      return L"too_long";
    case Refusal::drive_missing:
      return L"drive_missing";
    case Refusal::not_fixed_disk:
      return L"not_fixed_disk";
    case Refusal::in_system_folder:
      return L"in_system_folder";
    case Refusal::with_other_folder:
      return L"with_other_folder";
    case Refusal::link:
      return L"link";
    case Refusal::users_may_change:
      return L"users_may_change";
    case Refusal::users_could_write:
      return L"users_could_write";
    case Refusal::not_administrators:
      return L"not_administrators";
    case Refusal::is_a_file:
      return L"is_a_file";
    case Refusal::not_ours:
      return L"not_ours";
    case Refusal::portable_copy:
      return L"portable_copy";
    case Refusal::not_written:
      return L"not_written";
    case Refusal::rights_not_set:
      return L"rights_not_set";
    case Refusal::not_given_back:
      return L"not_given_back";
  }
  return L"not_written";
}

OurFolder kind_named(const std::wstring& name) {
  return name == L"program" ? OurFolder::program : OurFolder::settings;
}

// The two folders and the system's folders, in the order the script gives them.
FolderPair pop_pair(Stack& stack) {
  FolderPair pair;
  pair.settings = pop_or_empty(stack);
  pair.program = pop_or_empty(stack);
  pair.system.program_files = pop_or_empty(stack);
  pair.system.program_files_64 = pop_or_empty(stack);
  pair.system.windows = pop_or_empty(stack);
  return pair;
}

void answer_verdict(Stack& stack, const Verdict& verdict) {
  answer(stack, refusal_name(verdict.refusal), verdict.folder, verdict.detail);
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

const wchar_t* removal_name(TaskRemoval removal) {
  switch (removal) {
    case TaskRemoval::removed:
      return L"removed";
    case TaskRemoval::absent:
      return L"absent";
    case TaskRemoval::failed:
      return L"failed";
  }
  return L"failed";
}

}  // namespace

void kestrelon::nsis::release_folders() {
  install.reset();
}

// PROGRAM_FOLDER (NSIS's $INSTDIR, from /D= or its default) -> what is wrong with the command
// line, "" when nothing; Named: the option it is about. The options read are then given by
// Option.
KESTRELON_NSIS_FUNCTION(ReadOptions) {
  Stack stack = begin(string_size, stack_top, extra);
  options = read_setup_options(GetCommandLineW(), pop_or_empty(stack));
  answer(stack, option_fault_name(options.fault), options.refused);
}

// NAME -> the option read by ReadOptions: "port" (COMn), "speed", "search" ("1" for
// /COM=AUTO), "time" (HH:MM), "settings" (the folder), "settings_given" ("1" when /SETARI was
// given), "program" (/D='s folder, or NSIS's), "default_settings" (the settings folder when none
// is given or recorded), or "silent" ("1" when /S is anywhere on the line, read afresh: the
// uninstaller asks for it too). "" for any other name.
KESTRELON_NSIS_FUNCTION(Option) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring name = pop_or_empty(stack);
  if (name == L"silent") {
    stack.push(is_silent(GetCommandLineW()) ? L"1" : L"0");
  } else if (name == L"port") {
    stack.push(options.port);
  } else if (name == L"speed") {
    stack.push(options.speed);
  } else if (name == L"search") {
    stack.push(options.search_device ? L"1" : L"0");
  } else if (name == L"time") {
    stack.push(options.daily_time);
  } else if (name == L"settings_given") {
    stack.push(options.settings_folder_given ? L"1" : L"0");
  } else if (name == L"settings") {
    stack.push(options.settings_folder);
  } else if (name == L"program") {
    stack.push(options.program_folder);
  } else if (name == L"default_settings") {
    stack.push(kDefaultSettingsFolder);
  } else {
    stack.push(L"");
  }
}

// TEXT -> the time of day it names, as HH:MM ("7:05" is "07:05"); "" when it names none.
KESTRELON_NSIS_FUNCTION(TimeOfDay) {
  Stack stack = begin(string_size, stack_top, extra);
  stack.push(time_of_day(pop_or_empty(stack)));
}

// PATH -> its full long form (C:\PROGRA~1 written out, no "\" at the end), as the folder pages
// show it and the registry keeps it; a path that is not whole, as it was given.
KESTRELON_NSIS_FUNCTION(FullPath) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring path = pop_or_empty(stack);
  stack.push(path_form_check(path).fault == PathFault::not_whole ? path : full_long_path(path));
}

// A B -> "1" when both paths name the same folder or file, as Windows resolves them (C:\a\\b,
// C:\PROGRA~1), else "0".
KESTRELON_NSIS_FUNCTION(SamePath) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring a = pop_or_empty(stack);
  const std::wstring b = pop_or_empty(stack);
  const bool same = path_form_check(a).fault == PathFault::none &&
                    path_form_check(b).fault == PathFault::none &&
                    same_name(full_long_path(a), full_long_path(b));
  stack.push(same ? L"1" : L"0");
}

// KIND ("program" or "settings") SETTINGS PROGRAM PROGRAM_FILES PROGRAM_FILES_64 WINDOWS -> why
// that folder is refused, "" when it is not: by its path, its drive, the other folder (an empty
// one is not judged), then as it stands on the disk, changing nothing. Named: the folder
// accepted, in its full long form, or the one the refusal is about; Reason: the character or
// the drive it names.
KESTRELON_NSIS_FUNCTION(CheckFolder) {
  Stack stack = begin(string_size, stack_top, extra);
  const OurFolder kind = kind_named(pop_or_empty(stack));
  answer_verdict(stack, judge_folder(kind, pop_pair(stack)));
}

// KIND FROM SETTINGS PROGRAM PROGRAM_FILES PROGRAM_FILES_64 WINDOWS -> a folder for KIND that
// CheckFolder accepts, found from FROM (typed, or chosen with "Răsfoire...").
KESTRELON_NSIS_FUNCTION(Proposal) {
  Stack stack = begin(string_size, stack_top, extra);
  const OurFolder kind = kind_named(pop_or_empty(stack));
  const std::wstring from = pop_or_empty(stack);
  stack.push(proposed_folder(kind, from, pop_pair(stack)));
}

// SETTINGS PROGRAM PROGRAM_FILES PROGRAM_FILES_64 WINDOWS -> as CheckFolder, "" when both
// folders are taken; Named: the folder it is about.
// Both paths are checked again, then both folders on the disk, changing nothing; only then
// are they taken, the settings folder first, and held until the setup ends, and the earlier
// install's files marked for removal ("not_removed", Named: the file, when one cannot be). When
// anything fails, both are given back as they were found ("not_given_back" when that failed).
KESTRELON_NSIS_FUNCTION(TakeFolders) {
  Stack stack = begin(string_size, stack_top, extra);
  const FolderPair pair = pop_pair(stack);
  for (const OurFolder kind : {OurFolder::settings, OurFolder::program}) {
    if (const Verdict verdict = judge_folder(kind, pair); verdict.refusal != Refusal::none) {
      answer_verdict(stack, verdict);
      return;
    }
  }
  auto taking = std::make_unique<Install>();
  FolderCheck check =
      take_folder(full_long_path(pair.settings), OurFolder::settings, taking->settings);
  if (check.fault == FolderFault::none) {
    check = take_folder(full_long_path(pair.program), OurFolder::program, taking->program);
  }
  // The earlier install's files are marked for removal before anything is written: one held
  // open by somebody stops the install while it can still leave everything as it was.
  std::wstring not_removed;
  if (check.fault == FolderFault::none &&
      mark_earlier_program_files(taking->program, not_removed)) {
    install = std::move(taking);
    answer(stack, L"");
    return;
  }
  std::wstring word = check.fault == FolderFault::none
                          ? L"not_removed"
                          : refusal_name(refusal_of(check.fault, check.folder));
  std::wstring named = check.fault == FolderFault::none ? not_removed : check.folder;
  if (const std::wstring kept = give_back_both(*taking); !kept.empty()) {
    word = L"not_given_back";
    named = kept;
  }
  answer(stack, word, named);
}

// -> "" when both folders are given back as the install found them (an install stopped before
// anything of the programs was written): the earlier files' removal, the setup's own file, the
// owners and lists, the folders made on the way; else "not_given_back", Named: the folder whose
// owner or list, or whose files', could not be put back.
KESTRELON_NSIS_FUNCTION(GiveBackFolders) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring kept = install ? give_back_both(*install) : L"";
  install.reset();
  answer(stack, kept.empty() ? L"" : L"not_given_back", kept);
}

// PORT SPEED -> the outcome; Named: the file it is about; Reason: the system's words.
// Kestrelon.ini in the held settings folder, pinned as KestrelonScan pins it.
KESTRELON_NSIS_FUNCTION(PinSettings) {
  Stack stack = begin(string_size, stack_top, extra);
  PortSettings pinned;
  pinned.port_name = pop_or_empty(stack);
  pinned.speed = static_cast<int32_t>(wcstol(pop_or_empty(stack).c_str(), nullptr, 10));
  const std::unique_ptr<Folder> folder = install ? files_of(install->settings) : nullptr;
  if (!folder) {
    answer(stack, L"not_written", install ? install->settings.path : L"");
    return;
  }
  const PinResult pin = pin_settings_file(*folder, kSettingsFileName, pinned);
  answer(stack, outcome_name(pin.outcome), pin.file, pin.reason);
}

// -> "" when the files of an earlier install, marked by TakeFolders, are let go from the held
// program folder, else "not_removed"; Named: the program folder.
KESTRELON_NSIS_FUNCTION(RemoveEarlierFiles) {
  Stack stack = begin(string_size, stack_top, extra);
  std::wstring failed;
  if (!install) {
    answer(stack, L"not_removed", L"");
  } else if (!remove_earlier_program_files(install->program, failed)) {
    answer(stack, L"not_removed", failed);
  } else {
    answer(stack, L"");
  }
}

// NAME -> "removed", "absent" (no such task: removed by hand, say) or "failed" (it may still
// be there).
KESTRELON_NSIS_FUNCTION(RemoveTask) {
  Stack stack = begin(string_size, stack_top, extra);
  stack.push(removal_name(remove_task(pop_or_empty(stack))));
}

// FOLDER -> "1" when one of our programs runs from it, in any session, else "0"; an empty FOLDER
// is any folder (a copy from the zip).
KESTRELON_NSIS_FUNCTION(ProgramRuns) {
  Stack stack = begin(string_size, stack_top, extra);
  stack.push(program_runs_from(pop_or_empty(stack), kOurPrograms) ? L"1" : L"0");
}

// -> "" when no other setup or uninstaller of Kestrelon runs on this computer, in any session,
// and this one holds that until it ends; "another_setup" when one does.
KESTRELON_NSIS_FUNCTION(OnlySetup) {
  Stack stack = begin(string_size, stack_top, extra);
  stack.push(only_setup.acquire() == GuardState::another_runs ? L"another_setup" : L"");
}

// EARLIER (the program folder of the install Add/Remove Programs knew before this one) -> "" when
// nothing of it is left beside the program folder now installed, "not_removed" when something
// is; Named: what.
KESTRELON_NSIS_FUNCTION(RemoveEarlierInstall) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring earlier = pop_or_empty(stack);
  std::wstring left;
  if (install && !remove_earlier_install(earlier, install->program.path, left)) {
    answer(stack, L"not_removed", left);
  } else {
    answer(stack, L"");
  }
}

// -> the folder or file the last answer that names one is about.
KESTRELON_NSIS_FUNCTION(Named) {
  Stack stack = begin(string_size, stack_top, extra);
  stack.push(details.named);
}

// -> the system's words for what the last answer reports as failed.
KESTRELON_NSIS_FUNCTION(Reason) {
  Stack stack = begin(string_size, stack_top, extra);
  stack.push(details.reason);
}

// Lets the folders go (the end of the install).
KESTRELON_NSIS_FUNCTION(Release) {
  install.reset();
}
