#include "unit/fake_serial_platform.h"

#include <algorithm>
#include <cstdio>

namespace kestrelon::testing {

std::string hex_bytes(std::string_view bytes) {
  std::string text;
  char digits[4];
  for (char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(c));
    if (!text.empty()) text += ' ';
    text += digits;
  }
  return text;
}

char frame_command(std::string_view written) {
  if (written.size() != 7 || written[0] != 0x02 || written[1] != 0x23 || written[6] != 0x0A) {
    return 0;
  }
  const uint8_t x = static_cast<uint8_t>(written[1] ^ written[2] ^ written[3]);
  const bool checksum_right = written[4] == 0x30 + (x >> 4) && written[5] == 0x30 + (x & 0x0F);
  return checksum_right ? written[3] : 0;
}

namespace {
std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}
}  // namespace

class FakeDevice : public SerialDevice {
 public:
  FakeDevice(FakeSerialPlatform& platform, FakePort& port, std::string name)
      : platform_(platform), port_(port), name_(std::move(name)) {
    port_.open = true;
    ++port_.times_opened;
    line_ = port_.driver_settings;
  }
  ~FakeDevice() override {
    port_.open = false;
    platform_.events.push_back("close " + name_);
  }

  void setup_queues(uint32_t input_size, uint32_t output_size) override {
    port_.queue_sizes.emplace_back(input_size, output_size);
  }
  bool read_line_settings(LineSettings& settings) override {
    settings = line_;
    return !port_.fail_read_settings;
  }
  bool apply_line_settings(const LineSettings& settings) override {
    port_.applied_settings.push_back(settings);
    if (port_.fail_apply_settings) return false;
    line_ = settings;
    return true;
  }
  bool apply_timeouts(const Timeouts& timeouts) override {
    port_.applied_timeouts.push_back(timeouts);
    return true;
  }
  std::optional<uint32_t> waiting_input() override {
    if (port_.fail_waiting_input) return std::nullopt;
    return port_.phantom_waiting +
           static_cast<uint32_t>(std::count_if(
               port_.input.begin(), port_.input.end(),
               [this](const auto& entry) { return entry.first <= platform_.now_ms(); }));
  }
  std::optional<uint32_t> read(uint8_t* buffer, uint32_t length) override {
    uint32_t count = 0;
    while (count < length && !port_.input.empty()) {
      // Bytes still on their way are waited for, as a read under the time-outs would.
      const auto [arrival, byte] = port_.input.front();
      if (arrival > platform_.now_ms()) platform_.now_ms_ = arrival;
      buffer[count++] = static_cast<uint8_t>(byte);
      port_.input.pop_front();
    }
    platform_.events.push_back("read " + name_ + " " + std::to_string(count));
    return count;
  }
  uint32_t write(const uint8_t* bytes, uint32_t length) override {
    const std::string written(reinterpret_cast<const char*>(bytes), length);
    port_.received += written;
    platform_.events.push_back("write " + name_ + " " + hex_bytes(written));
    if (port_.responder) schedule(port_.responder(written, line_));
    return length;
  }

 private:
  void schedule(const Reply& reply) {
    uint64_t at = platform_.now_ms() + reply.delay_ms;
    for (const std::string& piece : reply.pieces) {
      for (char byte : piece) port_.input.emplace_back(at, byte);
      at += reply.piece_gap_ms;
    }
  }

  FakeSerialPlatform& platform_;
  FakePort& port_;
  std::string name_;
  LineSettings line_;
};

FakePort& FakeSerialPlatform::add_port(const std::wstring& name) {
  return ports_[name];
}

std::unique_ptr<SerialDevice> FakeSerialPlatform::open(const std::wstring& device_path) {
  const std::wstring prefix = L"\\\\.\\";
  const std::wstring name = device_path.substr(0, prefix.size()) == prefix
                                ? device_path.substr(prefix.size())
                                : device_path;
  const auto found = ports_.find(name);
  const bool refused = found != ports_.end() && found->second.refused_opens > 0;
  if (refused) {
    --found->second.refused_opens;
    refused_ += L" " + name;
  }
  if (found == ports_.end() || found->second.open || refused ||
      found->second.times_opened == found->second.opens_before_gone) {
    events.push_back("open-failed " + narrow(device_path));
    return nullptr;
  }
  events.push_back("open " + narrow(name));
  return std::make_unique<FakeDevice>(*this, found->second, narrow(name));
}

std::wstring FakeSerialPlatform::take_refusal_note() {
  const std::wstring note = refused_.empty() ? L"" : L"[refused" + refused_ + L"]";
  refused_.clear();
  return note;
}

void FakeSerialPlatform::raise_timer_resolution() {
  events.push_back("timer 1");
}

void FakeSerialPlatform::sleep_ms(uint32_t milliseconds) {
  events.push_back("pause " + std::to_string(milliseconds));
  now_ms_ += milliseconds;
}

std::vector<uint32_t> FakeSerialPlatform::pauses() const {
  std::vector<uint32_t> result;
  for (const std::string& event : events) {
    if (event.rfind("pause ", 0) == 0) result.push_back(std::stoul(event.substr(6)));
  }
  return result;
}

std::vector<std::string> FakeSerialPlatform::events_starting(std::string_view prefix) const {
  std::vector<std::string> result;
  for (const std::string& event : events) {
    if (event.rfind(prefix, 0) == 0) result.push_back(event);
  }
  return result;
}

uint64_t FakeSerialPlatform::total_paused_ms() const {
  uint64_t total = 0;
  for (uint32_t pause : pauses()) total += pause;
  return total;
}

Responder fiscal_device(DeviceScript script) {
  return [script](std::string_view written, const LineSettings& line) -> Reply {
    const bool speed_ok = std::find(script.speeds.begin(), script.speeds.end(), line.baud_rate) !=
                          script.speeds.end();
    if (!speed_ok) return {};
    if (written == "\x09") return {{std::string(1, static_cast<char>(script.status))}, 5, 0};
    if (frame_command(written) == 0x60 && !script.silent_to_identification) {
      std::string reply = std::string("\x02\x2D", 2) + written[2] + '\x60' + script.identifier;
      reply += std::string("\x04\x05\x30\x30\x30\x30\x03", 7);
      return {{reply}, script.reply_delay_ms, 0};
    }
    return {};
  };
}

}  // namespace kestrelon::testing
