#include "setup/our_files_win32.h"

#include <algorithm>
#include <array>
#include <memory>

#include "app/nt_file_win32.h"
#include "app/settings_file.h"
#include "setup/folder_paths_win32.h"
#include "setup/pending_removals_win32.h"
#include "setup/program_files.h"  // written by CMake into the build folder

namespace kestrelon::setup {
namespace {

// Taken: its facts and list read, its rights given.
constexpr ACCESS_MASK kFileRightsAccess =
    FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER;

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

nt::Opened open_file(HANDLE folder, const std::wstring& name, ACCESS_MASK access) {
  return nt::open_relative(folder, name, access, nt::kShareAll, nt::Disposition::open_existing,
                           nt::Kind::file);
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

// A user may remove a file of theirs and make it anew with a protected list of their own, in which
// the folder's OWNER RIGHTS entry no longer applies: the others, the setup too, are locked out.
// An administrator may take any file (SeTakeOwnershipPrivilege grants the right to change its
// owner whatever its list says), and an owner may change its list: the file opened again, as
// the administrators'.
nt::Opened taken_as_owner(HANDLE folder, const std::wstring& name) {
  const EnabledPrivilege take(L"SeTakeOwnershipPrivilege");
  const nt::Opened owner = open_file(folder, name, WRITE_OWNER);
  if (!owner.handle.valid() ||
      !set_security(owner.handle.get(), L"O:BA", OWNER_SECURITY_INFORMATION)) {
    return {};
  }
  return open_file(folder, name, kFileRightsAccess);
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

FolderFault look_at_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                         const std::wstring& me) {
  return file_fault(open_file(folder, name, look_access(name, kind)), name, kind, me);
}

FolderFault take_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                      const std::wstring& me) {
  nt::Opened file = open_file(folder, name, kFileRightsAccess);
  // Its list keeps the administrators from changing it: looked at as it is, then taken as theirs.
  const bool locked_out = file.error == ERROR_ACCESS_DENIED;
  if (locked_out) file = open_file(folder, name, look_access(name, kind));
  if (const FolderFault fault = file_fault(file, name, kind, me); fault != FolderFault::none) {
    return fault;
  }
  if (locked_out) file = taken_as_owner(folder, name);
  return file.handle.valid() && set_security(file.handle.get(), file_rights(name, kind))
             ? FolderFault::none
             : FolderFault::rights_not_set;
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
