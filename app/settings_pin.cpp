// Pinning the port in the settings file: the new file and the backup of the old one are
// written whole beside it first, then put in place, the file before its backup. When the backup
// cannot be put in place, the old file goes back, so that a pin either happens whole or not at
// all. Every file is named inside the held settings folder, never through a path.
#include "app/file_system.h"
#include "app/settings_file.h"
#include "common/text.h"

namespace kestrelon {

namespace {

// A copy holds one chunk in memory at a time, whatever the size of the file.
constexpr uint32_t kCopyChunkSize = 65536;
constexpr wchar_t kNotInTheFolder[] =
    L"Redenumirea a fost raportată ca reușită, dar fișierul nu se află sub noul nume în folder.";

// The pin's files, each one name inside the held folder.
class Pin {
 public:
  Pin(Folder& folder, const std::wstring& name) : folder_(folder), files_(pin_files(name)) {}
  PinResult run(const PortSettings& settings);

 private:
  PinResult failed(PinOutcome outcome, const std::wstring& file, const FileResult& result) const {
    return {outcome, folder_.shown(file), result.reason};
  }
  PinResult write_whole_file(const std::wstring& name, std::string_view bytes);
  PinResult copy_file(const std::wstring& from, const std::wstring& to);
  bool holds_exactly(const std::wstring& name, std::string_view bytes);
  bool is_missing(const std::wstring& name) {
    return folder_.status(name).type == FileStatus::Type::missing;
  }
  PinResult replace(const std::wstring& from, const std::wstring& to);

  Folder& folder_;
  const PinFiles files_;
};

std::string pinned_file_text(const PortSettings& settings) {
  return wide_to_ansi(L"com=" + settings.port_name + L"\r\nport=" + number_to_text(settings.speed) +
                      L"\r\n");
}

PinResult Pin::write_whole_file(const std::wstring& name, std::string_view bytes) {
  FileResult result;
  const std::unique_ptr<NewFile> file = folder_.create(name, result);
  if (file) result = file->write(bytes);
  if (result.ok) result = file->flush();
  return result.ok ? PinResult{} : failed(PinOutcome::not_written, name, result);
}

PinResult Pin::copy_file(const std::wstring& from, const std::wstring& to) {
  FileResult result;
  const std::unique_ptr<ReadableFile> source = folder_.open_existing(from, result);
  if (!source) return failed(PinOutcome::not_copied, from, result);
  const std::unique_ptr<NewFile> copy = folder_.create(to, result);
  if (!copy) return failed(PinOutcome::not_written, to, result);
  std::string chunk(kCopyChunkSize, '\0');
  for (;;) {
    const int64_t count = source->read(chunk.data(), kCopyChunkSize);
    if (count < 0) return failed(PinOutcome::not_copied, from, {false, source->read_failure()});
    if (count == 0) break;
    result = copy->write(std::string_view(chunk.data(), static_cast<size_t>(count)));
    if (!result.ok) return failed(PinOutcome::not_written, to, result);
  }
  result = copy->flush();
  return result.ok ? PinResult{} : failed(PinOutcome::not_written, to, result);
}

// True when the file holds exactly `bytes`: reads at most one byte more than that.
bool Pin::holds_exactly(const std::wstring& name, std::string_view bytes) {
  FileResult result;
  const std::unique_ptr<ReadableFile> file = folder_.open_existing(name, result);
  if (!file) return false;
  std::string held(bytes.size() + 1, '\0');
  size_t count = 0;
  while (count < held.size()) {
    const int64_t read =
        file->read(held.data() + count, static_cast<uint32_t>(held.size() - count));
    if (read <= 0) break;
    count += static_cast<size_t>(read);
  }
  return std::string_view(held.data(), count) == bytes;
}

PinResult Pin::replace(const std::wstring& from, const std::wstring& to) {
  const FileResult result = folder_.replace(from, to);
  return result.ok ? PinResult{} : failed(PinOutcome::not_replaced, to, result);
}

PinResult Pin::run(const PortSettings& settings) {
  const auto& [name, temporary, backup, backup_temporary] = files_;
  const FileStatus status = folder_.status(name);
  // Only a name that is not there at all counts as no file; any other failure is reported.
  if (status.type == FileStatus::Type::error) {
    return failed(PinOutcome::not_copied, name, {false, status.reason});
  }
  const bool had_file = status.type != FileStatus::Type::missing;
  const std::string text = pinned_file_text(settings);
  // Pinning the same port again must not turn the backup into a second copy of it; nor is a
  // read-only file that already says it a failure (a reinstall keeps the port it proposes).
  if (had_file && holds_exactly(name, text)) {
    return {PinOutcome::already_pinned, folder_.shown(name), {}};
  }
  if (status.read_only) return {PinOutcome::read_only, folder_.shown(name), {}};

  PinResult result = write_whole_file(temporary, text);
  if (result.ok() && had_file) result = copy_file(name, backup_temporary);
  if (result.ok()) result = replace(temporary, name);
  // A rename the system reports done is believed only once the held folder shows it: some
  // systems resolve it by the folder's path, which may lead elsewhere by now.
  if (result.ok() && !(holds_exactly(name, text) && is_missing(temporary))) {
    result = failed(PinOutcome::not_replaced, name, {false, kNotInTheFolder});
  }
  if (result.ok() && had_file) {
    result = replace(backup_temporary, backup);
    // The old file goes back in place. Should even that fail, its only copy stays under the
    // temporary name rather than be removed, and the caller is told so.
    if (!result.ok() && !folder_.replace(backup_temporary, name).ok) {
      return {PinOutcome::old_kept_aside, folder_.shown(backup_temporary), result.reason};
    }
    if (result.ok() && !is_missing(backup_temporary)) {
      return {PinOutcome::old_kept_aside, folder_.shown(backup_temporary), kNotInTheFolder};
    }
  }
  if (!result.ok()) {
    folder_.remove(temporary);
    folder_.remove(backup_temporary);
  }
  return result;
}

}  // namespace

PinFiles pin_files(const std::wstring& name) {
  const std::wstring backup = name + kBackupSuffix;
  return {name, name + kTemporarySuffix, backup, backup + kTemporarySuffix};
}

PinResult pin_settings_file(Folder& folder, const std::wstring& name,
                            const PortSettings& settings) {
  return Pin(folder, name).run(settings);
}

}  // namespace kestrelon
