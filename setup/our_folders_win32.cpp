#include "setup/our_folders_win32.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "app/file_system_win32.h"
#include "setup/folder_paths_win32.h"
#include "setup/our_files_win32.h"
#include "setup/security_win32.h"
#include "setup/shop_rights.h"

namespace kestrelon::setup {
namespace {

// Enough to look at a folder and what is in it, and to hold it: the access to its data makes the
// open take part in sharing, so that the held handle, which shares no deletion, keeps anyone from
// renaming or removing the folder. Folders on the way are only looked at and held: Windows gives
// administrators no more than Modify on Program Files itself.
constexpr ACCESS_MASK kLookAccess =
    READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | FILE_TRAVERSE;
// What making a folder ours changes, its owner and list, and reading them to give them back.
constexpr ACCESS_MASK kRightsAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
constexpr ULONG kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

const wchar_t* folder_rights(OurFolder kind) {
  return kind == OurFolder::program ? kProgramFolderRights : kSettingsFolderRights;
}

FolderFault open_fault(DWORD error) {
  return error == ERROR_DIRECTORY ? FolderFault::not_ours : FolderFault::access_failed;
}

// PATH as the folders it goes through: the drive's root, then the names below it.
struct PathParts {
  std::wstring root;  // "C:\"
  std::vector<std::wstring> names;

  // The path of the first COUNT folders below the root (the root itself for none).
  std::wstring path_to(size_t count) const {
    std::wstring path = root;
    for (size_t i = 0; i < count; ++i) path += (i == 0 ? L"" : L"\\") + names[i];
    return path;
  }
};

PathParts split(const std::wstring& path) {
  PathParts parts{path.substr(0, kDriveRootLength), {}};
  size_t start = kDriveRootLength;
  while (start < path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) parts.names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

nt::Opened open_root(const PathParts& parts) {
  return nt::open_relative(nullptr, parts.root, kLookAccess, nt::kShareAll,
                           nt::Disposition::open_existing, nt::Kind::folder);
}

// The folder NAME in PARENT, held; made with RIGHTS when it is not there.
nt::Opened open_or_make(HANDLE parent, const std::wstring& name, PSECURITY_DESCRIPTOR rights) {
  const auto open = [&](nt::Disposition disposition) {
    return nt::open_relative(parent, name, kLookAccess, kShareNoDelete, disposition,
                             nt::Kind::folder, rights);
  };
  nt::Opened folder = open(nt::Disposition::open_existing);
  if (!nt::is_missing(folder.error)) return folder;
  folder = open(nt::Disposition::create_new);
  // Made meanwhile by somebody else: looked at as found.
  const bool made_meanwhile =
      folder.error == ERROR_ALREADY_EXISTS || folder.error == ERROR_FILE_EXISTS;
  return made_meanwhile ? open(nt::Disposition::open_existing) : std::move(folder);
}

// The folder NAME in PARENT opened again, to read and change its owner and list. While the
// setup holds it (sharing no deletion), nobody can rename or replace it: this is the same folder.
nt::Opened rights_of(HANDLE parent, const std::wstring& name) {
  return nt::open_relative(parent, name, kRightsAccess, nt::kShareAll,
                           nt::Disposition::open_existing, nt::Kind::folder);
}

// A plain folder, PATH: no link, not a file.
FolderFault plain_folder_fault(HANDLE folder, const std::wstring& path) {
  nt::Facts facts;
  if (!nt::succeeded(nt::query_facts(folder, facts))) return FolderFault::access_failed;
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

// The folder itself, found on the disk, as the setup may take it: a plain folder of the
// administrators' whose list gives others no more than ours.
FolderFault found_folder_fault(HANDLE folder, const std::wstring& path, OurFolder kind,
                               const std::wstring& me) {
  if (const FolderFault fault = plain_folder_fault(folder, path); fault != FolderFault::none) {
    return fault;
  }
  SecurityView view;
  if (!read_security(folder, view)) return FolderFault::access_failed;
  if (!is_administrators_sid(view.owner, me)) return FolderFault::not_administrators;
  return gives_others_more_than(view, folder_rights(kind), me) ? FolderFault::users_could_write
                                                               : FolderFault::none;
}

// STEP for each name in FOLDER, up to the first that fails: its fault.
template <typename Step>
FolderFault each_name(HANDLE folder, Step step) {
  std::vector<std::wstring> names;
  if (!nt::succeeded(nt::list_names(folder, names))) return FolderFault::access_failed;
  for (const std::wstring& name : names) {
    if (const FolderFault fault = step(name); fault != FolderFault::none) return fault;
  }
  return FolderFault::none;
}

// The folder found where ours is to be, looked at: it, then each name in it, a file of ours.
FolderFault look_at_found_folder(HANDLE folder, const std::wstring& path, OurFolder kind,
                                 const std::wstring& me) {
  if (const FolderFault fault = found_folder_fault(folder, path, kind, me);
      fault != FolderFault::none) {
    return fault;
  }
  return each_name(folder, [&](const std::wstring& name) {
    return is_ours(name, kind) ? look_at_file(folder, name, kind, me) : FolderFault::not_ours;
  });
}

// The folder found where ours is to be (NAME in PARENT, held as FOLDER), taken. Judged as it was
// found, before anything changes: access is checked when a handle is opened, so the lock does not
// reach one opened while its list gave more. Then locked to administrators, so that nothing can
// be added while each name in it is checked and given our rights; what each had is kept in TAKEN
// to be given back.
FolderFault take_found_folder(HANDLE parent, const std::wstring& name, HANDLE folder,
                              const std::wstring& path, OurFolder kind, const std::wstring& me,
                              TakenFolder& taken) {
  if (const FolderFault fault = found_folder_fault(folder, path, kind, me);
      fault != FolderFault::none) {
    return fault;
  }
  const nt::Opened rights = rights_of(parent, name);
  if (!rights.handle.valid()) return FolderFault::rights_not_set;
  taken.earlier_rights = saved_security(rights.handle.get());
  if (taken.earlier_rights.empty()) return FolderFault::rights_not_set;
  if (!set_security(rights.handle.get(), kAdministratorsOnly)) {
    taken.earlier_rights.clear();  // nothing changed
    return FolderFault::rights_not_set;
  }
  return each_name(folder, [&](const std::wstring& file) {
    return is_ours(file, kind) ? take_file(folder, file, kind, me, taken.files)
                               : FolderFault::not_ours;
  });
}

// Its own file, then the users' rights: users get none while the folder could still be empty.
FolderFault make_ours(TakenFolder& taken, OurFolder kind) {
  if (kind == OurFolder::settings) {
    const FolderFault fault = make_keeper(taken.folder.get(), taken.keeper_made);
    if (fault != FolderFault::none) return fault;
  }
  const nt::Opened rights = rights_of(taken.way.back().get(), taken.names.back());
  return rights.handle.valid() && set_security(rights.handle.get(), folder_rights(kind))
             ? FolderFault::none
             : FolderFault::rights_not_set;
}

// Takes PATH a folder at a time from the drive's root down, each opened relative to the one
// above it, as itself, or made there; TAKEN holds them, and what taking changed.
FolderCheck take(const std::wstring& path, OurFolder kind, TakenFolder& taken) {
  // Never a folder made with what its parent gives.
  const SecurityDescriptor made_on_the_way(kProgramFolderRights);
  const SecurityDescriptor made_last(kAdministratorsOnly);
  if (!made_on_the_way.get() || !made_last.get()) return {FolderFault::rights_not_set, path};
  const std::wstring me = current_user_sid();
  const PathParts parts = split(path);
  nt::Opened root = open_root(parts);
  if (!root.handle.valid()) return {FolderFault::access_failed, parts.root};
  if (const FolderFault fault = way_fault(root.handle.get(), parts.root, me);
      fault != FolderFault::none) {
    return {fault, parts.root};
  }
  taken.path = path;
  taken.way.push_back(std::move(root.handle));
  taken.names = parts.names;
  taken.first_made = parts.names.size();
  for (size_t i = 0; i < parts.names.size(); ++i) {
    const bool last = i + 1 == parts.names.size();
    const std::wstring shown = parts.path_to(i + 1);
    const HANDLE parent = taken.way.back().get();
    // 1. Opened as itself and held, or made with the rights it must have.
    nt::Opened folder =
        open_or_make(parent, parts.names[i], last ? made_last.get() : made_on_the_way.get());
    if (!folder.handle.valid()) return {open_fault(folder.error), shown};
    if (folder.created) taken.first_made = std::min(taken.first_made, i);
    (last ? taken.folder : taken.way.emplace_back()) = std::move(folder.handle);
    // 2. One that was there: on the way, checked; the last one, taken.
    if (!folder.created) {
      const FolderFault fault = last ? take_found_folder(parent, parts.names[i], taken.folder.get(),
                                                         shown, kind, me, taken)
                                     : way_fault(taken.way.back().get(), shown, me);
      if (fault != FolderFault::none) return {fault, shown};
    }
    // 3. The folder above, again: one in which users may create files could have been made a
    // mount point while it was empty, after its check; holding a folder in it now, it never can.
    if (i > 0 && plain_folder_fault(taken.way[i].get(), parts.path_to(i)) != FolderFault::none) {
      return {FolderFault::link, parts.path_to(i)};
    }
  }
  // 4. Its own file and its rights; then the same look at the folder itself, never empty now.
  FolderFault fault = make_ours(taken, kind);
  if (fault == FolderFault::none &&
      plain_folder_fault(taken.folder.get(), path) != FolderFault::none) {
    fault = FolderFault::link;
  }
  return {fault, path};
}

// Removes the empty folder NAME from PARENT, as itself.
void remove_empty_folder(HANDLE parent, const std::wstring& name) {
  const nt::Opened folder = nt::open_relative(parent, name, DELETE, nt::kShareAll,
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
  const std::wstring me = current_user_sid();
  const PathParts parts = split(path);
  nt::Opened above = open_root(parts);
  if (!above.handle.valid()) {
    return {nt::is_missing(above.error) ? FolderFault::none : FolderFault::access_failed,
            parts.root};
  }
  if (const FolderFault fault = way_fault(above.handle.get(), parts.root, me);
      fault != FolderFault::none) {
    return {fault, parts.root};
  }
  for (size_t i = 0; i < parts.names.size(); ++i) {
    const std::wstring shown = parts.path_to(i + 1);
    nt::Opened folder =
        nt::open_relative(above.handle.get(), parts.names[i], kLookAccess, nt::kShareAll,
                          nt::Disposition::open_existing, nt::Kind::folder);
    // What is missing from here down, taking the folder makes.
    if (nt::is_missing(folder.error)) return {FolderFault::none, shown};
    if (!folder.handle.valid()) return {open_fault(folder.error), shown};
    const FolderFault fault = i + 1 == parts.names.size()
                                  ? look_at_found_folder(folder.handle.get(), shown, kind, me)
                                  : way_fault(folder.handle.get(), shown, me);
    if (fault != FolderFault::none) return {fault, shown};
    above = std::move(folder);
  }
  return {};
}

FolderCheck take_folder(const std::wstring& path, OurFolder kind, TakenFolder& taken) {
  FolderCheck check = take(path, kind, taken);
  if (check.fault != FolderFault::none && !give_back(taken)) {
    check = {FolderFault::not_given_back, path};
  }
  return check;
}

bool give_back(TakenFolder& taken) {
  bool given_back = unmark_earlier_files(taken);
  if (taken.keeper_made) remove_keeper(taken.folder.get());
  for (auto file = taken.files.rbegin(); file != taken.files.rend(); ++file) {
    given_back = give_back_file(taken.folder.get(), *file) && given_back;
  }
  if (!taken.earlier_rights.empty()) {
    const nt::Opened rights = rights_of(taken.way.back().get(), taken.names.back());
    given_back = rights.handle.valid() &&
                 restore_security(rights.handle.get(), taken.earlier_rights) && given_back;
  }
  // The folders it made, the deepest first: each let go, then removed through its parent.
  taken.folder = {};
  for (size_t i = taken.names.size(); i-- > taken.first_made;) {
    if (i + 1 < taken.way.size()) taken.way.resize(i + 1);
    if (i < taken.way.size()) remove_empty_folder(taken.way[i].get(), taken.names[i]);
  }
  taken = {};
  return given_back;
}

std::unique_ptr<Folder> files_of(const TakenFolder& taken) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), taken.folder.get(), GetCurrentProcess(), &copy, 0,
                       FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return adopt_folder(UniqueHandle(copy), taken.path);
}

}  // namespace kestrelon::setup
