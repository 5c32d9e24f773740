#include "app/settings_file.h"

#include <string>

#include "app/file_system.h"
#include "common/text.h"

namespace kestrelon {

namespace {

constexpr uint32_t kReadChunkSize = 65536;
// Only the key and the value of a line count, and each is kept up to 64 KiB: longer than any
// real entry by far, and a file of one huge line cannot exhaust memory. A line whose key or
// value is longer is ignored as a whole, rather than read as the piece that was kept.
constexpr size_t kLongestField = 65536;

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

// Splits the file into lines at CR LF, LF, CR or NUL and applies each one. Of a line it keeps
// the key, the first "=" and the value; what follows a second "=" is never kept.
class LineReader {
 public:
  explicit LineReader(PortSettings& settings) : settings_(settings) {}

  void feed(std::string_view bytes) {
    for (char byte : bytes) {
      const bool skip_lf = after_cr_ && byte == '\n';
      after_cr_ = byte == '\r';
      if (skip_lf) continue;
      if (byte == '\r' || byte == '\n' || byte == '\0') {
        end_line();
      } else if (byte == '=') {
        if (separators_ == 0) kept_ += byte;
        if (separators_ < 2) ++separators_;
        field_length_ = 0;
      } else if (separators_ < 2 && !too_long_) {
        too_long_ = field_length_ == kLongestField;
        if (!too_long_) kept_ += byte;
        ++field_length_;
      }
    }
  }

  // The last line needs no line end.
  void finish() {
    if (!kept_.empty() || too_long_) end_line();
  }

 private:
  void end_line() {
    if (!too_long_) apply_settings_line(ansi_to_wide(kept_), settings_);
    kept_.clear();
    separators_ = 0;
    field_length_ = 0;
    too_long_ = false;
  }

  PortSettings& settings_;
  std::string kept_;
  int separators_ = 0;
  size_t field_length_ = 0;
  bool too_long_ = false;
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

bool needs_detection(const PortSettings& settings) {
  return settings.port_name.empty() || settings.speed == 0;
}

void read_settings(ReadableFile& file, PortSettings& settings) {
  std::string chunk(kReadChunkSize, '\0');
  LineReader reader(settings);
  for (;;) {
    const int64_t count = file.read(chunk.data(), kReadChunkSize);
    if (count < 0) return;  // a read error would never reach the end of the file
    if (count == 0) break;
    reader.feed(std::string_view(chunk.data(), static_cast<size_t>(count)));
  }
  reader.finish();
}

void read_settings_file(const std::wstring& path, PortSettings& settings) {
  if (file_size(path) < 1) write_new_file(path, kDefaultSettingsFile);
  const std::unique_ptr<ReadableFile> file = ReadableFile::open(path);
  if (!file) return;  // unreadable: the settings keep their values
  read_settings(*file, settings);
}

PortSettings pinned_settings(Folder& folder, const std::wstring& name) {
  PortSettings settings;
  FileResult opened;
  const std::unique_ptr<ReadableFile> file = folder.open_existing(name, opened);
  if (file) read_settings(*file, settings);
  return needs_detection(settings) ? PortSettings() : settings;
}

}  // namespace kestrelon
