// Serial services over the Win32 communications API: synchronous I/O on an exclusive handle.
#include <windows.h>

#include "common/unique_handle_win32.h"
#include "device/serial_platform.h"

namespace kestrelon {
namespace {

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(UniqueHandle handle) : port_(std::move(handle)) {}

  void setup_queues(uint32_t input_size, uint32_t output_size) override {
    SetupComm(port_.get(), input_size, output_size);
  }

  bool read_line_settings(LineSettings& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_.get(), &dcb)) return false;
    // The whole DCB is kept so that every field the link does not change goes back as it was.
    dcb_ = dcb;
    have_dcb_ = true;
    settings.baud_rate = dcb.BaudRate;
    settings.parity_check = dcb.fParity != 0;
    settings.parity = dcb.Parity;
    settings.byte_size = dcb.ByteSize;
    settings.stop_bits = static_cast<StopBits>(dcb.StopBits);
    settings.out_cts_flow = dcb.fOutxCtsFlow != 0;
    settings.rts_control = static_cast<RtsControl>(dcb.fRtsControl);
    settings.out_x = dcb.fOutX != 0;
    settings.in_x = dcb.fInX != 0;
    settings.xon_char = static_cast<uint8_t>(dcb.XonChar);
    settings.xoff_char = static_cast<uint8_t>(dcb.XoffChar);
    settings.xon_limit = dcb.XonLim;
    settings.xoff_limit = dcb.XoffLim;
    return true;
  }

  bool apply_line_settings(const LineSettings& settings) override {
    DCB dcb = dcb_;
    if (!have_dcb_) {
      // Nothing read yet: start from the driver's current state all the same.
      dcb = DCB{};
      dcb.DCBlength = sizeof dcb;
      if (!GetCommState(port_.get(), &dcb)) return false;
    }
    dcb.BaudRate = settings.baud_rate;
    dcb.fParity = settings.parity_check ? 1 : 0;
    dcb.Parity = settings.parity;
    dcb.ByteSize = settings.byte_size;
    dcb.StopBits = static_cast<BYTE>(settings.stop_bits);
    dcb.fOutxCtsFlow = settings.out_cts_flow ? 1 : 0;
    dcb.fRtsControl = static_cast<DWORD>(settings.rts_control) & 3u;
    dcb.fOutX = settings.out_x ? 1 : 0;
    dcb.fInX = settings.in_x ? 1 : 0;
    dcb.XonChar = static_cast<char>(settings.xon_char);
    dcb.XoffChar = static_cast<char>(settings.xoff_char);
    dcb.XonLim = settings.xon_limit;
    dcb.XoffLim = settings.xoff_limit;
    if (!SetCommState(port_.get(), &dcb)) return false;
    dcb_ = dcb;
    have_dcb_ = true;
    return true;
  }

  bool apply_timeouts(const Timeouts& timeouts) override {
    COMMTIMEOUTS value{};
    value.ReadIntervalTimeout = timeouts.read_interval;
    value.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
    value.ReadTotalTimeoutConstant = timeouts.read_total_constant;
    value.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
    value.WriteTotalTimeoutConstant = timeouts.write_total_constant;
    return SetCommTimeouts(port_.get(), &value) != FALSE;
  }

  std::optional<uint32_t> waiting_input() override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_.get(), &errors, &status)) return std::nullopt;
    return status.cbInQue;
  }

  std::optional<uint32_t> read(uint8_t* buffer, uint32_t length) override {
    DWORD count = 0;
    if (!ReadFile(port_.get(), buffer, length, &count, nullptr)) return std::nullopt;
    return count;
  }

  uint32_t write(const uint8_t* bytes, uint32_t length) override {
    DWORD count = 0;
    WriteFile(port_.get(), bytes, length, &count, nullptr);  // the count tells what went out
    return count;
  }

 private:
  UniqueHandle port_;
  DCB dcb_{};
  bool have_dcb_ = false;
};

class Win32SerialPlatform final : public SerialPlatform {
 public:
  std::unique_ptr<SerialDevice> open(const std::wstring& device_path) override {
    if (device_path.empty()) return nullptr;
    UniqueHandle port(CreateFileW(device_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!port.valid()) return nullptr;
    return std::make_unique<Win32SerialDevice>(std::move(port));
  }

  void raise_timer_resolution() override { timeBeginPeriod(1); }

  void sleep_ms(uint32_t milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

std::unique_ptr<SerialPlatform> make_system_serial_platform() {
  return std::make_unique<Win32SerialPlatform>();
}

}  // namespace kestrelon
