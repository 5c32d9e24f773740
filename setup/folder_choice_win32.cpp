#include "setup/folder_choice_win32.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "setup/program_files.h"  // written by CMake into the build folder

namespace kestrelon::setup {
namespace {

constexpr wchar_t kFolderName[] = L"Kestrelon";
constexpr wchar_t kSettingsBeside[] = L"Kestrelon-Setari";  // beside a program folder's name
constexpr wchar_t kPortableProgram[] = L"Kestrelon.exe";

Refusal refusal_of(PathFault fault) {
  switch (fault) {
    case PathFault::none:
      return Refusal::none;
    case PathFault::not_whole:
      return Refusal::not_whole;
    case PathFault::drive_root:
      return Refusal::drive_root;
    case PathFault::bad_character:
      return Refusal::bad_character;
    case PathFault::bad_name_end:
      return Refusal::bad_name_end;
    case PathFault::too_long:
      return Refusal::too_long;
    case PathFault::drive_missing:
      return Refusal::drive_missing;
    case PathFault::not_fixed_disk:
      return Refusal::not_fixed_disk;
    case PathFault::in_system_folder:
      return Refusal::in_system_folder;
    case PathFault::with_other_folder:
      return Refusal::with_other_folder;
  }
  return Refusal::not_whole;
}

bool is_file(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The zip's copy of the programs: Kestrelon.exe without the uninstaller an install puts beside it.
bool holds_portable_copy(const std::wstring& folder) {
  return is_file(folder + L"\\" + kPortableProgram) &&
         !is_file(folder + L"\\" + std::wstring(kUninstaller));
}

std::wstring joined(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() || folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

std::wstring parent_of(const std::wstring& folder) {
  const size_t separator = folder.rfind(L'\\');
  return separator == std::wstring::npos ? std::wstring() : folder.substr(0, separator + 1);
}

// Where to look for a folder of KIND, from FROM: it, a folder for Kestrelon in it, beside it,
// then the default.
std::vector<std::wstring> candidates(OurFolder kind, const std::wstring& from,
                                     const FolderPair& pair) {
  std::vector<std::wstring> places = {from};
  const std::wstring full =
      path_form_check(from).fault == PathFault::not_whole ? std::wstring() : full_long_path(from);
  for (const std::wstring& base : {full, parent_of(full)}) {
    if (base.empty()) continue;
    places.push_back(joined(base, kFolderName));
    if (kind == OurFolder::settings) places.push_back(joined(base, kSettingsBeside));
  }
  if (kind == OurFolder::settings) {
    places.insert(places.end(), {kDefaultSettingsFolder, joined(L"C:\\", kSettingsBeside)});
  } else if (!pair.system.program_files.empty()) {
    places.push_back(joined(pair.system.program_files, kFolderName));
  }
  return places;
}

}  // namespace

Refusal refusal_of(FolderFault fault, const std::wstring& folder) {
  switch (fault) {
    case FolderFault::none:
      return Refusal::none;
    case FolderFault::link:
      return Refusal::link;
    case FolderFault::users_may_change:
      return Refusal::users_may_change;
    case FolderFault::users_could_write:
    case FolderFault::not_administrators:
      if (holds_portable_copy(folder)) return Refusal::portable_copy;
      return fault == FolderFault::not_administrators ? Refusal::not_administrators
                                                      : Refusal::users_could_write;
    case FolderFault::not_ours:
      if (is_file(folder)) return Refusal::is_a_file;
      return holds_portable_copy(folder) ? Refusal::portable_copy : Refusal::not_ours;
    case FolderFault::access_failed:
      return Refusal::not_written;
    case FolderFault::rights_not_set:
      return Refusal::rights_not_set;
    case FolderFault::not_given_back:
      return Refusal::not_given_back;
  }
  return Refusal::not_written;
}

Verdict judge_folder(OurFolder kind, const FolderPair& typed) {
  FolderPair pair = typed;
  pair.settings = tidy_folder(typed.settings);
  pair.program = tidy_folder(typed.program);
  const std::wstring& given = pair.of(kind);
  const PathCheck path = kind == OurFolder::program
                             ? program_folder_check(pair.program, pair.settings)
                             : settings_folder_check(pair.settings, pair.program, pair.system);
  if (path.fault != PathFault::none) return {refusal_of(path.fault), given, path.detail};
  const std::wstring folder = full_long_path(given);
  const FolderCheck check = check_folder(folder, kind);
  if (check.fault != FolderFault::none) {
    return {refusal_of(check.fault, check.folder), check.folder, {}};
  }
  return {Refusal::none, folder, {}};
}

std::wstring proposed_folder(OurFolder kind, const std::wstring& from, const FolderPair& pair) {
  const std::vector<std::wstring> places = candidates(kind, tidy_folder(from), pair);
  const std::wstring windows = full_long_path(pair.system.windows);
  std::wstring whole;
  for (const std::wstring& place : places) {
    // Never proposed in Windows' own folder, even where a program folder could be.
    if (&place != &places.front() && !pair.system.windows.empty() &&
        is_same_or_inside(full_long_path(place), windows)) {
      continue;
    }
    FolderPair trial = pair;
    trial.of(kind) = place;
    if (judge_folder(kind, trial).refusal == Refusal::none) return full_long_path(place);
    if (whole.empty() && path_form_check(place).fault == PathFault::none) whole = place;
  }
  return whole;
}

}  // namespace kestrelon::setup
