// Settings-file services over POSIX file descriptors. Only regular files are read or
// written: a FIFO or device node of that name could block the run or never end.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>

#include "app/file_system.h"
#include "common/text.h"

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

 private:
  int fd_;
};

// O_NONBLOCK keeps open() from waiting on a FIFO; it changes nothing for regular files.
constexpr int kCommonFlags = O_CLOEXEC | O_NONBLOCK;

FileResult failure(int error) {
  return {false, ansi_to_wide(std::strerror(error))};
}

// Folder names here are UTF-8 text; a name that is not valid UTF-8 is read as ISO-8859-1.
std::wstring utf8_to_wide(const char* text) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 == static_cast<locale_t>(0)) return ansi_to_wide(text);
  const locale_t previous = uselocale(utf8);
  std::mbstate_t state{};
  const char* source = text;
  const size_t length = std::mbsrtowcs(nullptr, &source, 0, &state);
  std::wstring wide;
  if (length != static_cast<size_t>(-1)) {
    wide.resize(length);
    source = text;
    state = {};
    std::mbsrtowcs(wide.data(), &source, length, &state);
  }
  uselocale(previous);
  freelocale(utf8);
  return length == static_cast<size_t>(-1) ? ansi_to_wide(text) : wide;
}

class PosixReadableFile final : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : file_(fd) {}
  int64_t read(char* buffer, uint32_t size) override {
    for (;;) {
      const ssize_t count = ::read(file_.get(), buffer, size);
      if (count >= 0) return count;
      if (errno != EINTR) {
        read_error_ = errno;
        return -1;
      }
    }
  }
  std::wstring read_failure() const override { return failure(read_error_).reason; }

 private:
  Descriptor file_;
  int read_error_ = 0;
};

class PosixNewFile final : public NewFile {
 public:
  explicit PosixNewFile(int fd) : file_(fd) {}
  FileResult write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::write(file_.get(), bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return failure(errno);
      if (written == 0) return failure(EIO);
      bytes.remove_prefix(static_cast<size_t>(written));
    }
    return {};
  }
  FileResult flush() override { return fsync(file_.get()) == 0 ? FileResult{} : failure(errno); }

 private:
  Descriptor file_;
};

// The file over a descriptor just opened; nullptr, with the reason, when the open failed.
template <class File>
std::unique_ptr<File> opened(int fd, FileResult& result) {
  result = fd < 0 ? failure(errno) : FileResult{};
  return result.ok ? std::make_unique<File>(fd) : nullptr;
}

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
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | kCommonFlags, 0666);
  if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | kCommonFlags);
  if (fd < 0) return;
  PosixNewFile file(fd);
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
      ftruncate(fd, 0) == 0) {
    file.write(bytes);
  }
}

bool is_read_only(const std::wstring& name) {
  std::string path;
  if (!narrow_name(name, path)) return false;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  return access(path.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS);
}

// A new file every time: whatever stood under that name (a link, a FIFO, an old file) is
// removed first, and O_EXCL never follows a link that appears in between.
std::unique_ptr<NewFile> NewFile::create(const std::wstring& name, FileResult& result) {
  std::string path;
  int fd = -1;
  if (!narrow_name(name, path)) {
    errno = EINVAL;
  } else if (unlink(path.c_str()) == 0 || errno == ENOENT) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | kCommonFlags, 0666);
  }
  return opened<PosixNewFile>(fd, result);
}

FileResult replace_file(const std::wstring& from, const std::wstring& to) {
  std::string source;
  std::string target;
  if (!narrow_name(from, source) || !narrow_name(to, target)) return failure(EINVAL);
  if (rename(source.c_str(), target.c_str()) != 0) return failure(errno);
  return {};
}

void remove_file(const std::wstring& name) {
  std::string path;
  if (narrow_name(name, path)) unlink(path.c_str());
}

std::wstring full_path(const std::wstring& name) {
  if (!name.empty() && name.front() == L'/') return name;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return name;
  return utf8_to_wide(folder) + L"/" + name;
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

std::unique_ptr<ReadableFile> ReadableFile::open_existing(const std::wstring& name,
                                                          FileResult& result) {
  std::string path;
  int fd = -1;
  if (!narrow_name(name, path)) {
    errno = EINVAL;
  } else {
    fd = ::open(path.c_str(), O_RDONLY | kCommonFlags);
  }
  struct stat info {};
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    fd = -1;
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  }
  std::unique_ptr<PosixReadableFile> file = opened<PosixReadableFile>(fd, result);
  if (file && info.st_nlink != 1) {
    result = {false, kFileHasOtherNames};
    return nullptr;
  }
  return file;
}

}  // namespace kestrelon
