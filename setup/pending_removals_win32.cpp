#include "setup/pending_removals_win32.h"

#include <windows.h>

#include <vector>

#include "setup/folder_paths_win32.h"

namespace kestrelon::setup {
namespace {

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPending[] = L"PendingFileRenameOperations";
constexpr std::wstring_view kNativePrefix = L"\\??\\";  // as MoveFileEx writes the paths
constexpr std::wstring_view kWin32Prefix = L"\\\\?\\";

// The strings of a REG_MULTI_SZ value, in order (empty strings kept: an empty destination is a
// removal).
std::vector<std::wstring> split(const std::vector<wchar_t>& data) {
  std::vector<std::wstring> strings;
  size_t start = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] != L'\0') continue;
    strings.emplace_back(data.data() + start, i - start);
    start = i + 1;
  }
  if (!strings.empty() && strings.back().empty()) strings.pop_back();  // the list's end
  return strings;
}

std::wstring win32_path(std::wstring path) {
  for (const std::wstring_view prefix : {kNativePrefix, kWin32Prefix}) {
    if (path.compare(0, prefix.size(), prefix) == 0) return path.substr(prefix.size());
  }
  return path;
}

// Compared as Windows resolves both: a removal written with a short name (C:\PROGRA~1\...) or a
// doubled "\\" is of the same folder.
bool is_in(const std::wstring& pending, const std::wstring& folder) {
  const std::wstring path = win32_path(pending);
  return path_form_check(path).fault != PathFault::not_whole &&
         is_same_or_inside(full_long_path(path), full_long_path(folder));
}

}  // namespace

bool cancel_pending_removals(const std::wstring& folder) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, kPending, nullptr, &type, nullptr, &size);
  bool done = status == ERROR_FILE_NOT_FOUND;
  if (status == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    status = RegQueryValueExW(key, kPending, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                              &size);
    data.resize(size / sizeof(wchar_t));
    const std::vector<std::wstring> strings = split(data);
    if (strings.size() % 2 != 0) status = ERROR_INVALID_DATA;  // not pairs: left as it is
    std::vector<wchar_t> kept;
    for (size_t i = 0; status == ERROR_SUCCESS && i + 1 < strings.size(); i += 2) {
      if (strings[i + 1].empty() && is_in(strings[i], folder)) continue;
      for (const std::wstring* s : {&strings[i], &strings[i + 1]}) {
        kept.insert(kept.end(), s->begin(), s->end());
        kept.push_back(L'\0');
      }
    }
    kept.push_back(L'\0');
    done = status == ERROR_SUCCESS &&
           (kept.size() == 1 ? RegDeleteValueW(key, kPending)
                             : RegSetValueExW(key, kPending, 0, REG_MULTI_SZ,
                                              reinterpret_cast<const BYTE*>(kept.data()),
                                              static_cast<DWORD>(kept.size() * sizeof(wchar_t)))) ==
               ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return done;
}

}  // namespace kestrelon::setup
