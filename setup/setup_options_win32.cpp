#include "setup/setup_options_win32.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/local_memory_win32.h"
#include "setup/folder_paths_win32.h"

namespace kestrelon::setup {
namespace {

constexpr std::wstring_view kProgramFolderOption = L" /D=";  // NSIS's, as it looks for it
constexpr int kMaxComPort = 256;
constexpr size_t kMaxPortDigits = 3;
constexpr size_t kMaxSpeedDigits = 7;  // 1 to 9999999 bits per second
constexpr std::wstring_view kSearchDevice = L"AUTO";

// The words of LINE as Windows splits them, the program first.
std::vector<std::wstring> words_of(const std::wstring& line) {
  int count = 0;
  const LocalMemory<wchar_t*> words(CommandLineToArgvW(line.c_str(), &count));
  if (!words.get()) return {};
  return std::vector<std::wstring>(words.get(), words.get() + count);
}

bool is_digits(std::wstring_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// A decimal number of 1 to MAX_DIGITS digits, without sign or leading zero.
bool is_plain_number(std::wstring_view text, size_t max_digits) {
  return is_digits(text) && text.size() <= max_digits && text[0] != L'0';
}

// When WORD is NAME (any case) followed by a value, the value.
bool value_of(const std::wstring& word, std::wstring_view name, std::wstring& value) {
  if (word.size() < name.size() ||
      !same_name(std::wstring_view(word).substr(0, name.size()), name)) {
    return false;
  }
  value = word.substr(name.size());
  return true;
}

OptionFault read_word(const std::wstring& word, SetupOptions& options) {
  std::wstring value;
  if (same_name(word, L"/S") || word == L"/NCRC") return OptionFault::none;
  if (value_of(word, L"/COM=", value) && same_name(value, kSearchDevice)) {
    options.search_device = true;
  } else if (value_of(word, L"/COM=", value)) {  // COM1 to COM256
    const std::wstring number = value.size() > 3 ? value.substr(3) : L"";
    if (!same_name(std::wstring_view(value).substr(0, 3), L"COM") ||
        !is_plain_number(number, kMaxPortDigits) || std::stoi(number) > kMaxComPort) {
      return OptionFault::bad_port;
    }
    options.port = L"COM" + number;  // as KestrelonScan writes it
  } else if (value_of(word, L"/PORT=", value)) {
    if (!is_plain_number(value, kMaxSpeedDigits)) return OptionFault::bad_speed;
    options.speed = value;
  } else if (value_of(word, L"/ORA=", value)) {
    options.daily_time = time_of_day(value);
    if (options.daily_time.empty()) return OptionFault::bad_time;
  } else if (value_of(word, L"/SETARI=", value)) {
    options.settings_folder = tidy_folder(value);
    options.settings_folder_given = true;
  } else {
    return OptionFault::unknown_option;
  }
  return OptionFault::none;
}

}  // namespace

std::wstring time_of_day(std::wstring_view text) {
  const size_t colon = text.find(L':');
  if (colon == std::wstring_view::npos || colon < 1 || colon > 2 || text.size() != colon + 3) {
    return {};
  }
  const std::wstring_view hours = text.substr(0, colon);
  const std::wstring_view minutes = text.substr(colon + 1);
  if (!is_digits(hours) || !is_digits(minutes) || std::stoi(std::wstring(hours)) > 23 ||
      std::stoi(std::wstring(minutes)) > 59) {
    return {};
  }
  return (hours.size() == 1 ? L"0" : L"") + std::wstring(text);
}

bool is_silent(const std::wstring& line) {
  const std::vector<std::wstring> words = words_of(line);
  return std::any_of(words.begin() + std::min<size_t>(1, words.size()), words.end(),
                     [](const std::wstring& word) { return same_name(word, L"/S"); });
}

SetupOptions read_setup_options(const std::wstring& line, const std::wstring& program_folder) {
  SetupOptions options;
  options.silent = is_silent(line);
  if (line.size() > kMaxCommandLine) {
    options.fault = OptionFault::line_too_long;
    return options;
  }
  // What follows /D= is the folder, to the line's end: NSIS takes it so, never quoted, and puts
  // its default in the place of one it cannot use, which must not pass for the folder asked for.
  options.program_folder = program_folder;
  const size_t folder_option = line.find(kProgramFolderOption);
  if (folder_option != std::wstring::npos) {
    options.program_folder = tidy_folder(line.substr(folder_option + kProgramFolderOption.size()));
    if (path_form_check(options.program_folder).fault != PathFault::none) {
      options.fault = OptionFault::program_form;
      return options;
    }
  }
  const std::vector<std::wstring> words = words_of(line.substr(0, folder_option));
  for (size_t i = 1; i < words.size() && options.fault == OptionFault::none; ++i) {
    options.fault = read_word(words[i], options);
    if (options.fault != OptionFault::none) options.refused = words[i];
  }
  if (options.fault == OptionFault::none && options.search_device && !options.speed.empty()) {
    options.fault = OptionFault::search_with_speed;
  } else if (options.fault == OptionFault::none && options.port.empty() != options.speed.empty()) {
    options.fault = OptionFault::port_without_speed;
  }
  return options;
}

}  // namespace kestrelon::setup
