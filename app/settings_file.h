// The settings file "Kestrelon.ini": port name and speed.
#pragma once

#include <string>
#include <string_view>

#include "app/file_system.h"
#include "device/device_port.h"

namespace kestrelon {

inline constexpr wchar_t kSettingsFileName[] = L"Kestrelon.ini";
// Two commented-out examples, written when the file is missing or empty.
inline constexpr std::string_view kDefaultSettingsFile = ";com=COM1\r\n;port=115200\r\n";
inline constexpr wchar_t kBackupSuffix[] = L".bak";
inline constexpr wchar_t kTemporarySuffix[] = L".tmp";

// The files of a pin of the settings file NAME, all beside it: the backup keeps the file that
// was there before; each temporary holds its file whole until it is put in place.
struct PinFiles {
  std::wstring file;
  std::wstring temporary;
  std::wstring backup;
  std::wstring backup_temporary;
};
PinFiles pin_files(const std::wstring& name);

// Applies one line of the file (already wide text) to the settings.
void apply_settings_line(std::wstring_view line, PortSettings& settings);

// The settings step: writes the default file when needed, then reads every line.
// Never fails; settings not named in the file keep their values.
void read_settings_file(const std::wstring& path, PortSettings& settings);

// True when the settings name no port or a speed of 0: the run then searches for the device.
bool needs_detection(const PortSettings& settings);

// Every line of an open settings file applied to the settings; a read error ends the reading.
void read_settings(ReadableFile& file, PortSettings& settings);

// The port and speed that Kestrelon.exe started in FOLDER would go straight to, read from its
// settings file NAME (opened as itself: never a link, nor a file with another name) without
// writing anything; empty settings when it would search instead.
PortSettings pinned_settings(Folder& folder, const std::wstring& name);

// How pinning the port ended, and the file it is about: the settings file, or the file that
// could not be written, copied or replaced, with the system's words for the reason.
// `already_pinned`: the file held those very settings, and nothing was written.
// `old_kept_aside`: the new file is in place, but neither the backup nor the old file could be
// put back; `file` is then the temporary that keeps the old settings.
enum class PinOutcome {
  pinned,
  already_pinned,
  read_only,
  not_written,
  not_copied,
  not_replaced,
  old_kept_aside
};
struct PinResult {
  PinOutcome outcome = PinOutcome::pinned;
  std::wstring file;
  std::wstring reason;
  bool ok() const { return outcome == PinOutcome::pinned || outcome == PinOutcome::already_pinned; }
};

// Pins the port: the file becomes the two active lines "com=" and "port=" with the settings,
// and the file that was there is kept as its backup (PinFiles). A read-only file is
// left alone, and so is a file that already holds exactly the text a pin would write (its
// backup stays the earlier settings). The new text and the backup are written beside the file
// first, and put in place only when both are complete, so that the file is never found half
// written; when anything fails, the file and any earlier backup are as they were and no
// temporary file is left (but for `old_kept_aside`).
// NAME is the settings file's name inside FOLDER; `file` in the result is shown as
// FOLDER.shown(name).
PinResult pin_settings_file(Folder& folder, const std::wstring& name, const PortSettings& settings);

}  // namespace kestrelon
