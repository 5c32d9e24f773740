// Running copies of our programs, found from the image file of every process on the machine.
#include "setup/running_copies_win32.h"

// psapi.dll's own functions: the K32 ones that newer headers map them to came with Windows 7.
#define PSAPI_VERSION 1
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string_view>

#include "common/unique_handle_win32.h"
#include "setup/folder_paths_win32.h"
#include "setup/security_win32.h"

namespace kestrelon::setup {
namespace {

// QueryFullProcessImageNameW (Vista on) names the image of a process opened for limited query
// only, the least access there is. Looked up by name: Windows XP lacks it, and then the module's
// own name is read, which asks for more.
using QueryImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
constexpr DWORD kQueryLimitedInformation = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION
constexpr DWORD kLongestImagePath = MAX_PATH * 2;

QueryImageName query_image_name() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<QueryImageName>(
                      reinterpret_cast<void*>(GetProcAddress(kernel, "QueryFullProcessImageNameW")))
                : nullptr;
}

// The image file of a process; empty when it cannot be opened or read.
std::wstring image_of(DWORD process_id, QueryImageName query) {
  const UniqueHandle process(
      OpenProcess(query ? kQueryLimitedInformation : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                  FALSE, process_id));
  if (!process.valid()) return {};
  wchar_t path[kLongestImagePath];
  DWORD length = kLongestImagePath;
  if (query) {
    if (!query(process.get(), 0, path, &length)) return {};
  } else {
    length = GetModuleFileNameExW(process.get(), nullptr, path, kLongestImagePath);
  }
  if (length == 0 || length >= kLongestImagePath) return {};
  return std::wstring(path, length);
}

bool is_one_of(const wchar_t* name, const std::vector<std::wstring_view>& names) {
  return std::any_of(names.begin(), names.end(),
                     [name](std::wstring_view wanted) { return same_name(name, wanted); });
}

}  // namespace

// Any user may start our programs, in any session (the daily task does). A process that cannot be
// opened at all (a protected one) is not counted: it keeps its image file from being replaced
// or removed, and the setup and the uninstaller then report that file.
bool program_runs_from(const std::wstring& folder, const std::vector<std::wstring_view>& names) {
  const std::wstring wanted = full_long_path(folder);
  const QueryImageName query = query_image_name();
  // Lets an administrator open every user's processes, whose lists come from their own tokens;
  // then as it was. Where a policy has taken the privilege away, another user's copy may not
  // open: it is then found by the program file it runs, which Windows lets nobody remove.
  const EnabledPrivilege debug(L"SeDebugPrivilege");
  // Without a list nothing is known to run; a program that does keeps its file from being
  // replaced or removed, and the caller reports that file.
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self || entry.th32ProcessID == 0 ||
        !is_one_of(entry.szExeFile, names)) {
      continue;
    }
    if (folder.empty()) return true;  // from anywhere: the name alone counts
    const std::wstring image = image_of(entry.th32ProcessID, query);
    if (!image.empty() && is_same_or_inside(full_long_path(image), wanted)) return true;
  }
  return false;
}

}  // namespace kestrelon::setup
