// The one owner of a kernel object's handle (a file, folder, serial port, process, snapshot,
// mutex): closed once, when its owner is dropped. Windows only.
#pragma once

#include <windows.h>

#include <utility>

namespace kestrelon {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { close(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  // Some calls fail with a null handle, others with INVALID_HANDLE_VALUE: neither is owned.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  void close() {
    if (valid()) CloseHandle(handle_);
  }

  HANDLE handle_ = nullptr;
};

}  // namespace kestrelon
