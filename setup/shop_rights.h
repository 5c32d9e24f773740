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
  uint32_t mask = 0;          // the folder's specific and standard rights, generic ones mapped
  std::wstring sid;           // as text, "S-1-5-32-545"
};

struct SecurityView {
  std::wstring owner;    // as text
  bool has_dacl = true;  // false: no access list at all, every right to everyone
  std::vector<AccessEntry> entries;
};

// SYSTEM, Administrators, TrustedInstaller, or the administrator running the setup.
bool is_administrators_sid(std::wstring_view sid, std::wstring_view installing_user);

// True when an ordinary user of the shop could rename, remove or re-permission the folder (or take
// it as owner), or remove or rename what is in it. Such a user holds Everyone, Authenticated
// Users, Users, INTERACTIVE and an account SID of their own (any SID that is not an
// administrator's counts as possibly theirs). Deny entries count only where every such user is
// denied (Everyone, Authenticated Users, Users, INTERACTIVE), and only before the allow they cut.
bool shop_users_can_change(const SecurityView& folder, std::wstring_view installing_user);

}  // namespace kestrelon::setup
