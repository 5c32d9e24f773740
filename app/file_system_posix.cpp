// Settings-file services over POSIX file descriptors. Only regular files are read or
// written: a FIFO or device node of that name could block the run or never end.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/file_system.h"

namespace kestrelon {
namespace {

// The names used are ASCII; anything else (or a NUL) names no file here.
bool narrow_name(const std::wstring& name, std::string& narrow) {
  narrow.clear();
  for (wchar_t c : name) {
    if (c <= 0 || c >= 0x80) return false;
    narrow.push_back(static_cast<char>(c));
  }
  return !narrow.empty();
}

// Owns one descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool is_regular_file() const {
    struct stat info {};
    return fd_ >= 0 && fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  }

 private:
  int fd_;
};

// O_NONBLOCK keeps open() from waiting on a FIFO; it changes nothing for regular files.
constexpr int kCommonFlags = O_CLOEXEC | O_NONBLOCK;

class PosixReadableFile final : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : file_(fd) {}
  int64_t read(char* buffer, uint32_t size) override {
    for (;;) {
      const ssize_t count = ::read(file_.get(), buffer, size);
      if (count >= 0) return count;
      if (errno != EINTR) return -1;
    }
  }

 private:
  Descriptor file_;
};

}  // namespace

int64_t file_size(const std::wstring& name) {
  std::string path;
  if (!narrow_name(name, path)) return kFileMissing;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return kFileMissing;
  if (S_ISDIR(info.st_mode)) return kFileIsDirectory;
  return static_cast<int64_t>(info.st_size);
}

void write_new_file(const std::wstring& name, std::string_view bytes) {
  std::string path;
  if (!narrow_name(name, path)) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kCommonFlags, 0666);
  if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | kCommonFlags);
  Descriptor file(fd);
  if (!file.is_regular_file()) return;
  while (!bytes.empty()) {
    const ssize_t written = ::write(file.get(), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

std::unique_ptr<ReadableFile> ReadableFile::open(const std::wstring& name) {
  std::string path;
  if (!narrow_name(name, path)) return nullptr;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | kCommonFlags, 0666);
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fd = ::open(path.c_str(), O_RDONLY | kCommonFlags);
  }
  if (fd < 0) return nullptr;
  auto file = std::make_unique<PosixReadableFile>(fd);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;  // closes fd
  return file;
}

}  // namespace kestrelon
