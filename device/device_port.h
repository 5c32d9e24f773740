// The device port: the one port through which the device commands run.
#pragma once

#include <cstdint>
#include <string>

#include "device/serial_link.h"

namespace kestrelon {

// Port name ("COM" and a number when well formed) and speed in bits per second.
struct PortSettings {
  std::wstring port_name;
  int32_t speed = 0;
};

inline constexpr uint32_t kSerialTimeoutMs = 120000;
inline constexpr int32_t kDevicePortBufferSize = 1048576;

// Releases a device port still open, then opens it from the settings (8N1, no handshake,
// 1 MiB buffers), gives it the serial time-out for all five time-outs and pauses 250 ms.
// Returns false, with nothing set and no pause, when the port cannot be opened.
bool open_device_port(SerialLink& link, PortId& device_port, const PortSettings& settings,
                      uint32_t serial_timeout_ms);

// When the device port is open: release sequence, drain of the waiting input, close.
void release_and_close(SerialLink& link, PortId device_port);

}  // namespace kestrelon
