// A serial platform that sits between the code under test and the scripted fake: it passes
// every call on, checks the rules every caller must keep (never ask for more bytes than are
// waiting, never open anything but a serial port's own name) and records each opened port's
// traffic as one session, so that a target can assert on what really crossed the line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "unit/fake_serial_platform.h"

namespace kestrelon::fuzz {

struct SessionEvent {
  enum Kind { write, read, timeouts } kind;
  std::string bytes;  // written or read
  Timeouts applied;   // for timeouts
};

struct Session {
  std::wstring name;
  uint32_t speed = 0;
  bool closed = false;
  std::vector<SessionEvent> events;
};

// True for "\\.\COM" followed by decimal digits only.
inline bool is_serial_port_path(std::wstring_view path) {
  const std::wstring_view prefix = L"\\\\.\\COM";
  if (path.size() <= prefix.size() || path.substr(0, prefix.size()) != prefix) return false;
  for (wchar_t c : path.substr(prefix.size())) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

class RecordingDevice : public SerialDevice {
 public:
  RecordingDevice(std::unique_ptr<SerialDevice> inner, Session& session)
      : inner_(std::move(inner)), session_(session) {}
  ~RecordingDevice() override { session_.closed = true; }

  void setup_queues(uint32_t input_size, uint32_t output_size) override {
    inner_->setup_queues(input_size, output_size);
  }
  bool read_line_settings(LineSettings& settings) override {
    return inner_->read_line_settings(settings);
  }
  bool apply_line_settings(const LineSettings& settings) override {
    const bool applied = inner_->apply_line_settings(settings);
    if (applied) session_.speed = settings.baud_rate;
    return applied;
  }
  bool apply_timeouts(const Timeouts& timeouts) override {
    session_.events.push_back({SessionEvent::timeouts, {}, timeouts});
    return inner_->apply_timeouts(timeouts);
  }
  std::optional<uint32_t> waiting_input() override { return inner_->waiting_input(); }
  std::optional<uint32_t> read(uint8_t* buffer, uint32_t length) override {
    // Asking for more than is waiting would block a real port for the whole time-out.
    FUZZ_CHECK(length <= inner_->waiting_input().value_or(0));
    const std::optional<uint32_t> count = inner_->read(buffer, length);
    FUZZ_CHECK(!count || *count <= length);
    session_.events.push_back(
        {SessionEvent::read, std::string(reinterpret_cast<char*>(buffer), count.value_or(0)), {}});
    return count;
  }
  uint32_t write(const uint8_t* bytes, uint32_t length) override {
    session_.events.push_back(
        {SessionEvent::write, std::string(reinterpret_cast<const char*>(bytes), length), {}});
    return inner_->write(bytes, length);
  }

 private:
  std::unique_ptr<SerialDevice> inner_;
  Session& session_;
};

class RecordingPlatform : public SerialPlatform {
 public:
  explicit RecordingPlatform(testing::FakeSerialPlatform& fake) : fake_(fake) {}

  std::unique_ptr<SerialDevice> open(const std::wstring& device_path) override {
    FUZZ_CHECK(is_serial_port_path(device_path));
    std::unique_ptr<SerialDevice> device = fake_.open(device_path);
    if (!device) return nullptr;
    sessions.push_back(std::make_unique<Session>());
    sessions.back()->name = device_path.substr(4);
    return std::make_unique<RecordingDevice>(std::move(device), *sessions.back());
  }
  void raise_timer_resolution() override { fake_.raise_timer_resolution(); }
  void sleep_ms(uint32_t milliseconds) override { fake_.sleep_ms(milliseconds); }

  std::vector<std::unique_ptr<Session>> sessions;

 private:
  testing::FakeSerialPlatform& fake_;
};

// The frame for a one-byte command text with the given sequence byte, built by hand.
inline std::string reference_frame(uint8_t sequence, char command) {
  const uint8_t x = static_cast<uint8_t>(0x23 ^ sequence ^ static_cast<uint8_t>(command));
  return std::string{0x02,
                     0x23,
                     static_cast<char>(sequence),
                     command,
                     static_cast<char>(0x30 + (x >> 4)),
                     static_cast<char>(0x30 + (x & 0x0F)),
                     0x0A};
}

// The sequence byte that follows `sequence` (0x21 to 0xA0, round).
inline uint8_t next_sequence(uint8_t sequence) {
  return sequence >= 0xA0 || sequence < 0x21 ? 0x21 : static_cast<uint8_t>(sequence + 1);
}

}  // namespace kestrelon::fuzz
