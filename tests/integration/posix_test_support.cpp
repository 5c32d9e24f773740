#include "posix_test_support.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrelon::testing {

int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {
void sleep_briefly() {
  timespec pause{0, 10 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}
}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/kestrelon-posix-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) {
    had_value_ = true;
    old_value_ = old;
  }
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_value_) {
    setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

Simulator::Simulator(const TempDir& dir, const std::string& link_name,
                     const std::vector<std::string>& extra_arguments) {
  log_path_ = dir.file(link_name + ".log");
  const std::string ready_path = dir.file(link_name + ".ready");
  std::vector<std::string> arguments{
      KESTRELON_SIM_PATH, "--link",   dir.file(link_name), "--log", log_path_,
      "--ready-file",     ready_path, "--lifetime-s",      "120"};
  arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) return;
  const int64_t give_up = monotonic_ms() + 5000;
  struct stat info {};
  while (monotonic_ms() < give_up) {
    if (stat(ready_path.c_str(), &info) == 0) {
      ready_ = true;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    sleep_briefly();
  }
}

Simulator::~Simulator() {
  stop();
}

std::string Simulator::log() const {
  std::ifstream file(log_path_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool Simulator::wait_for_log(const std::string& text, int timeout_ms) const {
  const int64_t give_up = monotonic_ms() + timeout_ms;
  do {
    if (log().find(text) != std::string::npos) return true;
    sleep_briefly();
  } while (monotonic_ms() < give_up);
  return log().find(text) != std::string::npos;
}

bool Simulator::sync() {
  if (pid_ < 0 || kill(pid_, SIGUSR1) != 0) return false;
  ++syncs_;
  const int64_t give_up = monotonic_ms() + 30000;  // a bound: it answers in milliseconds
  do {
    const std::string text = log();
    size_t count = 0;
    for (size_t at = text.find(" SYNC\n"); at != std::string::npos;
         at = text.find(" SYNC\n", at + 1)) {
      ++count;
    }
    if (count >= syncs_) return true;
    sleep_briefly();
  } while (monotonic_ms() < give_up);
  return false;
}

bool Simulator::wait_exit(int timeout_ms, int& status) {
  if (pid_ < 0) return false;
  const int64_t give_up = monotonic_ms() + timeout_ms;
  do {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    sleep_briefly();
  } while (monotonic_ms() < give_up);
  return false;
}

int Simulator::stop() {
  if (pid_ < 0) return -1;
  kill(pid_, SIGCONT);  // a test may have stopped it
  kill(pid_, SIGTERM);
  int status = 0;
  if (wait_exit(5000, status)) return status;
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += pair;
  }
  return text;
}

}  // namespace kestrelon::testing

#include <gtest/gtest.h>

// These tests open pseudo-terminals through the real serial layer: they run only inside
// scripts/isolated.sh, where the machine's own serial devices are out of reach.
int main(int argc, char** argv) {
  const char* isolated = getenv("KESTRELON_ISOLATED");
  if (isolated == nullptr || std::string(isolated) != "1") {
    std::fprintf(stderr, "refusing to run outside scripts/isolated.sh (KESTRELON_ISOLATED=1)\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
