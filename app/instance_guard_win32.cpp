// The single-instance guard: a named mutex in the user's own session namespace.
#include <windows.h>

#include "app/instance_guard.h"

namespace kestrelon {

InstanceGuard::InstanceGuard() {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  another_copy_running_ = GetLastError() == ERROR_ALREADY_EXISTS;
  handle_ = reinterpret_cast<intptr_t>(mutex);
}

// The handle stays open for the whole process: the system drops it when the process ends,
// which is what lets the next launch through.
InstanceGuard::~InstanceGuard() = default;

}  // namespace kestrelon
