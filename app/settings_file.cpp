#include "app/settings_file.h"

#include <string>

#include "app/file_system.h"
#include "common/text.h"

namespace kestrelon {

namespace {

constexpr uint32_t kReadChunkSize = 65536;
// A line keeps at most its first 64 KiB; the rest of it, up to its end, is dropped. Longer
// than any real entry by far, and it keeps a file of one huge line from exhausting memory.
constexpr size_t kLongestLine = 65536;
constexpr wchar_t kTemporarySuffix[] = L".tmp";

std::wstring upper_trimmed(std::wstring_view text) {
  return upper_case(trim_spaces(text));
}

// One pass from the left over non-overlapping occurrences; what remains is not searched again.
std::wstring remove_com(std::wstring_view value) {
  std::wstring rest;
  for (size_t at = 0; at < value.size();) {
    if (value.substr(at, 3) == L"COM") {
      at += 3;
    } else {
      rest += value[at++];
    }
  }
  return rest;
}

// Only the key and the value count: the bytes after a second "=" are never converted.
void apply_settings_bytes(std::string_view line, PortSettings& settings) {
  const size_t first = line.find('=');
  const size_t second = first == line.npos ? line.npos : line.find('=', first + 1);
  apply_settings_line(ansi_to_wide(line.substr(0, second)), settings);
}

// Splits the file into lines at CR LF, LF, CR or NUL and applies each one.
class LineReader {
 public:
  explicit LineReader(PortSettings& settings) : settings_(settings) {}

  void feed(std::string_view bytes) {
    for (char byte : bytes) {
      const bool skip_lf = after_cr_ && byte == '\n';
      after_cr_ = byte == '\r';
      if (skip_lf) continue;
      if (byte == '\r' || byte == '\n' || byte == '\0') {
        apply_settings_bytes(line_, settings_);
        line_.clear();
      } else if (line_.size() < kLongestLine) {
        line_ += byte;
      }
    }
  }

  // The last line needs no line end.
  void finish() {
    if (!line_.empty()) apply_settings_bytes(line_, settings_);
    line_.clear();
  }

 private:
  PortSettings& settings_;
  std::string line_;
  bool after_cr_ = false;
};

}  // namespace

void apply_settings_line(std::wstring_view line, PortSettings& settings) {
  const std::wstring key = upper_trimmed(field(line, 1, L"="));
  if (key == L"COM") {
    settings.port_name = L"COM" + remove_com(upper_trimmed(field(line, 2, L"=")));
  } else if (key == L"PORT") {
    const int64_t value = text_to_integer(upper_trimmed(field(line, 2, L"=")));
    settings.speed = static_cast<int32_t>(static_cast<uint32_t>(value));
  }
}

void read_settings_file(const std::wstring& path, PortSettings& settings) {
  if (file_size(path) < 1) write_new_file(path, kDefaultSettingsFile);
  const std::unique_ptr<ReadableFile> file = ReadableFile::open(path);
  if (!file) return;  // unreadable: the settings keep their values
  std::string chunk(kReadChunkSize, '\0');
  LineReader reader(settings);
  for (;;) {
    const int64_t count = file->read(chunk.data(), kReadChunkSize);
    if (count < 0) return;  // a read error would never reach the end of the file
    if (count == 0) break;
    reader.feed(std::string_view(chunk.data(), static_cast<size_t>(count)));
  }
  reader.finish();
}

FileResult pin_settings_file(const std::wstring& path, const PortSettings& settings) {
  const std::string text = wide_to_ansi(L"com=" + settings.port_name + L"\r\nport=" +
                                        number_to_text(settings.speed) + L"\r\n");
  const std::wstring temporary = path + kTemporarySuffix;
  FileResult result = write_whole_file(temporary, text);
  if (result.ok && file_size(path) != kFileMissing) result = copy_file(path, path + kBackupSuffix);
  if (result.ok) result = replace_file(temporary, path);
  if (!result.ok) remove_file(temporary);
  return result;
}

}  // namespace kestrelon
