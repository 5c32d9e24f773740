// The one owner of memory the system allocated with LocalAlloc for what a call gives back (a SID
// as text, a security descriptor made from text, a command line's words): freed once, when its
// owner is dropped. Windows only.
#pragma once

#include <windows.h>

namespace kestrelon {

template <typename T>
class LocalMemory {
 public:
  explicit LocalMemory(T* memory) : memory_(memory) {}
  ~LocalMemory() {
    if (memory_) LocalFree(memory_);
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

  T* get() const { return memory_; }

 private:
  T* memory_;
};

}  // namespace kestrelon
