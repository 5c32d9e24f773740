// An object's owner and access list: read as SID texts and file rights (from a handle, or from
// SDDL), saved, put back and set; a privilege enabled for a while; who runs the setup.
#include "setup/security_win32.h"

#include <sddl.h>

#include <vector>

#include "common/local_memory_win32.h"

namespace kestrelon::setup {
namespace {

// The process's own token, opened for TOKEN_QUERY and ACCESS.
UniqueHandle own_token(DWORD access) {
  HANDLE token = nullptr;
  return UniqueHandle(
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | access, &token) ? token : nullptr);
}

std::wstring sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
  const LocalMemory<wchar_t> owned(text);
  return owned.get();
}

// Generic rights mapped as for a file, so that GENERIC_ALL counts as every right it gives: the
// one place they are mapped, as an entry is read.
uint32_t file_rights(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  MapGenericMask(&mask, &mapping);
  return mask;
}

// One entry of the list; false for an entry that gives or takes nothing (audit, label). An entry
// whose SID cannot be read keeps an empty SID, and makes the whole list unreadable.
// Allow and deny entries share their layout with the conditional (callback) ones. A conditional
// deny may not apply, so it is left out; an object entry, which a file system does not use, is
// read as everything to everyone, so that a folder carrying one is never taken for safe.
bool entry_from_ace(const ACE_HEADER* header, AccessEntry& entry) {
  entry.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE: {
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      entry.allows = header->AceType != ACCESS_DENIED_ACE_TYPE;
      entry.mask = file_rights(ace->Mask);
      entry.sid = sid_text(const_cast<DWORD*>(&ace->SidStart));
      return true;
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
      entry.allows = true;
      entry.mask = FILE_ALL_ACCESS;
      entry.sid = L"S-1-1-0";
      return true;
    default:
      return false;
  }
}

bool view_from_descriptor(PSECURITY_DESCRIPTOR descriptor, SecurityView& view) {
  PSID owner = nullptr;
  BOOL owner_defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &owner_defaulted)) return false;
  view.owner = sid_text(owner);
  if (view.owner.empty()) return false;
  BOOL present = FALSE, dacl_defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &dacl_defaulted)) return false;
  view.has_dacl = present && dacl != nullptr;
  view.entries.clear();
  if (!view.has_dacl) return true;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    AccessEntry entry;
    if (!entry_from_ace(static_cast<const ACE_HEADER*>(ace), entry)) continue;
    if (entry.sid.empty()) return false;
    view.entries.push_back(entry);
  }
  return true;
}

}  // namespace

std::string saved_security(HANDLE object) {
  std::string saved(1024, '\0');
  DWORD needed = 0;
  while (
      !GetKernelObjectSecurity(object, kOwnerAndList, saved.data(), DWORD(saved.size()), &needed)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= saved.size()) return {};
    saved.resize(needed);
  }
  return saved;
}

bool restore_security(HANDLE object, const std::string& saved) {
  if (saved.empty()) return true;
  const EnabledPrivilege restore(L"SeRestorePrivilege");
  return SetKernelObjectSecurity(object, kOwnerAndList, const_cast<char*>(saved.data()));
}

bool set_security(HANDLE object, const wchar_t* sddl, SECURITY_INFORMATION what) {
  const SecurityDescriptor security(sddl);
  return security.get() && SetKernelObjectSecurity(object, what, security.get());
}

bool read_security(HANDLE object, SecurityView& view) {
  std::string security = saved_security(object);
  return !security.empty() && view_from_descriptor(security.data(), view);
}

PSECURITY_DESCRIPTOR SecurityDescriptor::made_from(std::wstring_view sddl) {
  const std::wstring text(sddl);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)
             ? descriptor
             : nullptr;
}

bool security_from_sddl(std::wstring_view sddl, SecurityView& view) {
  const SecurityDescriptor descriptor(sddl);
  return descriptor.get() && view_from_descriptor(descriptor.get(), view);
}

EnabledPrivilege::EnabledPrivilege(const wchar_t* name)
    : token_(own_token(TOKEN_ADJUST_PRIVILEGES)) {
  if (!token_.valid()) return;
  TOKEN_PRIVILEGES wanted = {};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD size = 0;
  if (!LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) ||
      !AdjustTokenPrivileges(token_.get(), FALSE, &wanted, sizeof(previous_), &previous_, &size) ||
      GetLastError() != ERROR_SUCCESS) {
    previous_.PrivilegeCount = 0;  // not held: nothing was changed
  }
}

EnabledPrivilege::~EnabledPrivilege() {
  if (token_.valid() && previous_.PrivilegeCount > 0) {
    AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
  }
}

std::wstring current_user_sid() {
  const UniqueHandle token = own_token(0);
  if (!token.valid()) return {};
  std::vector<unsigned char> buffer(256);
  DWORD needed = 0;
  bool read = false;
  while (!(read = GetTokenInformation(token.get(), TokenUser, buffer.data(), DWORD(buffer.size()),
                                      &needed)) &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
    buffer.resize(needed);
  }
  if (!read) return {};
  return sid_text(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

}  // namespace kestrelon::setup
