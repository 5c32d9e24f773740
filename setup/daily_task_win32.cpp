#include "setup/daily_task_win32.h"

#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

namespace kestrelon::setup {
namespace {

// The Task Scheduler 2.0 object (Windows Vista and later; on XP it is not there, and the setup
// makes no task there).
constexpr CLSID kTaskScheduler = {
    0x0f87369f, 0xa4e5, 0x4cfc, {0xbd, 0x3e, 0x73, 0xe6, 0x15, 0x45, 0x72, 0xdd}};

// Releases a COM interface when dropped.
template <typename Interface>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (pointer_) pointer_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  Interface** out() { return &pointer_; }
  Interface* operator->() const { return pointer_; }

 private:
  Interface* pointer_ = nullptr;
};

// A BSTR for one call.
class Text {
 public:
  explicit Text(const std::wstring& text) : bstr_(SysAllocString(text.c_str())) {}
  ~Text() { SysFreeString(bstr_); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  BSTR get() const { return bstr_; }

 private:
  BSTR bstr_;
};

// COM for the calling thread, for as long as it is needed.
class ComUse {
 public:
  ComUse() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComUse() {
    if (initialized_) CoUninitialize();
  }
  ComUse(const ComUse&) = delete;
  ComUse& operator=(const ComUse&) = delete;

 private:
  bool initialized_;
};

bool is_not_found(HRESULT result) {
  return result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
         result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

}  // namespace

TaskRemoval remove_task(const std::wstring& name) {
  const ComUse com;
  Com<ITaskService> service;
  Com<ITaskFolder> root;
  const Text root_path(L"\\");
  const Text task(name);
  VARIANT none;
  VariantInit(&none);
  if (FAILED(CoCreateInstance(kTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                              reinterpret_cast<void**>(service.out()))) ||
      FAILED(service->Connect(none, none, none, none)) ||
      FAILED(service->GetFolder(root_path.get(), root.out()))) {
    return TaskRemoval::failed;
  }
  const HRESULT deleted = root->DeleteTask(task.get(), 0);
  if (FAILED(deleted)) return is_not_found(deleted) ? TaskRemoval::absent : TaskRemoval::failed;
  // Gone only when the scheduler no longer finds it: its answer to the removal alone is no proof.
  Com<IRegisteredTask> left;
  return is_not_found(root->GetTask(task.get(), left.out())) ? TaskRemoval::removed
                                                             : TaskRemoval::failed;
}

}  // namespace kestrelon::setup
