// Settings-file services over POSIX file descriptors. Only regular files are read or
// written: a FIFO or device node of that name could block the run or never end. The held
// folder names every file relative to its descriptor and follows no symbolic link.
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
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
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
  // Made under the name itself: a link left there (a dangling one) is not followed to make its
  // target with the rights of whoever runs the program (O_EXCL fails on any link).
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | kCommonFlags, 0666);
  if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | kCommonFlags);
  if (fd < 0) return;
  PosixNewFile file(fd);
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
      ftruncate(fd, 0) == 0) {
    file.write(bytes);
  }
}

std::unique_ptr<ReadableFile> ReadableFile::open(const std::wstring& name) {
  std::string path;
  if (!narrow_name(name, path)) return nullptr;
  int fd = ::open(path.c_str(), O_RDONLY | kCommonFlags);
  if (fd < 0 && errno == ENOENT) {
    // Made new under the name itself, never through a link (see write_new_file).
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | kCommonFlags, 0666);
  }
  if (fd < 0) return nullptr;
  auto file = std::make_unique<PosixReadableFile>(fd);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;  // closes fd
  return file;
}

namespace {

bool is_refusal(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// Folder paths are UTF-8 here; the current folder is asked for by ".".
bool narrow_path(const std::wstring& path, std::string& narrow) {
  narrow.clear();
  for (wchar_t c : path) {
    const auto code = static_cast<uint32_t>(c);
    if (code == 0 || code > 0x10FFFF) return false;
    if (code < 0x80) {
      narrow.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      narrow += {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
    } else if (code < 0x10000) {
      narrow += {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                 static_cast<char>(0x80 | (code & 0x3F))};
    } else {
      narrow +=
          {static_cast<char>(0xF0 | code >> 18), static_cast<char>(0x80 | (code >> 12 & 0x3F)),
           static_cast<char>(0x80 | (code >> 6 & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
    }
  }
  return !narrow.empty();
}

std::wstring shown_folder_path(const std::string& path) {
  if (!path.empty() && path.front() == '/') return utf8_to_wide(path.c_str());
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return utf8_to_wide(path.c_str());
  if (path == ".") return utf8_to_wide(folder);
  return utf8_to_wide(folder) + L"/" + utf8_to_wide(path.c_str());
}

// One name in the folder: no slash, no "." or "..".
bool one_name(const std::wstring& name, std::string& narrow) {
  return narrow_name(name, narrow) && narrow != "." && narrow != ".." &&
         narrow.find('/') == std::string::npos;
}

class HeldFolder final : public Folder {
 public:
  HeldFolder(Descriptor folder, std::wstring shown_path)
      : folder_(std::move(folder)), path_(std::move(shown_path)) {}

  const std::wstring& path() const override { return path_; }

  FileStatus status(const std::wstring& name) override {
    std::string narrow;
    if (!one_name(name, narrow)) return {FileStatus::Type::missing, 0, false, {}};
    struct stat info {};
    if (fstatat(folder_.get(), narrow.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return {FileStatus::Type::missing, 0, false, {}};
      return {FileStatus::Type::error, 0, false, failure(errno).reason};
    }
    if (S_ISDIR(info.st_mode)) return {FileStatus::Type::folder, 0, false, {}};
    const bool read_only = S_ISREG(info.st_mode) &&
                           faccessat(folder_.get(), narrow.c_str(), W_OK, 0) != 0 &&
                           is_refusal(errno);
    return {FileStatus::Type::file, static_cast<int64_t>(info.st_size), read_only, {}};
  }

  // A new file every time: whatever stood under that name (a link, a FIFO, an old file) is
  // removed first, and O_EXCL never follows a link that appears in between.
  std::unique_ptr<NewFile> create(const std::wstring& name, FileResult& result) override {
    std::string narrow;
    if (!one_name(name, narrow)) return opened<PosixNewFile>(invalid(), result);
    result = remove(name);
    if (!result.ok) return nullptr;
    const int fd = openat(folder_.get(), narrow.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | kCommonFlags, 0666);
    return opened<PosixNewFile>(fd, result);
  }

  std::unique_ptr<ReadableFile> open_existing(const std::wstring& name,
                                              FileResult& result) override {
    std::string narrow;
    if (!one_name(name, narrow)) return opened<PosixReadableFile>(invalid(), result);
    const int fd = openat(folder_.get(), narrow.c_str(), O_RDONLY | O_NOFOLLOW | kCommonFlags);
    if (fd < 0 && errno == ELOOP) {
      result = {false, kFileIsLink, true};
      return nullptr;
    }
    std::unique_ptr<PosixReadableFile> file = opened<PosixReadableFile>(fd, result);
    struct stat info {};
    if (file && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
      result = failure(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
      return nullptr;
    }
    if (file && info.st_nlink != 1) {
      result = {false, kFileHasOtherNames};
      return nullptr;
    }
    return file;
  }

  FileResult replace(const std::wstring& from, const std::wstring& to) override {
    std::string source;
    std::string target;
    if (!one_name(from, source) || !one_name(to, target)) return failure(EINVAL);
    if (renameat(folder_.get(), source.c_str(), folder_.get(), target.c_str()) != 0) {
      return failure(errno);
    }
    return {};
  }

  FileResult remove(const std::wstring& name) override {
    std::string narrow;
    if (!one_name(name, narrow)) return failure(EINVAL);
    if (unlinkat(folder_.get(), narrow.c_str(), 0) == 0 || errno == ENOENT) return {};
    return failure(errno);
  }

 private:
  static int invalid() {
    errno = EINVAL;
    return -1;
  }

  Descriptor folder_;
  std::wstring path_;
};

}  // namespace

std::wstring full_path(const std::wstring& name) {
  std::string narrow;
  return narrow_path(name, narrow) ? shown_folder_path(narrow) : name;
}

std::unique_ptr<Folder> Folder::open(const std::wstring& path, FileResult& result) {
  std::string narrow;
  if (!narrow_path(path, narrow)) {
    result = failure(EINVAL);
    return nullptr;
  }
  const int fd = ::open(narrow.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 && (errno == ELOOP || errno == ENOTDIR) && lstat(narrow.c_str(), &info) == 0 &&
      S_ISLNK(info.st_mode)) {
    result = {false, kFolderIsLink, true};
    return nullptr;
  }
  if (fd < 0) {
    result = failure(errno);
    return nullptr;
  }
  result = {};
  return std::make_unique<HeldFolder>(Descriptor(fd), shown_folder_path(narrow));
}

std::wstring Folder::shown(const std::wstring& name) const {
  const std::wstring& folder = path();
  if (!folder.empty() && folder.back() == L'/') return folder + name;
  return folder + L"/" + name;
}

}  // namespace kestrelon
