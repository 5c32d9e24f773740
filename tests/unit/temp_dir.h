// A fresh directory under the system's temporary folder, removed with its contents.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestrelon::testing {

class TempDir {
 public:
  TempDir() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() / ("kestrelon-test-" + std::to_string(stamp));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file(const std::filesystem::path& name) const { return path_ / name; }

  static void write(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
  }
  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path path_;
};

// Makes a file unwritable for as long as it lives: read-only, and immutable where the system
// has chattr (root ignores permissions, not the immutable flag).
class Unwritable {
 public:
  explicit Unwritable(std::filesystem::path file) : file_(std::move(file)) {
    namespace fs = std::filesystem;
    fs::permissions(file_,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    immutable_ = !holds();
    if (immutable_) chattr('+');
  }
  ~Unwritable() {
    if (immutable_) chattr('-');
    std::filesystem::permissions(file_, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
  }
  Unwritable(const Unwritable&) = delete;
  Unwritable& operator=(const Unwritable&) = delete;

  // True when the file cannot be opened for writing now.
  bool holds() const { return !std::ofstream(file_, std::ios::binary | std::ios::app); }

 private:
  void chattr(char sign) const {
    const std::string command =
        std::string("chattr ") + sign + "i '" + file_.string() + "' 2>/dev/null";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
  }
  std::filesystem::path file_;
  bool immutable_ = false;
};

}  // namespace kestrelon::testing
