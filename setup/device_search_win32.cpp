#include "setup/device_search_win32.h"

#include "device/port_detection.h"
#include "device/serial_link.h"
#include "device/serial_platform.h"

namespace kestrelon::setup {

namespace {

constexpr PortId kNoDevicePort = 0;
// A trial ends within its own pauses (575 ms) once the system has opened the port. The wait for
// the end is bounded all the same: a driver that never finishes an open must not hold the setup.
constexpr DWORD kStopLimitMs = 30000;

LONG read(volatile LONG& value) {
  return InterlockedCompareExchange(&value, 0, 0);
}

// A search that outlived its bound still runs code of this module: the module stays loaded until
// the process ends.
void keep_module_loaded() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&keep_module_loaded), &module);
}

}  // namespace

struct DeviceSearch::State {
  volatile LONG port = 1;  // the first port, from the start: the scan's first pause comes before it
  volatile LONG stopping = 0;
  std::wstring result;  // the thread's until it ends
};

SearchStart DeviceSearch::start() {
  stop();
  auto state = std::make_shared<State>();
  // The thread holds the state too: should it outlive the setup's wait, it still has it.
  auto* for_thread = new std::shared_ptr<State>(state);
  thread_ = UniqueHandle(CreateThread(nullptr, 0, run, for_thread, 0, nullptr));
  if (!thread_.valid()) {
    delete for_thread;
    return SearchStart::not_started;
  }
  state_ = std::move(state);
  return SearchStart::started;
}

DWORD WINAPI DeviceSearch::run(void* shared) {
  const std::unique_ptr<std::shared_ptr<State>> held(static_cast<std::shared_ptr<State>*>(shared));
  State& state = **held;
  const std::unique_ptr<SerialPlatform> serial = make_system_serial_platform();
  SerialLink link(*serial);
  SequenceCounter counter;
  PortDetector detector(link, counter);
  state.result = detector.detect_device_port(kHighestPortNumber, kNoDevicePort, [&state](int port) {
    InterlockedExchange(&state.port, port);
    return read(state.stopping) == 0;
  });
  link.close_all_ports();
  return 0;
}

bool DeviceSearch::wait(DWORD limit_ms) {
  if (thread_.valid() && WaitForSingleObject(thread_.get(), limit_ms) != WAIT_OBJECT_0) {
    return false;
  }
  thread_ = UniqueHandle();
  return true;
}

int DeviceSearch::port_in_trial() {
  return !wait(0) && state_ ? static_cast<int>(read(state_->port)) : 0;
}

void DeviceSearch::stop() {
  if (!state_ || wait(0)) return;
  InterlockedExchange(&state_->stopping, 1);
  if (!wait(kStopLimitMs)) {
    keep_module_loaded();
    thread_ = UniqueHandle();
    state_.reset();  // the thread keeps what it shares until it ends
  }
}

std::wstring DeviceSearch::result() {
  return wait(0) && state_ ? state_->result : std::wstring();
}

}  // namespace kestrelon::setup
