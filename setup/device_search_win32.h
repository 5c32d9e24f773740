// The setup's search for the fiscal device: KestrelonScan's own scan (device/port_detection),
// never the report command, on a thread of its own so that the wizard keeps answering while it
// runs. It holds no guard: a port another program holds (the sales program, Kestrelon or
// KestrelonScan) cannot be opened, so its trial simply fails, and a name anyone can make must
// not keep the setup from searching.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/unique_handle_win32.h"

namespace kestrelon::setup {

enum class SearchStart { started, not_started };

class DeviceSearch {
 public:
  DeviceSearch() = default;
  ~DeviceSearch() { stop(); }
  DeviceSearch(const DeviceSearch&) = delete;
  DeviceSearch& operator=(const DeviceSearch&) = delete;

  // A new search, after the end of any earlier one.
  SearchStart start();
  // The port number under trial (1 to 256) while the search runs; 0 once it has ended, or before
  // any search.
  int port_in_trial();
  // Waits for the end of the search, at most LIMIT_MS; true when it has ended.
  bool wait(DWORD limit_ms);
  // Ends a search that still runs after the trial under way, whose port is released and closed
  // as after every trial; waits for that, bounded.
  void stop();
  // The detection result of the last search that ended; empty while one runs.
  std::wstring result();

  struct State;  // what the setup and the search's thread share

 private:
  static DWORD WINAPI run(void* state);

  std::shared_ptr<State> state_;
  UniqueHandle thread_;
};

}  // namespace kestrelon::setup
