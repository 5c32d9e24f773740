// An object's owner and access list: read as the rule reads them (from a handle, or from SDDL),
// saved, put back and set; a privilege enabled for a while; who runs the setup.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "common/local_memory_win32.h"
#include "common/unique_handle_win32.h"
#include "setup/shop_rights.h"

namespace kestrelon::setup {

// A security descriptor made from SDDL, owned; null when the text is not one.
class SecurityDescriptor {
 public:
  explicit SecurityDescriptor(std::wstring_view sddl) : descriptor_(made_from(sddl)) {}
  PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }

 private:
  static PSECURITY_DESCRIPTOR made_from(std::wstring_view sddl);
  LocalMemory<void> descriptor_;
};

// A privilege of the process's token (an elevated administrator's holds SeDebugPrivilege,
// SeTakeOwnershipPrivilege, SeRestorePrivilege...) enabled while this lives, then as it was;
// nothing when the token does not hold it.
class EnabledPrivilege {
 public:
  explicit EnabledPrivilege(const wchar_t* name);
  ~EnabledPrivilege();
  EnabledPrivilege(const EnabledPrivilege&) = delete;
  EnabledPrivilege& operator=(const EnabledPrivilege&) = delete;

 private:
  UniqueHandle token_;
  TOKEN_PRIVILEGES previous_ = {};
};

// The owner and list both, as the setup reads, saves and sets them.
inline constexpr SECURITY_INFORMATION kOwnerAndList =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The owner and list of an open object (opened with READ_CONTROL) as the system gives them, to be
// put back as they were; empty when they cannot be read.
std::string saved_security(HANDLE object);
// Puts back what saved_security gave (an object opened with WRITE_OWNER and WRITE_DAC), with
// SeRestorePrivilege enabled meanwhile: an administrator may otherwise make only itself or
// Administrators an owner, not SYSTEM, TrustedInstaller or the user the object was found with.
// True when put back, or when SAVED is empty (nothing to put back).
bool restore_security(HANDLE object, const std::string& saved);
// Gives an open object (opened with WRITE_OWNER, WRITE_DAC or both) what WHAT names of SDDL; false
// when SDDL is no security descriptor or the system refuses.
bool set_security(HANDLE object, const wchar_t* sddl, SECURITY_INFORMATION what = kOwnerAndList);

// From an open folder or file (opened with READ_CONTROL); false when it cannot be read.
bool read_security(HANDLE object, SecurityView& view);
// From SDDL, e.g. "O:BAD:PAI(A;OICI;FA;;;SY)"; false when the text is not a security descriptor.
bool security_from_sddl(std::wstring_view sddl, SecurityView& view);
// The SID of the account this process runs as, as text; empty when it cannot be read.
std::wstring current_user_sid();

}  // namespace kestrelon::setup
