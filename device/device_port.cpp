#include "device/device_port.h"

namespace kestrelon {

namespace {
constexpr uint32_t kAfterOpenPauseMs = 250;
}

void release_and_close(SerialLink& link, PortId device_port) {
  if (!link.is_open(device_port)) return;
  link.write_release_sequence(device_port);
  link.drain_waiting_input(device_port);
  link.close_port(device_port);
}

bool open_device_port(SerialLink& link, PortId& device_port, const PortSettings& settings,
                      uint32_t serial_timeout_ms) {
  release_and_close(link, device_port);
  PortParameters parameters;
  parameters.name = settings.port_name;
  parameters.speed = settings.speed;
  parameters.parity = 0;
  parameters.data_bits = 8;
  parameters.stop_bits = 1.0f;
  parameters.handshake = static_cast<int32_t>(Handshake::none);
  parameters.input_buffer_size = kDevicePortBufferSize;
  parameters.output_buffer_size = kDevicePortBufferSize;
  device_port = link.open_port(parameters);
  if (device_port == 0) return false;
  const uint32_t t = serial_timeout_ms;
  link.set_timeouts(device_port, Timeouts{t, t, t, t, t});
  link.pause(kAfterOpenPauseMs);
  return true;
}

}  // namespace kestrelon
