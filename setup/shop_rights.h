// Who could change a folder, read from its owner and access list: the setup accepts a folder on
// the way to its own folders only when no ordinary user of the shop could rename, remove or
// re-permission it, or replace what is in it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelon::setup {

struct AccessEntry {
  bool allows = true;         // an allow entry; false: a deny entry
  bool inherit_only = false;  // applies only to what is made inside, not to the folder itself
  uint32_t mask = 0;          // specific and standard rights, generic ones mapped as for a file
  std::wstring sid;           // as text, "S-1-5-32-545"
};

struct SecurityView {
  std::wstring owner;    // as text
  bool has_dacl = true;  // false: no access list at all, every right to everyone
  std::vector<AccessEntry> entries;
};

// SYSTEM, Administrators, TrustedInstaller, or the administrator running the setup.
bool is_administrators_sid(std::wstring_view sid, std::wstring_view installing_user);

// The rights on the folder itself that its list allows to anyone but administrators: every right
// when it has no list. Deny entries are not counted: a user may hold none of the groups a deny
// names (a batch, service, network or guest logon is not INTERACTIVE, nor always a member of
// Users), so only what is allowed decides.
uint32_t rights_of_others(const SecurityView& folder, std::wstring_view installing_user);

// True when an ordinary user of the shop could rename, remove or re-permission the folder (or take
// it as owner), or remove or rename what is in it: its owner is no administrator, or its list
// allows any of that to a SID that is not an administrator's (any such SID may be a user's).
bool shop_users_can_change(const SecurityView& folder, std::wstring_view installing_user);

}  // namespace kestrelon::setup
