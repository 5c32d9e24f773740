// The operating system's serial services, as the serial link needs them.
// One implementation per platform (serial_platform_win32.cpp, serial_platform_posix.cpp);
// unit tests use a scripted fake with a virtual clock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestrelon {

enum class StopBits : uint8_t { one = 0, one_and_half = 1, two = 2 };
enum class RtsControl : uint8_t { disable = 0, enable = 1, handshake = 2 };

// The line settings the link reads and changes (the fields of a Windows DCB that matter).
// Whatever else the driver keeps stays as the driver had it.
struct LineSettings {
  uint32_t baud_rate = 0;
  bool parity_check = false;  // fParity
  uint8_t parity = 0;         // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t byte_size = 8;
  StopBits stop_bits = StopBits::one;
  bool out_cts_flow = false;
  RtsControl rts_control = RtsControl::disable;
  bool out_x = false;
  bool in_x = false;
  uint8_t xon_char = 0x11;
  uint8_t xoff_char = 0x13;
  uint16_t xon_limit = 0;
  uint16_t xoff_limit = 0;

  bool operator==(const LineSettings&) const = default;
};

// Five time-outs in milliseconds, with the meaning of Windows COMMTIMEOUTS.
struct Timeouts {
  uint32_t read_interval = 0;
  uint32_t read_total_constant = 0;
  uint32_t read_total_multiplier = 0;
  uint32_t write_total_constant = 0;
  uint32_t write_total_multiplier = 0;

  bool operator==(const Timeouts&) const = default;
};

// One opened port device. Destroying it releases the device.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // Advisory queue sizes; the result is not used.
  virtual void setup_queues(uint32_t input_size, uint32_t output_size) = 0;
  virtual bool read_line_settings(LineSettings& settings) = 0;
  virtual bool apply_line_settings(const LineSettings& settings) = 0;
  virtual bool apply_timeouts(const Timeouts& timeouts) = 0;
  // Bytes received and not yet read; nullopt when the query fails.
  virtual std::optional<uint32_t> waiting_input() = 0;
  // Reads up to `length` bytes as the time-outs say; nullopt when the read fails.
  virtual std::optional<uint32_t> read(uint8_t* buffer, uint32_t length) = 0;
  // Returns the number of bytes written.
  virtual uint32_t write(const uint8_t* bytes, uint32_t length) = 0;
};

class SerialPlatform {
 public:
  virtual ~SerialPlatform() = default;
  // Opens the device at `device_path` ("\\.\" and the port name) for exclusive
  // read and write; nullptr when it cannot be opened.
  virtual std::unique_ptr<SerialDevice> open(const std::wstring& device_path) = 0;
  // Raises the system timer resolution to 1 ms for the rest of the process.
  virtual void raise_timer_resolution() = 0;
  virtual void sleep_ms(uint32_t milliseconds) = 0;
  // Added to a message about ports: why the system refused to open one for lack of rights
  // since the last call, and what to do about it; forgotten once taken, so that it never
  // reaches a later message it has nothing to do with. Empty when there is nothing to add.
  virtual std::wstring take_refusal_note() { return {}; }
};

// The platform's own implementation.
std::unique_ptr<SerialPlatform> make_system_serial_platform();

}  // namespace kestrelon
