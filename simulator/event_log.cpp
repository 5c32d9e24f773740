#include "event_log.h"

#include <errno.h>
#include <time.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace kestrelon_sim {
namespace {

constexpr size_t kLoggedBytes = 256;

int64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

EventLog::EventLog() : start_us_(monotonic_us()) {}

EventLog::~EventLog() {
  if (file_ != stdout) std::fclose(file_);
}

bool EventLog::open(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "we");
  if (file == nullptr) {
    std::fprintf(stderr, "kestrelon-sim: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  file_ = file;
  return true;
}

void EventLog::write(const char* format, ...) {
  const int64_t elapsed = monotonic_us() - start_us_;
  std::fprintf(file_, "T=%" PRId64 ".%03" PRId64 " ", elapsed / 1000, elapsed % 1000);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(file_, format, arguments);
  va_end(arguments);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void EventLog::bytes(const char* kind, const uint8_t* data, size_t count) {
  std::string text;
  const size_t shown = count < kLoggedBytes ? count : kLoggedBytes;
  for (size_t i = 0; i < shown; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", data[i]);
    text += pair;
  }
  if (shown < count) text += " +" + std::to_string(count - shown) + " more";
  write("%s %s", kind, text.c_str());
}

int64_t EventLog::now_ms() const {
  return (monotonic_us() - start_us_) / 1000;
}

}  // namespace kestrelon_sim
