#include "setup/our_folders_win32.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "app/file_system_win32.h"
#include "setup/folder_paths_win32.h"
#include "setup/pending_removals_win32.h"
#include "setup/security_win32.h"
#include "setup/shop_rights.h"

namespace kestrelon::setup {
namespace {

// Enough to look at a folder and what is in it; taking it adds the right to re-permission it.
// Both include access to its data: an open without it takes no part in sharing, and the held
// handle, which shares no deletion, keeps anyone from renaming or removing the folder.
constexpr ACCESS_MASK kLookAccess =
    READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | FILE_TRAVERSE;
constexpr ACCESS_MASK kHoldAccess = kLookAccess | WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kFileRightsAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr size_t kDriveRootLength = 3;  // "C:\"

// The files of ours get what they would inherit, as lists of their own; the keeper is for
// reading only.
constexpr wchar_t kProgramFileRights[] = L"O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200A9;;;BU)";
constexpr wchar_t kSettingsFileRights[] =
    L"O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301BF;;;BU)(A;;0x1301BF;;;S-1-3-4)";
constexpr wchar_t kKeeperRights[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

// The settings folder's own file, which users may read but not remove: it keeps the folder from
// ever being empty, and only an empty folder can be made a mount point.
constexpr wchar_t kKeeperName[] = L"Folder-de-setari.txt";
constexpr std::string_view kKeeperText =
    "\xEF\xBB\xBF"
    "Acesta este folderul de setări al programului Kestrelon. Aici se află fișierul "
    "Kestrelon.ini, cu portul și viteza aparatului fiscal, scris de KestrelonScan sau de "
    "programul de instalare. Comenzile rapide „Raport Z” și „KestrelonScan” și activitatea "
    "zilnică pornesc programele în acest folder: nu îl mutați și nu îl ștergeți cât timp "
    "Kestrelon este instalat.\r\n"
    "\r\n"
    "Fișierul de față a fost pus aici de programul de instalare și nu poate fi șters de "
    "utilizatori: el păstrează folderul pe loc, ca nimeni să nu-l poată înlocui cu o legătură "
    "spre alt folder.\r\n";

// What each folder may hold when the setup finds it there: its own files only.
constexpr std::array<std::wstring_view, 5> kProgramFiles = {
    L"Kestrelon.exe", L"KestrelonScan.exe", L"Ghid-utilizare.txt", L"Dezinstalare.exe",
    L"Raport-Z-zilnic.xml"};
constexpr std::array<std::wstring_view, 5> kSettingsFiles = {L"Kestrelon.ini", L"Kestrelon.ini.bak",
                                                             L"Kestrelon.ini.tmp",
                                                             L"Kestrelon.ini.bak.tmp", kKeeperName};

constexpr SECURITY_INFORMATION kOwnerAndRights =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

bool set_rights(HANDLE object, const wchar_t* sddl) {
  const SecurityDescriptor security(sddl);
  return security.get() && SetKernelObjectSecurity(object, kOwnerAndRights, security.get());
}

// The owner and rights an object has now, to be put back.
std::string saved_rights(HANDLE object) {
  DWORD needed = 0;
  GetKernelObjectSecurity(object, kOwnerAndRights, nullptr, 0, &needed);
  std::string saved(needed, '\0');
  if (needed == 0 ||
      !GetKernelObjectSecurity(object, kOwnerAndRights, saved.data(), needed, &needed)) {
    return {};
  }
  return saved;
}

void restore_rights(HANDLE object, std::string& saved) {
  if (!saved.empty()) SetKernelObjectSecurity(object, kOwnerAndRights, saved.data());
}

const wchar_t* folder_rights(OurFolder kind) {
  return kind == OurFolder::program ? kProgramFolderRights : kSettingsFolderRights;
}

bool is_ours(std::wstring_view name, OurFolder kind) {
  const auto matches = [name](std::wstring_view ours) { return same_name(name, ours); };
  return kind == OurFolder::program
             ? std::any_of(kProgramFiles.begin(), kProgramFiles.end(), matches)
             : std::any_of(kSettingsFiles.begin(), kSettingsFiles.end(), matches);
}

bool is_missing(const nt::Opened& opened) {
  return nt::is_missing(opened.error);
}

FolderFault open_fault(const nt::Opened& opened) {
  return opened.error == ERROR_DIRECTORY ? FolderFault::not_ours : FolderFault::not_written;
}

// A plain folder, PATH: no link, not a file.
FolderFault plain_folder_fault(HANDLE folder, const std::wstring& path) {
  nt::Facts facts;
  if (!nt::succeeded(nt::query_facts(folder, facts))) return FolderFault::not_written;
  if (facts.is_link() || nt::listed_as_link(path)) return FolderFault::link;
  return facts.is_folder() ? FolderFault::none : FolderFault::not_ours;
}

// A folder on the way: plain, and nobody but administrators may rename or re-permission it,
// nor remove or rename what is in it.
// A drive's root is its volume's own root, never a link (Wine reports a drive mapped through a
// link as one): only its rights count.
FolderFault way_fault(HANDLE folder, const std::wstring& path, const std::wstring& me) {
  const bool root = path.size() <= kDriveRootLength;
  const FolderFault fault = root ? FolderFault::none : plain_folder_fault(folder, path);
  if (fault != FolderFault::none) return fault;
  SecurityView view;
  return read_security(folder, view) && !shop_users_can_change(view, me)
             ? FolderFault::none
             : FolderFault::users_may_change;
}

// A user may remove a file of theirs and make it anew with a protected list of their own, in which
// the folder's OWNER RIGHTS entry no longer applies: the others, the setup too, are locked out.
// An administrator may take any file (SeTakeOwnershipPrivilege grants the right to change its
// owner whatever its list says), and an owner may change its list: the file opened again, as
// the administrators'.
nt::Opened taken_as_owner(HANDLE folder, const std::wstring& name) {
  const EnabledPrivilege take(L"SeTakeOwnershipPrivilege");
  const nt::Opened owner = nt::open_relative(folder, name, WRITE_OWNER, kShareAll,
                                             nt::Disposition::open_existing, nt::Kind::file);
  const SecurityDescriptor administrators(L"O:BA");
  if (!owner.handle.valid() || !administrators.get() ||
      !SetKernelObjectSecurity(owner.handle.get(), OWNER_SECURITY_INFORMATION,
                               administrators.get())) {
    return {};
  }
  return nt::open_relative(folder, name, kFileRightsAccess, kShareAll,
                           nt::Disposition::open_existing, nt::Kind::file);
}

// A file of ours found in the folder: opened as itself, a plain file with one name. When
// taking, it gets, through that same open, the rights a new file of ours would have.
// The keeper must be one the setup made: a user who made a file of that name, or opened one with
// more rights, could remove it later, and an empty folder can be made a mount point.
FolderFault file_fault(HANDLE folder, const std::wstring& name, OurFolder kind, bool take,
                       const std::wstring& me) {
  nt::Opened file = nt::open_relative(folder, name, FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll,
                                      nt::Disposition::open_existing, nt::Kind::file);
  nt::Facts facts;
  if (!file.handle.valid() || !nt::succeeded(nt::query_facts(file.handle.get(), facts)) ||
      !facts.is_plain_file_with_one_name()) {
    return FolderFault::not_ours;
  }
  const bool keeper = kind == OurFolder::settings && same_name(name, kKeeperName);
  SecurityView found;
  if (keeper && (!read_security(file.handle.get(), found) ||
                 gives_others_more_than(found, kKeeperRights, me))) {
    return FolderFault::not_ours;
  }
  if (!take) return FolderFault::none;
  // Re-opened relative to the folder, which only administrators can change by now: the same file.
  nt::Opened rights = nt::open_relative(folder, name, kFileRightsAccess, kShareAll,
                                        nt::Disposition::open_existing, nt::Kind::file);
  if (!rights.handle.valid() && rights.error == ERROR_ACCESS_DENIED) {
    rights = taken_as_owner(folder, name);
  }
  const wchar_t* sddl = kind == OurFolder::program ? kProgramFileRights
                        : keeper                   ? kKeeperRights
                                                   : kSettingsFileRights;
  return rights.handle.valid() && set_rights(rights.handle.get(), sddl)
             ? FolderFault::none
             : FolderFault::rights_not_set;
}

// The folder itself, found on the disk: a plain folder of the administrators' holding nothing
// but files of ours. When taking, it is locked to administrators before anything in it is
// looked at, so that nothing can be added meanwhile; a refused folder gets its rights back.
FolderFault existing_folder_fault(HANDLE folder, const std::wstring& path, OurFolder kind,
                                  bool take, const std::wstring& me, std::string& earlier) {
  FolderFault fault = plain_folder_fault(folder, path);
  if (fault != FolderFault::none) return fault;
  SecurityView view;
  if (!read_security(folder, view)) return FolderFault::not_written;
  if (!is_administrators_sid(view.owner, me)) return FolderFault::not_administrators;
  // Judged before anything is changed: rights are checked when a handle is opened, so the lock
  // below does not reach one opened while the list gave more.
  if (gives_others_more_than(view, folder_rights(kind), me)) return FolderFault::users_could_write;
  if (take) {
    earlier = saved_rights(folder);
    if (earlier.empty() || !set_rights(folder, kAdministratorsOnly)) {
      return FolderFault::rights_not_set;
    }
  }
  std::vector<std::wstring> names;
  if (!nt::succeeded(nt::list_names(folder, names))) fault = FolderFault::not_written;
  for (const std::wstring& name : names) {
    if (fault != FolderFault::none) break;
    fault = is_ours(name, kind) ? file_fault(folder, name, kind, take, me) : FolderFault::not_ours;
  }
  if (take && fault != FolderFault::none) {
    restore_rights(folder, earlier);
    earlier.clear();
  }
  return fault;
}

// Its own file, then the users' rights: users get none while the folder could still be empty.
FolderFault make_ours(HANDLE folder, OurFolder kind, bool& keeper_made) {
  const auto finish = [folder, kind] {
    return set_rights(folder, folder_rights(kind)) ? FolderFault::none
                                                   : FolderFault::rights_not_set;
  };
  if (kind == OurFolder::settings) {
    const SecurityDescriptor keeper_rights(kKeeperRights);
    // One from an earlier install is already there, checked and given its rights.
    nt::Opened keeper =
        nt::open_relative(folder, kKeeperName, GENERIC_WRITE | DELETE, 0,
                          nt::Disposition::create_new, nt::Kind::file, keeper_rights.get());
    const DWORD error = keeper.error;
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return finish();
    if (error != ERROR_SUCCESS || !keeper_rights.get()) return FolderFault::not_written;
    DWORD written = 0;
    if (!WriteFile(keeper.handle.get(), kKeeperText.data(), DWORD(kKeeperText.size()), &written,
                   nullptr) ||
        written != kKeeperText.size() || !FlushFileBuffers(keeper.handle.get())) {
      nt::mark_for_deletion(keeper.handle.get());  // no half-written file of ours is left
      return FolderFault::not_written;
    }
    keeper_made = true;
  }
  return finish();
}

// "C:\" and the names below it.
std::vector<std::wstring> split(const std::wstring& path, std::wstring& root) {
  root = path.substr(0, kDriveRootLength);
  std::vector<std::wstring> names;
  size_t start = kDriveRootLength;
  while (start < path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Checks or takes PATH, a folder at a time from the drive's root, each opened relative to the
// one above it.
FolderCheck walk(const std::wstring& path, OurFolder kind, bool take, TakenFolder& taken) {
  const std::wstring me = current_user_sid();
  std::wstring shown;
  const std::vector<std::wstring> names = split(path, shown);
  nt::Opened root = nt::open_relative(nullptr, shown, kLookAccess, kShareAll,
                                      nt::Disposition::open_existing, nt::Kind::folder);
  if (!root.handle.valid()) {
    return {take || !is_missing(root) ? FolderFault::not_written : FolderFault::none, shown};
  }
  if (const FolderFault fault = way_fault(root.handle.get(), shown, me);
      fault != FolderFault::none) {
    return {fault, shown};
  }
  taken.way.push_back(std::move(root.handle));
  const SecurityDescriptor made_on_the_way(kProgramFolderRights);
  const SecurityDescriptor made_last(kAdministratorsOnly);
  // Never a folder made with what its parent gives.
  if (take && (!made_on_the_way.get() || !made_last.get())) {
    return {FolderFault::rights_not_set, path};
  }
  taken.names = names;
  taken.first_made = names.size();
  std::wstring above_path = shown;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    shown += (i == 0 ? L"" : L"\\") + names[i];
    nt::Opened opened =
        nt::open_relative(taken.way.back().get(), names[i], take ? kHoldAccess : kLookAccess,
                          take ? kShareNoDelete : kShareAll,
                          take ? nt::Disposition::open_or_create : nt::Disposition::open_existing,
                          nt::Kind::folder, last ? made_last.get() : made_on_the_way.get());
    if (!opened.handle.valid()) {
      return {!take && is_missing(opened) ? FolderFault::none : open_fault(opened), shown};
    }
    if (opened.created) {
      taken.first_made = std::min(taken.first_made, i);
    } else {
      const FolderFault fault = last ? existing_folder_fault(opened.handle.get(), shown, kind, take,
                                                             me, taken.earlier_rights)
                                     : way_fault(opened.handle.get(), shown, me);
      if (fault != FolderFault::none) return {fault, shown};
    }
    const HANDLE above = taken.way.back().get();
    (last ? taken.folder : taken.way.emplace_back()) = std::move(opened.handle);
    // A folder on the way in which users may create files could have been made a mount point
    // while it was empty, after its check; holding a folder in it now, it never can again.
    if (take && i > 0 && plain_folder_fault(above, above_path) != FolderFault::none) {
      return {FolderFault::link, above_path};
    }
    above_path = shown;
  }
  taken.path = path;
  if (!take) return {};
  FolderFault fault = make_ours(taken.folder.get(), kind, taken.keeper_made);
  // The same for the settings folder itself, now that the keeper is in it.
  if (fault == FolderFault::none &&
      plain_folder_fault(taken.folder.get(), path) != FolderFault::none) {
    fault = FolderFault::link;
  }
  return {fault, path};
}

// Removes the empty folder NAME from PARENT, as itself.
void remove_empty_folder(HANDLE parent, const std::wstring& name) {
  const nt::Opened folder = nt::open_relative(parent, name, DELETE, kShareAll,
                                              nt::Disposition::open_existing, nt::Kind::folder);
  if (folder.handle.valid()) nt::mark_for_deletion(folder.handle.get());
}

}  // namespace

bool gives_others_more_than(const SecurityView& found, const wchar_t* ours,
                            std::wstring_view installing_user) {
  SecurityView our_view;
  if (!security_from_sddl(ours, our_view)) return true;
  return !is_administrators_sid(found.owner, installing_user) ||
         (rights_of_others(found, installing_user) &
          ~rights_of_others(our_view, installing_user)) != 0;
}

FolderCheck check_folder(const std::wstring& path, OurFolder kind) {
  TakenFolder looked;
  return walk(path, kind, false, looked);
}

FolderCheck take_folder(const std::wstring& path, OurFolder kind, TakenFolder& taken) {
  const FolderCheck check = walk(path, kind, true, taken);
  if (check.fault != FolderFault::none) give_back(taken);
  return check;
}

void give_back(TakenFolder& taken) {
  if (taken.keeper_made) {
    const nt::Opened keeper = nt::open_relative(taken.folder.get(), kKeeperName, DELETE, kShareAll,
                                                nt::Disposition::open_existing, nt::Kind::file);
    if (keeper.handle.valid()) nt::mark_for_deletion(keeper.handle.get());
  }
  if (taken.folder.valid()) restore_rights(taken.folder.get(), taken.earlier_rights);
  // The folders it made, the deepest first: each let go, then removed through its parent.
  taken.folder = {};
  for (size_t i = taken.names.size(); i-- > taken.first_made;) {
    if (i + 1 < taken.way.size()) taken.way.resize(i + 1);
    if (i < taken.way.size()) remove_empty_folder(taken.way[i].get(), taken.names[i]);
  }
  taken = {};
}

std::unique_ptr<Folder> files_of(const TakenFolder& taken) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), taken.folder.get(), GetCurrentProcess(), &copy, 0,
                       FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return adopt_folder(UniqueHandle(copy), taken.path);
}

bool remove_earlier_program_files(const TakenFolder& program, std::wstring& failed) {
  if (!cancel_pending_removals(program.path)) {
    failed = program.path;
    return false;
  }
  const std::unique_ptr<Folder> folder = files_of(program);
  if (!folder) {
    failed = program.path;
    return false;
  }
  for (const std::wstring_view name : kProgramFiles) {
    // Checked to have one name when the folder was taken: its attributes are ours to clear.
    if (!folder->remove(std::wstring(name)).ok) {
      failed = program.path + L"\\" + std::wstring(name);
      return false;
    }
  }
  return true;
}

}  // namespace kestrelon::setup
