#include "setup/setup_guard_win32.h"

#include "setup/security_win32.h"

namespace kestrelon::setup {
namespace {

// A file mapping in the global namespace, which only administrators, services and SYSTEM may make
// (SeCreateGlobalPrivilege; from session 0 anyone may, as Windows XP's first user is): any other
// kind of named object any user may make there first.
constexpr wchar_t kGuardName[] = L"Global\\Kestrelon-Setup";
// Owned by Administrators, which no other account can give as an object's owner: an object of
// that name owned otherwise was made by somebody else.
constexpr wchar_t kGuardRights[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";
constexpr DWORD kGuardSize = 1;

}  // namespace

GuardState SetupGuard::acquire() {
  if (held_.valid()) return GuardState::held;
  const SecurityDescriptor rights(kGuardRights);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), rights.get(), FALSE};
  const EnabledPrivilege create_global(L"SeCreateGlobalPrivilege");
  UniqueHandle guard(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READONLY, 0,
                                        kGuardSize, kGuardName));
  // Made by somebody who locked the administrators out: no setup of ours.
  if (!guard.valid()) return GuardState::not_held;
  if (GetLastError() != ERROR_ALREADY_EXISTS) {
    held_ = std::move(guard);
    return GuardState::held;
  }
  SecurityView found;
  return read_security(guard.get(), found) && found.owner == kAdministrators
             ? GuardState::another_runs
             : GuardState::not_held;
}

}  // namespace kestrelon::setup
