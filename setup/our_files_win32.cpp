#include "setup/our_files_win32.h"

#include <algorithm>
#include <array>

#include "app/nt_file_win32.h"
#include "app/settings_file.h"
#include "setup/folder_paths_win32.h"
#include "setup/pending_removals_win32.h"
#include "setup/program_files.h"  // written by CMake into the build folder

namespace kestrelon::setup {
namespace {

// Taken: its facts, owner and list read, its owner and list given.
constexpr ACCESS_MASK kFileRightsAccess =
    FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
// Marked for deletion, its attributes cleared where they would keep it.
constexpr ACCESS_MASK kRemovalAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
constexpr ULONG kKeepingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The files of ours get what they would inherit, as lists of their own; the keeper is for
// reading only.
constexpr wchar_t kProgramFileRights[] = L"O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200A9;;;BU)";
constexpr wchar_t kSettingsFileRights[] =
    L"O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301BF;;;BU)(A;;0x1301BF;;;S-1-3-4)";

constexpr wchar_t kKeeperName[] = L"Folder-de-setari.txt";
// Read in Notepad, which before Windows 11 wraps no line unless told to: lines of at most 72
// columns, CR LF.
constexpr std::string_view kKeeperText =
    "\xEF\xBB\xBF"
    "Acesta este folderul de setări al programului Kestrelon. Aici se\r\n"
    "păstrează fișierul Kestrelon.ini, cu portul și viteza aparatului\r\n"
    "fiscal, scrise de KestrelonScan sau de programul de instalare.\r\n"
    "Comenzile rapide „Raport Z” și „KestrelonScan” și activitatea zilnică\r\n"
    "pornesc programele în acest folder: nu îl mutați și nu îl ștergeți cât\r\n"
    "timp Kestrelon este instalat. Mai multe despre Kestrelon.ini: în ghidul\r\n"
    "de utilizare (meniul Start > „Kestrelon” > „Ghid de utilizare”).\r\n"
    "\r\n"
    "Fișierul de față a fost pus aici de programul de instalare și nu poate\r\n"
    "fi șters de utilizatorii obișnuiți: el păstrează folderul pe loc, ca\r\n"
    "nimeni să nu-l poată înlocui cu o legătură spre alt folder.\r\n";

bool is_keeper(std::wstring_view name, OurFolder kind) {
  return kind == OurFolder::settings && same_name(name, kKeeperName);
}

// The rights a new file of ours would have, as a list of its own.
const wchar_t* file_rights(std::wstring_view name, OurFolder kind) {
  if (kind == OurFolder::program) return kProgramFileRights;
  return is_keeper(name, kind) ? kKeeperRights : kSettingsFileRights;
}

// Looked at: its facts, which the folder's listing right lets the setup read whatever the file's
// own list says, so that a file of ours whose list locks the administrators out can be taken;
// the keeper's list too, which must be the setup's own.
ACCESS_MASK look_access(std::wstring_view name, OurFolder kind) {
  return is_keeper(name, kind) ? FILE_READ_ATTRIBUTES | READ_CONTROL : FILE_READ_ATTRIBUTES;
}

nt::Opened open_file(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                     nt::Intent intent = nt::Intent::plain) {
  return nt::open_relative(folder, name, access, nt::kShareAll, nt::Disposition::open_existing,
                           nt::Kind::file, nullptr, intent);
}

// FILE, opened as itself, as a file of ours must be: a plain file with one name. The keeper must
// be one the setup made: a user who made a file of that name, or opened one with more rights,
// could remove it later, and an empty folder can be made a mount point.
FolderFault file_fault(const nt::Opened& file, std::wstring_view name, OurFolder kind,
                       const std::wstring& me) {
  nt::Facts facts;
  if (!file.handle.valid() || !nt::succeeded(nt::query_facts(file.handle.get(), facts)) ||
      !facts.is_plain_file_with_one_name()) {
    return FolderFault::not_ours;
  }
  SecurityView found;
  if (is_keeper(name, kind) && (!read_security(file.handle.get(), found) ||
                                gives_others_more_than(found, kKeeperRights, me))) {
    return FolderFault::not_ours;
  }
  return FolderFault::none;
}

}  // namespace

bool is_ours(std::wstring_view name, OurFolder kind) {
  const auto matches = [name](std::wstring_view ours) { return same_name(name, ours); };
  if (kind == OurFolder::program) {
    return std::any_of(kProgramFiles.begin(), kProgramFiles.end(), matches);
  }
  // The settings file, what a pin writes beside it, and the keeper.
  const PinFiles pin = pin_files(kSettingsFileName);
  const std::array<std::wstring_view, 5> settings_files = {pin.file, pin.temporary, pin.backup,
                                                           pin.backup_temporary, kKeeperName};
  return std::any_of(settings_files.begin(), settings_files.end(), matches);
}

// Opened for backup with the backup privilege enabled: even a file whose list locks the
// administrators out is looked at (an open for synchronous I/O asks SYNCHRONIZE of its list).
FolderFault look_at_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                         const std::wstring& me) {
  const EnabledPrivilege backup(L"SeBackupPrivilege");
  return file_fault(open_file(folder, name, look_access(name, kind), nt::Intent::backup), name,
                    kind, me);
}

// A user may remove a file of theirs and make it anew with a protected list of their own, in
// which the folder's OWNER RIGHTS entry no longer applies: the others, the administrators too,
// are locked out of it. Opened for backup with the backup and restore privileges enabled (which
// an administrator holds), it is read and given our owner and list all the same, both at once:
// a file whose list cannot be set keeps its owner too.
FolderFault take_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                      const std::wstring& me, std::vector<TakenFile>& taken) {
  const EnabledPrivilege backup(L"SeBackupPrivilege");
  const EnabledPrivilege restore(L"SeRestorePrivilege");
  const nt::Opened file = open_file(folder, name, kFileRightsAccess, nt::Intent::backup);
  if (const FolderFault fault = file_fault(file, name, kind, me); fault != FolderFault::none) {
    return fault;
  }
  TakenFile found{name, saved_security(file.handle.get())};
  if (found.earlier_rights.empty() || !set_security(file.handle.get(), file_rights(name, kind))) {
    return FolderFault::rights_not_set;
  }
  taken.push_back(std::move(found));
  return FolderFault::none;
}

bool give_back_file(HANDLE folder, const TakenFile& file) {
  const EnabledPrivilege backup(L"SeBackupPrivilege");
  const nt::Opened opened = open_file(folder, file.name, kFileRightsAccess, nt::Intent::backup);
  return opened.handle.valid() && restore_security(opened.handle.get(), file.earlier_rights);
}

FolderFault make_keeper(HANDLE folder, bool& made, const wchar_t* rights) {
  // Without them it would be made with what the folder gives.
  const SecurityDescriptor keeper_rights(rights);
  if (!keeper_rights.get()) return FolderFault::rights_not_set;
  // One from an earlier install is already there, checked and given its rights.
  nt::Opened keeper =
      nt::open_relative(folder, kKeeperName, GENERIC_WRITE | DELETE, 0, nt::Disposition::create_new,
                        nt::Kind::file, keeper_rights.get());
  const DWORD error = keeper.error;
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return FolderFault::none;
  if (error != ERROR_SUCCESS) return FolderFault::access_failed;
  DWORD written = 0;
  if (!WriteFile(keeper.handle.get(), kKeeperText.data(), DWORD(kKeeperText.size()), &written,
                 nullptr) ||
      written != kKeeperText.size() || !FlushFileBuffers(keeper.handle.get())) {
    nt::mark_for_deletion(keeper.handle.get());  // no half-written file of ours is left
    return FolderFault::access_failed;
  }
  made = true;
  return FolderFault::none;
}

void remove_keeper(HANDLE folder) {
  const nt::Opened keeper = open_file(folder, kKeeperName, DELETE);
  if (keeper.handle.valid()) nt::mark_for_deletion(keeper.handle.get());
}

bool mark_earlier_program_files(TakenFolder& program, std::wstring& failed) {
  for (const std::wstring_view name : kProgramFiles) {
    nt::Opened file = open_file(program.folder.get(), std::wstring(name), kRemovalAccess);
    if (nt::is_missing(file.error)) continue;
    // Checked to have one name when the folder was taken: its attributes are ours to clear.
    nt::Facts facts;
    MarkedFile marked{std::move(file.handle), 0};
    bool done = marked.file.valid() && nt::succeeded(nt::query_facts(marked.file.get(), facts));
    if (done && (facts.attributes & kKeepingAttributes)) {
      done = nt::succeeded(
          nt::set_attributes(marked.file.get(), facts.attributes & ~kKeepingAttributes));
      marked.earlier_attributes = facts.attributes;
    }
    done = done && nt::succeeded(nt::mark_for_deletion(marked.file.get()));
    if (marked.file.valid()) program.marked.push_back(std::move(marked));
    if (!done) {
      failed = program.path + L"\\" + std::wstring(name);
      unmark_earlier_files(program);
      return false;
    }
  }
  return true;
}

bool unmark_earlier_files(TakenFolder& folder) {
  bool unmarked = true;
  for (const MarkedFile& marked : folder.marked) {
    unmarked = nt::succeeded(nt::mark_for_deletion(marked.file.get(), false)) && unmarked;
    if (marked.earlier_attributes != 0) {
      nt::set_attributes(marked.file.get(), marked.earlier_attributes);
    }
  }
  folder.marked.clear();
  return unmarked;
}

bool remove_earlier_program_files(TakenFolder& program, std::wstring& failed) {
  if (!cancel_pending_removals(program.path)) {
    failed = program.path;
    return false;
  }
  program.marked.clear();  // each goes as its handle closes
  return true;
}

}  // namespace kestrelon::setup
