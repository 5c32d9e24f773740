// The serial port link: port operations over the platform's serial services,
// the pause, and the device port through which the device commands run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "device/serial_platform.h"

namespace kestrelon {

// Names one open port; 0 names no port.
using PortId = int32_t;

enum class Handshake : int32_t { none = 0, rts_on = 1, rts_cts = 2, xon_xoff = 3 };

struct PortParameters {
  std::wstring name;  // "COM" and the port number
  int32_t speed = 0;
  int32_t parity = 0;
  int32_t data_bits = 8;
  float stop_bits = 1.0f;
  int32_t handshake = 0;
  int32_t input_buffer_size = 0;
  int32_t output_buffer_size = 0;
};

// The device path for a port name; empty when the name is no "COM" and a decimal number,
// so that nothing outside the serial ports' own names is ever opened.
std::wstring device_path_for(std::wstring_view port_name);

// The line settings that open port applies over what the driver reported.
LineSettings map_line_settings(LineSettings current, const PortParameters& parameters);

// Given to every port at open: reads wait for all requested bytes, writes take
// at most 100 ms per byte plus 10 ms.
inline constexpr Timeouts kDefaultTimeouts{0, 0, 0, 10, 100};

// The three bytes that hand the device back to the cash register after a session.
inline constexpr std::string_view kReleaseSequence{"\x18\x17\x04", 3};

class SerialLink {
 public:
  explicit SerialLink(SerialPlatform& platform) : platform_(platform) {}
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Port operations. All but open_port take an identifier; for one that names no
  // open port they do nothing and return 0 / false.
  PortId open_port(const PortParameters& parameters);
  bool set_timeouts(PortId port, const Timeouts& timeouts);
  // Sends the bytes up to the first NUL in one write; returns the count written.
  uint32_t write_bytes(PortId port, std::string_view bytes);
  // Bytes received and not yet read; 0 when the query fails.
  uint32_t waiting_input_count(PortId port);
  // The same, but nullopt when the query fails (the line is gone, e.g. a device unplugged).
  std::optional<uint32_t> query_waiting_input(PortId port);
  // Never asks for more than `length` bytes; returns the count read, 0 on failure.
  uint32_t read_bytes(PortId port, uint8_t* buffer, uint32_t length);
  bool is_open(PortId port) const;
  void close_port(PortId port);
  // Closes every port still open, plainly (the end of a run).
  void close_all_ports();

  // Suspends the thread; the first pause raises the timer resolution to 1 ms.
  void pause(uint32_t milliseconds);

  // Writes the release sequence with a 25 ms pause after each byte.
  void write_release_sequence(PortId port);
  // Reads and discards exactly the bytes waiting now; stops if a read yields nothing.
  void drain_waiting_input(PortId port);

 private:
  SerialPlatform& platform_;
  std::map<PortId, std::unique_ptr<SerialDevice>> open_ports_;
  PortId last_id_ = 0;
  bool timer_raised_ = false;
};

}  // namespace kestrelon
