// The simulator's log: one event per line, flushed at once, in the form
//   T=<milliseconds since start, monotonic, 3 decimals> <KIND> [details]
// (the kinds are listed in README.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrelon_sim {

class EventLog {
 public:
  EventLog();
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Logs to `path` from now on; on failure says so on standard error and keeps standard output.
  bool open(const std::string& path);
  void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Upper-case hex pairs separated by one space; past 256 bytes the first 256, then
  // "+<n> more".
  void bytes(const char* kind, const uint8_t* data, size_t count);
  int64_t now_ms() const;

 private:
  FILE* file_ = stdout;
  int64_t start_us_;
};

}  // namespace kestrelon_sim
