// The single-instance guard: an exclusive flock on a per-user lock file. The kernel drops
// the lock when the descriptor closes, at the latest when the process ends, so a copy that
// crashed never blocks the next launch (unlike a pid file). The file itself stays.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "app/instance_guard.h"

namespace kestrelon {
namespace {

constexpr char kLockName[] = "Kestrelon-Vantrel-Ombrix";

const char* non_empty_env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// KESTRELON_LOCK_DIR (for tests), else the user's runtime directory, else /tmp with the
// user id in the name.
std::string lock_path() {
  if (const char* dir = non_empty_env("KESTRELON_LOCK_DIR")) {
    return std::string(dir) + "/" + kLockName + ".lock";
  }
  if (const char* dir = non_empty_env("XDG_RUNTIME_DIR")) {
    return std::string(dir) + "/" + kLockName + ".lock";
  }
  return std::string("/tmp/") + kLockName + "-" + std::to_string(getuid()) + ".lock";
}

}  // namespace

InstanceGuard::InstanceGuard() {
  const std::string path = lock_path();
  // No symlinks (a planted link in /tmp must not aim the open elsewhere), no FIFO waits.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return;  // no guard: the run goes on
  // A file planted by another user in a shared folder could be held to block every launch:
  // only a regular file of our own counts as the guard.
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid()) {
    close(fd);
    return;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    another_copy_running_ = errno == EWOULDBLOCK;
    close(fd);
    return;
  }
  handle_ = fd;
}

// Holding the guard until the object ends is the same as until the process ends here: it
// lives for the whole program. Closing the descriptor drops the lock.
InstanceGuard::~InstanceGuard() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

}  // namespace kestrelon
