#include "setup/folder_paths_win32.h"

#include <windows.h>

#include <algorithm>

#include "app/file_system.h"

namespace kestrelon::setup {
namespace {

// Besides those no name may hold, "%": the task and the shortcuts would read it as a variable.
constexpr std::wstring_view kNotInNames = L"*?\"<>|/:%";
constexpr size_t kMaxFolderPath = 240;  // room left for the file names inside, within MAX_PATH

// "." and ".." resolved, no "\" at the end but a drive's root's.
std::wstring full_folder_path(const std::wstring& path) {
  std::wstring full = full_path(path);
  while (full.size() > kDriveRootLength && full.back() == L'\\') full.pop_back();
  return full;
}

// The long form of PATH when it exists, else nothing.
bool long_path(const std::wstring& path, std::wstring& result) {
  const DWORD room = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (room == 0) return false;
  result.assign(room, L'\0');
  const DWORD length = GetLongPathNameW(path.c_str(), result.data(), room);
  if (length == 0 || length >= room) return false;
  result.resize(length);
  return true;
}

// Every character upper-cased on its own, the same in every language: nothing is ignored or
// folded together, as a linguistic comparison would (a soft hyphen, a zero-width joiner).
std::wstring invariant_upper_case(std::wstring_view text) {
  std::wstring upper(text);
  const int length = static_cast<int>(text.size());
  if (length > 0 && LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), length,
                                 upper.data(), length) != length) {
    return std::wstring(text);
  }
  return upper;
}

bool is_letter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool is_bad_character(wchar_t c) {
  return c < L' ' || kNotInNames.find(c) != std::wstring_view::npos;
}

// A name Windows would not keep as written: it drops the spaces and periods at a name's end.
bool has_bad_name_end(std::wstring_view path) {
  size_t start = kDriveRootLength;
  while (start < path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    const std::wstring_view name = path.substr(start, end - start);
    if (!name.empty() && name != L"." && name != L".." &&
        (name.back() == L' ' || name.back() == L'.')) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace

std::wstring full_long_path(const std::wstring& path) {
  const std::wstring full = full_folder_path(path);
  // The longest part that exists, from the whole path up to the drive's root.
  for (size_t end = full.size(); end >= kDriveRootLength - 1;) {
    std::wstring part = full.substr(0, end);
    if (part.size() == kDriveRootLength - 1) part += L'\\';
    std::wstring existing;
    if (long_path(part, existing)) {
      if (end == full.size()) return full.size() > kDriveRootLength ? existing : full;
      if (existing.back() == L'\\') existing.pop_back();
      return existing + full.substr(end);
    }
    const size_t separator = full.rfind(L'\\', end - 1);
    if (separator == std::wstring::npos || separator < kDriveRootLength - 1) break;
    end = separator;
  }
  return full;
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  return invariant_upper_case(a) == invariant_upper_case(b);
}

bool is_same_or_inside(const std::wstring& folder, const std::wstring& parent) {
  const std::wstring inside = folder + L'\\';
  const std::wstring around = parent + L'\\';
  return inside.size() >= around.size() &&
         same_name(std::wstring_view(inside).substr(0, around.size()), around);
}

std::wstring tidy_folder(std::wstring_view typed) {
  const size_t first = typed.find_first_not_of(L' ');
  if (first == std::wstring_view::npos) return {};
  std::wstring tidy(typed.substr(first, typed.find_last_not_of(L' ') + 1 - first));
  std::replace(tidy.begin(), tidy.end(), L'/', L'\\');
  return tidy;
}

PathCheck path_form_check(const std::wstring& path) {
  if (path.size() < kDriveRootLength || !is_letter(path[0]) || path[1] != L':' ||
      path[2] != L'\\') {
    return {PathFault::not_whole, {}};
  }
  if (const auto bad = std::find_if(path.begin() + 2, path.end(), is_bad_character);
      bad != path.end()) {
    return {PathFault::bad_character, std::wstring(1, *bad)};
  }
  if (has_bad_name_end(path)) return {PathFault::bad_name_end, {}};
  const size_t length = full_folder_path(path).size();
  if (length <= kDriveRootLength) return {PathFault::drive_root, path.substr(0, 2)};
  return {length > kMaxFolderPath ? PathFault::too_long : PathFault::none, {}};
}

PathCheck folder_path_check(const std::wstring& folder) {
  PathCheck check = path_form_check(folder);
  if (check.fault != PathFault::none) return check;
  const std::wstring drive = folder.substr(0, kDriveRootLength);
  switch (GetDriveTypeW(drive.c_str())) {
    case DRIVE_FIXED:
      return check;
    case DRIVE_UNKNOWN:
    case DRIVE_NO_ROOT_DIR:
      return {PathFault::drive_missing, drive.substr(0, 2)};
    default:
      return {PathFault::not_fixed_disk, drive.substr(0, 2)};
  }
}

PathCheck settings_folder_check(const std::wstring& settings, const std::wstring& program,
                                const SystemFolders& system) {
  if (PathCheck check = folder_path_check(settings); check.fault != PathFault::none) {
    return check;
  }
  const std::wstring folder = full_long_path(settings);
  for (const std::wstring* forbidden :
       {&system.program_files, &system.program_files_64, &system.windows}) {
    if (!forbidden->empty() && is_same_or_inside(folder, full_long_path(*forbidden))) {
      return {PathFault::in_system_folder, {}};
    }
  }
  return program_folder_check(program, settings).fault == PathFault::with_other_folder
             ? PathCheck{PathFault::with_other_folder, {}}
             : PathCheck{};
}

PathCheck program_folder_check(const std::wstring& program, const std::wstring& settings) {
  if (PathCheck check = folder_path_check(program); check.fault != PathFault::none) {
    return check;
  }
  if (settings.empty() || path_form_check(settings).fault != PathFault::none) return {};
  const std::wstring programs = full_long_path(program);
  const std::wstring folder = full_long_path(settings);
  return is_same_or_inside(folder, programs) || is_same_or_inside(programs, folder)
             ? PathCheck{PathFault::with_other_folder, {}}
             : PathCheck{};
}

}  // namespace kestrelon::setup
