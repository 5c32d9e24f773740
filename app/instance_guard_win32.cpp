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

// The programs hold their guard to their end; the setup holds one only while it searches for the
// device. Should a process end without it, the system drops the handle all the same.
InstanceGuard::~InstanceGuard() {
  if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace kestrelon
