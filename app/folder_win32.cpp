// The held folder: every file is named relative to the folder's handle and opened as itself,
// through the native calls of nt_file_win32.h.
#include "app/file_system.h"
#include "app/file_system_win32.h"
#include "app/nt_file_win32.h"

namespace kestrelon {
namespace {

// Attributes that keep a file from being replaced or removed, or would pass on to a copy.
constexpr ULONG kKeepingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// What stands under one name in the folder, opened as itself, and what the system says of it.
struct NamedFile {
  nt::Opened opened;
  nt::Facts facts;
};

NamedFile open_named(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                     nt::Kind kind = nt::Kind::file) {
  NamedFile file{nt::open_relative(folder, name, access | FILE_READ_ATTRIBUTES, nt::kShareAll,
                                   nt::Disposition::open_existing, kind),
                 {}};
  if (!file.opened.handle.valid()) return file;
  const DWORD error = nt::query_facts(file.opened.handle.get(), file.facts);
  if (!nt::succeeded(error)) file.opened = {UniqueHandle(), error};
  return file;
}

// Clears what would keep the open file from being replaced or removed; only on a file with one
// name, for another name's file is somebody else's. The attributes to restore come back.
FileResult clear_keeping_attributes(const NamedFile& file, ULONG& earlier) {
  earlier = 0;
  if (!(file.facts.attributes & kKeepingAttributes)) return {};
  if (file.facts.links != 1) return {false, kFileHasOtherNames};
  const DWORD error =
      nt::set_attributes(file.opened.handle.get(), file.facts.attributes & ~kKeepingAttributes);
  if (!nt::succeeded(error)) return failure_of(error);
  earlier = file.facts.attributes;
  return {};
}

void restore_attributes(HANDLE folder, const std::wstring& name, ULONG earlier) {
  if (earlier == 0) return;
  const NamedFile file = open_named(folder, name, FILE_WRITE_ATTRIBUTES);
  if (file.opened.handle.valid() && file.facts.links == 1) {
    nt::set_attributes(file.opened.handle.get(), earlier);
  }
}

class HeldFolder final : public Folder {
 public:
  HeldFolder(UniqueHandle folder, std::wstring shown_path)
      : folder_(std::move(folder)), path_(std::move(shown_path)) {}

  const std::wstring& path() const override { return path_; }

  FileStatus status(const std::wstring& name) override {
    const NamedFile file = open_named(folder_.get(), name, 0, nt::Kind::either);
    const DWORD error = file.opened.error;
    if (nt::is_missing(error)) return {FileStatus::Type::missing, 0, false, {}};
    if (!nt::succeeded(error)) return {FileStatus::Type::error, 0, false, failure_of(error).reason};
    if (file.facts.is_folder()) return {FileStatus::Type::folder, 0, false, {}};
    return {FileStatus::Type::file,
            file.facts.size,
            (file.facts.attributes & FILE_ATTRIBUTE_READONLY) != 0,
            {}};
  }

  std::unique_ptr<NewFile> create(const std::wstring& name, FileResult& result) override {
    result = remove(name);
    if (!result.ok) return nullptr;
    nt::Opened file = nt::open_relative(folder_.get(), name, GENERIC_WRITE, 0,
                                        nt::Disposition::create_new, nt::Kind::file);
    if (!file.handle.valid()) {
      result = failure_of(file.error);
      return nullptr;
    }
    return new_file(std::move(file.handle));
  }

  std::unique_ptr<ReadableFile> open_existing(const std::wstring& name,
                                              FileResult& result) override {
    NamedFile file = open_named(folder_.get(), name, GENERIC_READ);
    result = {};
    if (!file.opened.handle.valid()) {
      result = failure_of(file.opened.error);
    } else if (file.facts.is_link()) {
      result = {false, kFileIsLink, true};
    } else if (!file.facts.is_plain_file_with_one_name()) {
      result = {false, kFileHasOtherNames};
    }
    return result.ok ? readable_file(std::move(file.opened.handle)) : nullptr;
  }

  FileResult replace(const std::wstring& from, const std::wstring& to) override {
    const NamedFile source = open_named(folder_.get(), from, DELETE);
    if (!source.opened.handle.valid()) return failure_of(source.opened.error);
    // Windows refuses to replace a read-only file: its attributes go first, and come back
    // when the replace fails after all. The target's handle is closed before the rename.
    ULONG earlier = 0;
    {
      const NamedFile target = open_named(folder_.get(), to, FILE_WRITE_ATTRIBUTES);
      if (target.opened.handle.valid()) {
        const FileResult cleared = clear_keeping_attributes(target, earlier);
        if (!cleared.ok) return cleared;
      }
    }
    const DWORD error = nt::rename_to(source.opened.handle.get(), folder_.get(), to, true);
    if (nt::succeeded(error)) return {};
    restore_attributes(folder_.get(), to, earlier);
    return failure_of(error);
  }

  FileResult remove(const std::wstring& name) override {
    const NamedFile file = open_named(folder_.get(), name, DELETE | FILE_WRITE_ATTRIBUTES);
    if (nt::is_missing(file.opened.error)) return {};
    if (!file.opened.handle.valid()) return failure_of(file.opened.error);
    ULONG earlier = 0;
    const FileResult cleared = clear_keeping_attributes(file, earlier);
    if (!cleared.ok) return cleared;
    const DWORD error = nt::mark_for_deletion(file.opened.handle.get());
    if (nt::succeeded(error)) return {};  // gone when the handle closes
    if (earlier != 0) nt::set_attributes(file.opened.handle.get(), earlier);
    return failure_of(error);
  }

 private:
  UniqueHandle folder_;
  std::wstring path_;
};

}  // namespace

std::unique_ptr<Folder> adopt_folder(UniqueHandle folder, std::wstring shown_path) {
  return std::make_unique<HeldFolder>(std::move(folder), std::move(shown_path));
}

std::unique_ptr<Folder> Folder::open(const std::wstring& path, FileResult& result) {
  std::wstring shown_path = full_path(path);
  // Nobody renames or removes the folder while it is held: no delete sharing.
  nt::Opened folder = nt::open_relative(
      nullptr, shown_path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nt::Disposition::open_existing, nt::Kind::folder);
  nt::Facts facts;
  if (folder.handle.valid()) folder.error = nt::query_facts(folder.handle.get(), facts);
  if (!nt::succeeded(folder.error)) {
    result = failure_of(folder.error);
    return nullptr;
  }
  if (facts.is_link() || nt::listed_as_link(shown_path)) {
    result = {false, kFolderIsLink, true};
    return nullptr;
  }
  result = {};
  return adopt_folder(std::move(folder.handle), std::move(shown_path));
}

std::wstring Folder::shown(const std::wstring& name) const {
  const std::wstring& folder = path();
  if (!folder.empty() && folder.back() == L'\\') return folder + name;
  return folder + L"\\" + name;
}

}  // namespace kestrelon
