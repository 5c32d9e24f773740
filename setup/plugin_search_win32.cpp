// KestrelonSetup.dll's search for the fiscal device, for the page "Aparatul fiscal" and for
// /COM=AUTO: KestrelonScan's scan on a thread of the plug-in's own, which the page polls with a
// timer. As every entry point of the plug-in, each gives the script one answer (or none).
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/scan.h"
#include "app/settings_file.h"
#include "common/text.h"
#include "device/device_commands.h"
#include "device/port_detection.h"
#include "setup/device_search_win32.h"
#include "setup/nsis_plugin.h"
#include "setup/plugin_support_win32.h"

namespace {

using kestrelon::nsis::begin;
using kestrelon::nsis::pop_or_empty;
using kestrelon::nsis::Stack;
using namespace kestrelon;
using namespace kestrelon::setup;

// A silent install waits for the whole search: 256 ports at two speeds, each trial 575 ms at
// most once its port has opened, is under five minutes.
constexpr DWORD kSilentSearchLimitMs = 10 * 60 * 1000;

// The search, what Kestrelon.ini pins when it starts, and the devices it found once it ended.
struct Search {
  DeviceSearch devices;
  PortSettings pinned;
  std::optional<std::vector<std::wstring>> found;

  // Nothing until the search has ended.
  std::vector<std::wstring> lines() {
    if (!found && devices.wait(0)) found = detection_lines(devices.result());
    return found.value_or(std::vector<std::wstring>());
  }
};
std::unique_ptr<Search> search;

const wchar_t* start_word(SearchStart start) {
  switch (start) {
    case SearchStart::started:
      return L"";
    case SearchStart::not_started:
      break;
  }
  return L"not_started";
}

// What the script asks of the devices found.
std::wstring found_answer(const std::wstring& what, const std::wstring& index_text) {
  if (!search) return what == L"count" ? L"0" : L"";
  const std::vector<std::wstring> lines = search->lines();
  if (what == L"count") return number_to_text(static_cast<int64_t>(lines.size()));
  if (what == L"proposed") {
    const std::optional<size_t> proposed = proposed_device(lines, search->pinned);
    return proposed ? number_to_text(static_cast<int64_t>(*proposed)) : L"";
  }
  if (what == L"pinned") return needs_detection(search->pinned) ? L"" : port_text(search->pinned);
  const int64_t index = index_text.empty() ? -1 : text_to_integer(index_text);
  if (index < 0 || static_cast<uint64_t>(index) >= lines.size()) return L"";
  const std::wstring& line = lines[static_cast<size_t>(index)];
  const PortSettings settings = settings_from_detection_line(line);
  if (what == L"port") return settings.port_name;
  if (what == L"speed") return number_to_text(settings.speed);
  if (what == L"fiscal") return identifies_as_vf(detection_line_identifier(line)) ? L"1" : L"0";
  return device_text(line);
}

}  // namespace

void kestrelon::nsis::stop_search() {
  if (search) search->devices.stop();
}

// SETTINGS (the settings folder) -> "" when the search has started, "not_started" when it could
// not start. Kestrelon.ini
// in SETTINGS is read, never written: the device it pins is the one proposed when it answers.
KESTRELON_NSIS_FUNCTION(StartSearch) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring settings_folder = pop_or_empty(stack);
  if (search) search->devices.stop();
  search = std::make_unique<Search>();
  FileResult opened;
  if (const std::unique_ptr<Folder> folder = Folder::open(settings_folder, opened)) {
    search->pinned = pinned_settings(*folder, kSettingsFileName);
  }
  const SearchStart start = search->devices.start();
  if (start != SearchStart::started) search->found.emplace();  // nothing searched, nothing found
  stack.push(start_word(start));
}

// -> the port number under trial, "1" to "256", while the search runs; "done" once it has ended.
KESTRELON_NSIS_FUNCTION(SearchProgress) {
  Stack stack = begin(string_size, stack_top, extra);
  const int port = search ? search->devices.port_in_trial() : 0;
  stack.push(port == 0 ? std::wstring(L"done") : number_to_text(port));
}

// Waits for the end of the search (bounded: then it is stopped). No answer.
KESTRELON_NSIS_FUNCTION(FinishSearch) {
  begin(string_size, stack_top, extra);
  if (search && !search->devices.wait(kSilentSearchLimitMs)) search->devices.stop();
}

// Stops a search that still runs, after the trial under way. No answer.
KESTRELON_NSIS_FUNCTION(StopSearch) {
  begin(string_size, stack_top, extra);
  kestrelon::nsis::stop_search();
}

// WHAT [INDEX] -> of the devices the ended search found: "count"; "proposed", the index of the
// one the page selects by itself ("" for none); "pinned", the port and speed Kestrelon.ini held
// ("" for none); or of device INDEX: "text" (as KestrelonScan lists it), "port", "speed",
// "fiscal" ("1" when it identifies as "VF"). "" past the last device.
KESTRELON_NSIS_FUNCTION(Found) {
  Stack stack = begin(string_size, stack_top, extra);
  const std::wstring what = pop_or_empty(stack);
  const std::wstring index =
      what == L"count" || what == L"proposed" || what == L"pinned" ? L"" : pop_or_empty(stack);
  stack.push(found_answer(what, index));
}
