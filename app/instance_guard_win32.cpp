// The single-instance guard: a named mutex in the user's own session namespace.
#include <windows.h>

#include "app/instance_guard.h"

namespace kestrelon {

// A copy started with other rights (as administrator) made the mutex with a security that
// denies us even opening it: that copy is running all the same.
InstanceGuard::InstanceGuard() {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  const DWORD error = GetLastError();
  another_copy_running_ = error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED;
  handle_ = reinterpret_cast<intptr_t>(mutex);
}

// The handle stays open for the whole process: the system drops it when the process ends,
// which is what lets the next launch through.
InstanceGuard::~InstanceGuard() = default;

}  // namespace kestrelon
