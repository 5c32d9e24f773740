#include "setup/folder_paths_win32.h"

#include <windows.h>

#include <algorithm>

#include "app/file_system.h"

namespace kestrelon::setup {
namespace {

constexpr std::wstring_view kNotInNames = L"*?\"<>|/:";
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

PathFault folder_path_fault(const std::wstring& folder) {
  if (folder.size() < kDriveRootLength || !is_letter(folder[0]) || folder[1] != L':' ||
      folder[2] != L'\\' || std::any_of(folder.begin() + 2, folder.end(), [](wchar_t c) {
        return kNotInNames.find(c) != std::wstring_view::npos;
      })) {
    return PathFault::form;
  }
  const size_t length = full_folder_path(folder).size();
  return length <= kDriveRootLength || length > kMaxFolderPath ? PathFault::form : PathFault::none;
}

PathFault settings_folder_fault(const std::wstring& settings, const std::wstring& program,
                                const SystemFolders& system) {
  if (folder_path_fault(settings) != PathFault::none) return PathFault::form;
  const std::wstring folder = full_long_path(settings);
  const std::wstring programs = full_long_path(program);
  for (const std::wstring* forbidden :
       {&system.program_files, &system.program_files_64, &system.windows}) {
    if (!forbidden->empty() && is_same_or_inside(folder, full_long_path(*forbidden))) {
      return PathFault::place;
    }
  }
  return is_same_or_inside(folder, programs) || is_same_or_inside(programs, folder)
             ? PathFault::place
             : PathFault::none;
}

}  // namespace kestrelon::setup
