// The settings file "Kestrelon.ini": port name and speed.
#pragma once

#include <string>
#include <string_view>

#include "device/device_port.h"

namespace kestrelon {

inline constexpr wchar_t kSettingsFileName[] = L"Kestrelon.ini";
// Two commented-out examples, written when the file is missing or empty.
inline constexpr std::string_view kDefaultSettingsFile = ";com=COM1\r\n;port=115200\r\n";

// Applies one line of the file (already wide text) to the settings.
void apply_settings_line(std::wstring_view line, PortSettings& settings);

// The settings step: writes the default file when needed, then reads every line.
// Never fails; settings not named in the file keep their values.
void read_settings_file(const std::wstring& path, PortSettings& settings);

}  // namespace kestrelon
