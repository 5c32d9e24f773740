// The setup program's command line:
//   Kestrelon-<version>-setup.exe /S [/COM=COMn /PORT=speed | /COM=AUTO] [/ORA=HH:MM]
//                                    [/SETARI=folder] [/D=folder]
// Words are split as every Windows program splits them (a folder with spaces is quoted); option
// names are read in any case. /D= is NSIS's own: the rest of the line, never quoted, which NSIS
// has already taken as the program folder. A mistyped option or a value out of its range is
// refused, never ignored: a fleet's script would take the install for what it asked.
#pragma once

#include <string>
#include <string_view>

namespace kestrelon::setup {

inline constexpr size_t kMaxCommandLine = 1023;  // what NSIS keeps of the line; more is cut

enum class OptionFault {
  none,
  line_too_long,
  program_form,  // a /D= that is no whole folder path on a drive
  unknown_option,
  bad_port,
  bad_speed,
  bad_time,
  port_without_speed,  // /COM without /PORT, or the other way round
  search_with_speed,   // /COM=AUTO with /PORT: the search finds the speed
};

struct SetupOptions {
  OptionFault fault = OptionFault::none;
  std::wstring refused;  // the word of the line the fault is about
  // /S anywhere on the line, in any case or quoting, also after /D=: no window may wait for an
  // answer in a fleet's script, whatever else the line says.
  bool silent = false;
  std::wstring port;             // /COM, as COMn
  std::wstring speed;            // /PORT
  bool search_device = false;    // /COM=AUTO, in any case: the device found is pinned
  std::wstring daily_time;       // HH:MM
  std::wstring settings_folder;  // /SETARI, tidied as typed folders are
  bool settings_folder_given = false;
  std::wstring program_folder;  // /D=, tidied; else the one NSIS took (its default)
};

// LINE is the whole command line; PROGRAM_FOLDER the one NSIS took from its /D=, or its default.
SetupOptions read_setup_options(const std::wstring& line, const std::wstring& program_folder);

// A time of day, 00:00 to 23:59, written H:MM or HH:MM, as HH:MM; "" for anything else.
std::wstring time_of_day(std::wstring_view text);

// True when a word of LINE but the first (the program) is /S, in any case or quoting.
bool is_silent(const std::wstring& line);

}  // namespace kestrelon::setup
