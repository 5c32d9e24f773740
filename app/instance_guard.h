// Stops a second copy within the user's session. The system drops the guard when the
// process ends, so the next launch passes.
#pragma once

#include <cstdint>

namespace kestrelon {

class InstanceGuard {
 public:
  InstanceGuard();  // takes the guard
  ~InstanceGuard();
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  // True only when another copy holds the guard; a guard that cannot be made lets the run on.
  bool another_copy_running() const { return another_copy_running_; }

 private:
  intptr_t handle_ = -1;
  bool another_copy_running_ = false;
};

inline constexpr wchar_t kInstanceMutexName[] = L"Kestrelon-Vantrel-Ombrix";

}  // namespace kestrelon
