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
// Where the file that was there before the port was pinned is kept: the name, then this.
inline constexpr wchar_t kBackupSuffix[] = L".bak";

// Applies one line of the file (already wide text) to the settings.
void apply_settings_line(std::wstring_view line, PortSettings& settings);

// The settings step: writes the default file when needed, then reads every line.
// Never fails; settings not named in the file keep their values.
void read_settings_file(const std::wstring& path, PortSettings& settings);

// Pins the port: the file becomes the two active lines "com=" and "port=" with the settings,
// and the file that was there is kept as the same name with kBackupSuffix. The new text is
// written beside the file first and then put in its place, so that the file is never found
// half written; when anything fails, the file is as it was and the reason is returned.
FileResult pin_settings_file(const std::wstring& path, const PortSettings& settings);

}  // namespace kestrelon
