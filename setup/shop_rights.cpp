// Who could change a folder: its owner, and what its access list allows to anyone but
// administrators.
#include "setup/shop_rights.h"

#include <algorithm>
#include <array>

namespace kestrelon::setup {
namespace {

// Access rights, as winnt.h numbers them (this file is built without the system's headers).
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kWriteDac = 0x00040000;
constexpr uint32_t kWriteOwner = 0x00080000;
constexpr uint32_t kDeleteChild = 0x00000040;
constexpr uint32_t kFileAllAccess = 0x001F01FF;

// Rename or remove the folder, change its list or owner, remove or rename what is in it.
constexpr uint32_t kChangingRights = kDelete | kWriteDac | kWriteOwner | kDeleteChild;

constexpr std::wstring_view kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr std::array<std::wstring_view, 3> kAdministrators = {L"S-1-5-18", L"S-1-5-32-544",
                                                              kTrustedInstaller};
constexpr std::wstring_view kOwnerRights = L"S-1-3-4";
// CREATOR OWNER, CREATOR GROUP and their server forms stand for nobody on the folder itself:
// they are replaced by the creator when an entry is inherited.
constexpr std::wstring_view kCreatorPrefix = L"S-1-3-";

// SIDs as text are compared as they are: every SID here was written by the system
// (ConvertSidToStringSid: "S-1-5-18", decimal numbers), which has one text for each.
template <size_t N>
bool one_of(std::wstring_view sid, const std::array<std::wstring_view, N>& sids) {
  return std::find(sids.begin(), sids.end(), sid) != sids.end();
}

bool is_creator_sid(std::wstring_view sid) {
  return sid.size() > kCreatorPrefix.size() && sid.starts_with(kCreatorPrefix) &&
         sid != kOwnerRights;
}

// Whether an allow entry for SID may reach an ordinary user. OWNER RIGHTS reaches the owner, who
// is an administrator's by the time entries are read.
bool may_reach_shop_user(std::wstring_view sid, std::wstring_view installing_user) {
  if (sid == kOwnerRights || is_creator_sid(sid)) return false;
  return !is_administrators_sid(sid, installing_user);
}

}  // namespace

bool is_administrators_sid(std::wstring_view sid, std::wstring_view installing_user) {
  if (sid.empty()) return false;
  return one_of(sid, kAdministrators) || sid == installing_user;
}

uint32_t rights_of_others(const SecurityView& folder, std::wstring_view installing_user) {
  if (!folder.has_dacl) return kFileAllAccess;
  uint32_t allowed = 0;
  for (const AccessEntry& entry : folder.entries) {
    if (entry.allows && !entry.inherit_only && may_reach_shop_user(entry.sid, installing_user)) {
      allowed |= entry.mask;
    }
  }
  return allowed;
}

bool shop_users_can_change(const SecurityView& folder, std::wstring_view installing_user) {
  // An owner may always change the list.
  return !is_administrators_sid(folder.owner, installing_user) ||
         (rights_of_others(folder, installing_user) & kChangingRights) != 0;
}

}  // namespace kestrelon::setup
