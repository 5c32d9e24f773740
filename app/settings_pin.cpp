// Pinning the port in the settings file: the new file and the backup of the old one are
// written whole beside it first, then put in place, the file before its backup. When the backup
// cannot be put in place, the old file goes back, so that a pin either happens whole or not at
// all.
#include "app/file_system.h"
#include "app/settings_file.h"
#include "common/text.h"

namespace kestrelon {

namespace {

constexpr wchar_t kTemporarySuffix[] = L".tmp";
// A copy holds one chunk in memory at a time, whatever the size of the file.
constexpr uint32_t kCopyChunkSize = 65536;

PinResult failed(PinOutcome outcome, const std::wstring& file, const FileResult& result) {
  return {outcome, file, result.reason};
}

std::string pinned_file_text(const PortSettings& settings) {
  return wide_to_ansi(L"com=" + settings.port_name + L"\r\nport=" + number_to_text(settings.speed) +
                      L"\r\n");
}

PinResult write_whole_file(const std::wstring& name, std::string_view bytes) {
  FileResult result;
  const std::unique_ptr<NewFile> file = NewFile::create(name, result);
  if (file) result = file->write(bytes);
  if (result.ok) result = file->flush();
  return result.ok ? PinResult{} : failed(PinOutcome::not_written, name, result);
}

PinResult copy_file(const std::wstring& from, const std::wstring& to) {
  FileResult result;
  const std::unique_ptr<ReadableFile> source = ReadableFile::open_existing(from, result);
  if (!source) return failed(PinOutcome::not_copied, from, result);
  const std::unique_ptr<NewFile> copy = NewFile::create(to, result);
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
bool holds_exactly(const std::wstring& name, std::string_view bytes) {
  FileResult result;
  const std::unique_ptr<ReadableFile> file = ReadableFile::open_existing(name, result);
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

PinResult replace(const std::wstring& from, const std::wstring& to) {
  const FileResult result = replace_file(from, to);
  return result.ok ? PinResult{} : failed(PinOutcome::not_replaced, to, result);
}

}  // namespace

PinResult pin_settings_file(const std::wstring& path, const PortSettings& settings) {
  if (is_read_only(path)) return {PinOutcome::read_only, path, {}};
  const std::wstring temporary = path + kTemporarySuffix;
  const std::wstring backup = path + kBackupSuffix;
  const std::wstring backup_temporary = backup + kTemporarySuffix;
  const bool had_file = file_size(path) != kFileMissing;
  const std::string text = pinned_file_text(settings);
  // Pinning the same port again must not turn the backup into a second copy of it.
  if (had_file && holds_exactly(path, text)) return {PinOutcome::already_pinned, path, {}};

  PinResult result = write_whole_file(temporary, text);
  if (result.ok() && had_file) result = copy_file(path, backup_temporary);
  if (result.ok()) result = replace(temporary, path);
  if (result.ok() && had_file) {
    result = replace(backup_temporary, backup);
    // The old file goes back in place. Should even that fail, its only copy stays under the
    // temporary name rather than be removed, and the caller is told so.
    if (!result.ok() && !replace_file(backup_temporary, path).ok) {
      return {PinOutcome::old_kept_aside, backup_temporary, result.reason};
    }
  }
  if (!result.ok()) {
    remove_file(temporary);
    remove_file(backup_temporary);
  }
  return result;
}

}  // namespace kestrelon
