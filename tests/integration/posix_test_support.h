// Real pseudo-terminals with the device simulator on the other side, for the POSIX tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrelon::testing {

// A private temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the life of the object, then puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_value_ = false;
  std::string old_value_;
};

// One kestrelon-sim child publishing its pseudo-terminal at `link`.
class Simulator {
 public:
  // Starts the simulator with `--link link --log <dir>/<name>.log --ready-file ...` and the
  // extra arguments; waits (at most 5 s) until the link is published.
  Simulator(const TempDir& dir, const std::string& link_name,
            const std::vector<std::string>& extra_arguments = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Waits (bounded) for a log line holding `text`; true when it came.
  bool wait_for_log(const std::string& text, int timeout_ms = 3000) const;
  // Once true, the log holds every byte written to the line, and the line's settings, as they
  // were before the call: asked with SIGUSR1, the simulator reads what the line holds, then
  // logs SYNC.
  bool sync();
  // SIGTERM, then a bounded wait for the exit; SIGKILL if it does not come. Returns the
  // exit status as waitpid gives it, or -1.
  int stop();
  // Waits (bounded) for the simulator to end by itself.
  bool wait_exit(int timeout_ms, int& status);

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  bool ready_ = false;
  size_t syncs_ = 0;
};

// The bytes as upper-case hex pairs separated by spaces, as the simulator logs them.
std::string hex(const std::vector<uint8_t>& bytes);

int64_t monotonic_ms();

}  // namespace kestrelon::testing
