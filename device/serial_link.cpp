#include "device/serial_link.h"

#include <vector>

namespace kestrelon {

namespace {

constexpr size_t kMaxPortNameLength = 59;
constexpr uint32_t kReleaseBytePauseMs = 25;

bool is_decimal_digit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

}  // namespace

std::wstring device_path_for(std::wstring_view port_name) {
  const std::wstring_view name = port_name.substr(0, kMaxPortNameLength);
  // Only "COM" and a number: a name such as "COM1\..\x" must not reach other devices or files.
  if (name.size() < 4 || name.substr(0, 3) != L"COM") return {};
  for (wchar_t c : name.substr(3)) {
    if (!is_decimal_digit(c)) return {};
  }
  return L"\\\\.\\" + std::wstring(name);
}

LineSettings map_line_settings(LineSettings settings, const PortParameters& parameters) {
  settings.baud_rate = static_cast<uint32_t>(parameters.speed);
  settings.parity_check = true;
  settings.parity = static_cast<uint8_t>(parameters.parity & 0xFF);
  settings.byte_size = static_cast<uint8_t>(parameters.data_bits & 0xFF);
  if (parameters.stop_bits == 1.0f) {
    settings.stop_bits = StopBits::one;
  } else if (parameters.stop_bits == 2.0f) {
    settings.stop_bits = StopBits::two;
  } else {
    settings.stop_bits = StopBits::one_and_half;
  }
  switch (static_cast<Handshake>(parameters.handshake)) {
    case Handshake::none:
      settings.out_cts_flow = false;
      settings.rts_control = RtsControl::disable;
      break;
    case Handshake::rts_on:
      settings.out_cts_flow = false;
      settings.rts_control = RtsControl::enable;
      break;
    case Handshake::rts_cts:
      settings.out_cts_flow = true;
      settings.rts_control = RtsControl::handshake;
      break;
    case Handshake::xon_xoff: {
      const int32_t tenth = parameters.input_buffer_size / 10;
      settings.out_x = true;
      settings.in_x = true;
      settings.xon_char = 0x11;
      settings.xoff_char = 0x13;
      settings.xon_limit = static_cast<uint16_t>(tenth & 0xFFFF);
      settings.xoff_limit = static_cast<uint16_t>((7 * static_cast<int64_t>(tenth)) & 0xFFFF);
      break;
    }
    default:
      break;
  }
  return settings;
}

PortId SerialLink::open_port(const PortParameters& parameters) {
  if (parameters.name.empty()) return 0;
  const std::wstring path = device_path_for(parameters.name);
  if (path.empty()) return 0;
  std::unique_ptr<SerialDevice> device = platform_.open(path);
  if (!device) return 0;
  if (parameters.input_buffer_size > 0 && parameters.output_buffer_size > 0) {
    device->setup_queues(static_cast<uint32_t>(parameters.input_buffer_size),
                         static_cast<uint32_t>(parameters.output_buffer_size));
  }
  LineSettings current;
  if (!device->read_line_settings(current)) return 0;
  if (!device->apply_line_settings(map_line_settings(current, parameters))) return 0;
  device->apply_timeouts(kDefaultTimeouts);

  do {
    last_id_ = last_id_ == INT32_MAX ? 1 : last_id_ + 1;
  } while (open_ports_.count(last_id_) != 0);
  open_ports_.emplace(last_id_, std::move(device));
  return last_id_;
}

bool SerialLink::set_timeouts(PortId port, const Timeouts& timeouts) {
  const auto found = open_ports_.find(port);
  return found != open_ports_.end() && found->second->apply_timeouts(timeouts);
}

uint32_t SerialLink::write_bytes(PortId port, std::string_view bytes) {
  const auto found = open_ports_.find(port);
  if (found == open_ports_.end()) return 0;
  const std::string_view to_send = bytes.substr(0, bytes.find('\0'));
  if (to_send.empty()) return 0;
  return found->second->write(reinterpret_cast<const uint8_t*>(to_send.data()),
                              static_cast<uint32_t>(to_send.size()));
}

uint32_t SerialLink::waiting_input_count(PortId port) {
  return query_waiting_input(port).value_or(0);
}

std::optional<uint32_t> SerialLink::query_waiting_input(PortId port) {
  const auto found = open_ports_.find(port);
  if (found == open_ports_.end()) return std::nullopt;
  return found->second->waiting_input();
}

uint32_t SerialLink::read_bytes(PortId port, uint8_t* buffer, uint32_t length) {
  const auto found = open_ports_.find(port);
  if (found == open_ports_.end() || length == 0) return 0;
  const uint32_t count = found->second->read(buffer, length).value_or(0);
  return count <= length ? count : length;
}

bool SerialLink::is_open(PortId port) const {
  return open_ports_.count(port) != 0;
}

void SerialLink::close_port(PortId port) {
  open_ports_.erase(port);
}

void SerialLink::close_all_ports() {
  open_ports_.clear();
}

void SerialLink::pause(uint32_t milliseconds) {
  if (!timer_raised_) {
    platform_.raise_timer_resolution();
    timer_raised_ = true;
  }
  platform_.sleep_ms(milliseconds);
}

void SerialLink::write_release_sequence(PortId port) {
  for (char byte : kReleaseSequence) {
    write_bytes(port, std::string_view(&byte, 1));
    pause(kReleaseBytePauseMs);
  }
}

void SerialLink::drain_waiting_input(PortId port) {
  const uint32_t waiting = waiting_input_count(port);
  if (waiting == 0) return;
  std::vector<uint8_t> scratch(waiting);
  uint32_t total = 0;
  while (total < waiting) {
    const uint32_t count = read_bytes(port, scratch.data() + total, waiting - total);
    if (count == 0) break;  // the port failed: nothing more will come
    total += count;
  }
}

}  // namespace kestrelon
