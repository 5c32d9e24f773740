// Finds the fiscal device by itself: every port COM1..COMn at 115200 and 9600.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "device/command_frame.h"
#include "device/device_port.h"
#include "device/serial_link.h"

namespace kestrelon {

inline constexpr char kProbeByte = 0x09;
inline constexpr int32_t kDetectionSpeeds[] = {115200, 9600};
inline constexpr int kHighestPortNumber = 256;
inline constexpr uint32_t kReplyAreaSize = 30;

// The line of one detection trial: COMn at the speed, with the scan's small buffers.
PortParameters detection_trial_parameters(int port_number, int32_t speed);

// The status value of a probe answer: first byte plus 256 times the second (0 if absent).
int status_value(std::string_view answer);

// The identifier in a detection reply: characters 5 to 14 of the text that runs from the
// first byte to the first zero byte.
std::wstring detection_identifier(std::string_view reply);

// Two non-numeric characters, then eight numeric ones.
bool identifier_accepted(std::wstring_view identifier);

// The lines of a detection result, without their line feeds.
std::vector<std::wstring> detection_lines(std::wstring_view detection_result);

// The device identifier of a detection line: its fifth field.
std::wstring detection_line_identifier(std::wstring_view line);

// The line of a detection result that the run takes its port from: the first whose identifier
// begins with "VF", else the first line (empty for an empty result).
std::wstring chosen_detection_line(std::wstring_view detection_result);

// Port name and speed of a detection line: its first two fields.
PortSettings settings_from_detection_line(std::wstring_view line);

// Told the port number before the trials of each port; answering false stops the scan there.
// The trial under way always ends with its release and close, so a stopped scan leaves no port
// open and no device waiting.
using PortWatch = std::function<bool(int port_number)>;

class PortDetector {
 public:
  PortDetector(SerialLink& link, SequenceCounter& counter) : link_(link), counter_(counter) {}

  // One scan of COM1..COM`highest_port`; one line per port and speed that answered:
  // "COMp : speed : port id : status : identifier\n". Closes an open device port first.
  // `watch`, when given, sees each port before its trials and may stop the scan.
  std::wstring detect_device_port(int highest_port, PortId device_port,
                                  const PortWatch& watch = {});

  // Scans until a device is found or `ask_retry` says no; then sets the settings from the
  // chosen line. Returns false when the user gave up.
  bool detection_retry_loop(PortSettings& settings, std::wstring& detection_result,
                            PortId device_port, const std::function<bool()>& ask_retry);

 private:
  void try_port(int port_number, int32_t speed, std::wstring& result);

  SerialLink& link_;
  SequenceCounter& counter_;
  PortId detection_port_ = 0;
};

}  // namespace kestrelon
