// A scripted serial platform with a virtual clock, for the unit tests.
// Every call is written to one event log, so tests can assert exact sequences of
// bytes on the wire and pauses.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/serial_platform.h"

namespace kestrelon::testing {

// Bytes as "02 23 21" for readable assertions.
std::string hex_bytes(std::string_view bytes);

// The command of WRITTEN when it is a whole frame of a one-byte command (start, length,
// sequence, command, checksum, end), else 0. Checked byte by byte, not by the code's builder.
char frame_command(std::string_view written);

// What a port answers: given the bytes just written and the line settings in force,
// the bytes that arrive `delay_ms` later (in pieces when `pieces` has more than one).
struct Reply {
  std::vector<std::string> pieces;
  uint32_t delay_ms = 0;
  uint32_t piece_gap_ms = 0;
};
using Responder = std::function<Reply(std::string_view written, const LineSettings& line)>;

struct FakePort {
  bool fail_read_settings = false;
  bool fail_apply_settings = false;
  bool fail_waiting_input = false;
  uint32_t phantom_waiting = 0;  // reported as waiting but never readable (a failing port)
  int refused_opens = 0;         // the first opens, refused for lack of rights
  int opens_before_gone = -1;    // after so many opens the port is gone (unplugged); -1: never
  LineSettings driver_settings;  // what the driver reports before the open changes it
  Responder responder;
  // Filled in by the fake.
  std::vector<LineSettings> applied_settings;
  std::vector<Timeouts> applied_timeouts;
  std::vector<std::pair<uint32_t, uint32_t>> queue_sizes;
  std::string received;  // every byte written to this port
  bool open = false;
  int times_opened = 0;
  std::deque<std::pair<uint64_t, char>> input;  // arrival time, byte
};

class FakeSerialPlatform : public SerialPlatform {
 public:
  // The port reached at "\\.\<name>"; ports not added do not exist.
  FakePort& add_port(const std::wstring& name);
  FakePort& port(const std::wstring& name) { return ports_.at(name); }

  std::unique_ptr<SerialDevice> open(const std::wstring& device_path) override;
  void raise_timer_resolution() override;
  void sleep_ms(uint32_t milliseconds) override;
  // "[refused COM1 COM2]": the ports refused for lack of rights since the last call.
  std::wstring take_refusal_note() override;

  uint64_t now_ms() const { return now_ms_; }
  void advance(uint64_t milliseconds) { now_ms_ += milliseconds; }
  // "open COM3", "open-failed \\.\COM1", "write COM3 02 23", "read COM3 5",
  // "close COM3", "pause 250", "timer 1".
  std::vector<std::string> events;
  std::vector<uint32_t> pauses() const;
  std::vector<std::string> events_starting(std::string_view prefix) const;
  uint64_t total_paused_ms() const;

 private:
  friend class FakeDevice;
  std::map<std::wstring, FakePort> ports_;
  uint64_t now_ms_ = 0;
  std::wstring refused_;
};

// A fiscal device as the program expects one: status byte to the probe at the given
// speeds, identification reply with the identifier at offset 4.
struct DeviceScript {
  std::string identifier = "VF12345678";
  uint8_t status = 0x40;
  std::vector<uint32_t> speeds = {115200, 9600};
  uint32_t reply_delay_ms = 10;
  bool silent_to_identification = false;
};
Responder fiscal_device(DeviceScript script);

}  // namespace kestrelon::testing
