#include "device/port_detection.h"

#include <algorithm>

#include "common/text.h"
#include "device/device_commands.h"
#include "device/numeric_text.h"

namespace kestrelon {

namespace {

constexpr uint32_t kBeforeScanPauseMs = 250;
constexpr uint32_t kAnswerPauseMs = 250;
constexpr uint32_t kAfterScanPauseMs = 250;
constexpr int32_t kProbeBufferSize = 1024;
constexpr int kLowestStatus = 0x40;
constexpr int kHighestStatus = 0x47;
constexpr size_t kProbeAnswerSize = 2;
constexpr size_t kIdentifierLength = 10;
constexpr std::wstring_view kFieldSeparator = L" : ";

// Reads the `waiting` bytes the port reported, keeps the first `keep` and drops the rest.
std::string read_waiting(SerialLink& link, PortId port, uint32_t waiting, size_t keep) {
  std::string kept;
  uint8_t chunk[512];
  uint32_t total = 0;
  while (total < waiting) {
    const uint32_t count =
        link.read_bytes(port, chunk, std::min<uint32_t>(waiting - total, sizeof chunk));
    if (count == 0) break;  // the port failed
    const size_t room = keep - std::min(keep, kept.size());
    kept.append(reinterpret_cast<const char*>(chunk), std::min<size_t>(room, count));
    total += count;
  }
  return kept;
}

}  // namespace

PortParameters detection_trial_parameters(int port_number, int32_t speed) {
  PortParameters parameters;
  parameters.name = L"COM" + number_to_text(port_number);
  parameters.speed = speed;
  parameters.input_buffer_size = kProbeBufferSize;
  parameters.output_buffer_size = kProbeBufferSize;
  return parameters;
}

int status_value(std::string_view answer) {
  const int first = answer.size() > 0 ? static_cast<uint8_t>(answer[0]) : 0;
  const int second = answer.size() > 1 ? static_cast<uint8_t>(answer[1]) : 0;
  return first + 256 * second;
}

std::wstring detection_identifier(std::string_view reply) {
  const std::wstring text = ansi_to_wide(reply.substr(0, reply.find('\0')));
  return text.size() > 4 ? text.substr(4, kIdentifierLength) : std::wstring();
}

bool identifier_accepted(std::wstring_view identifier) {
  const size_t last_eight = identifier.size() > 8 ? identifier.size() - 8 : 0;
  return numeric_text_check(identifier.substr(0, 2)) == 0 &&
         numeric_text_check(identifier.substr(last_eight)) == 1 &&
         identifier.size() == kIdentifierLength;
}

std::vector<std::wstring> detection_lines(std::wstring_view detection_result) {
  std::vector<std::wstring> lines;
  for (size_t start = 0; start < detection_result.size();) {
    const size_t end = std::min(detection_result.find(L'\n', start), detection_result.size());
    lines.emplace_back(detection_result.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::wstring detection_line_identifier(std::wstring_view line) {
  return field(line, 5, kFieldSeparator);
}

std::wstring chosen_detection_line(std::wstring_view detection_result) {
  const std::vector<std::wstring> lines = detection_lines(detection_result);
  for (const std::wstring& line : lines) {
    if (identifies_as_vf(detection_line_identifier(line))) return line;
  }
  return lines.empty() ? std::wstring() : lines.front();
}

PortSettings settings_from_detection_line(std::wstring_view line) {
  PortSettings settings;
  settings.port_name = field(line, 1, kFieldSeparator);
  settings.speed =
      static_cast<int32_t>(static_cast<uint32_t>(text_to_integer(field(line, 2, kFieldSeparator))));
  return settings;
}

std::wstring PortDetector::detect_device_port(int highest_port, PortId device_port,
                                              const PortWatch& watch) {
  std::wstring result;
  if (link_.is_open(device_port)) link_.close_port(device_port);
  if (link_.is_open(detection_port_)) link_.close_port(detection_port_);
  link_.pause(kBeforeScanPauseMs);
  for (int port_number = 1; port_number <= highest_port; ++port_number) {
    if (watch && !watch(port_number)) break;
    for (int32_t speed : kDetectionSpeeds) try_port(port_number, speed, result);
  }
  return result;
}

void PortDetector::try_port(int port_number, int32_t speed, std::wstring& result) {
  detection_port_ = link_.open_port(detection_trial_parameters(port_number, speed));
  if (!link_.is_open(detection_port_)) return;

  link_.write_bytes(detection_port_, std::string_view(&kProbeByte, 1));
  link_.pause(kAnswerPauseMs);
  const uint32_t answer_size = link_.waiting_input_count(detection_port_);
  const int status =
      answer_size == 0
          ? 0
          : status_value(read_waiting(link_, detection_port_, answer_size, kProbeAnswerSize));
  if (status >= kLowestStatus && status <= kHighestStatus) {
    link_.write_bytes(detection_port_, identification_frame(counter_));
    link_.pause(kAnswerPauseMs);
    const uint32_t reply_size = link_.waiting_input_count(detection_port_);
    // Only this trial's bytes count: an earlier port's reply can never be taken for this one.
    const std::string reply =
        reply_size == 0 ? std::string()
                        : read_waiting(link_, detection_port_, reply_size, kReplyAreaSize);
    const std::wstring identifier = detection_identifier(reply);
    if (reply_size != 0 && identifier_accepted(identifier)) {
      result += L"COM" + number_to_text(port_number) + std::wstring(kFieldSeparator) +
                number_to_text(speed) + std::wstring(kFieldSeparator) +
                number_to_text(detection_port_) + std::wstring(kFieldSeparator) +
                number_to_text(status) + std::wstring(kFieldSeparator) + identifier + L"\n";
    }
  }
  link_.write_release_sequence(detection_port_);
  link_.close_port(detection_port_);
}

bool PortDetector::detection_retry_loop(PortSettings& settings, std::wstring& detection_result,
                                        PortId device_port,
                                        const std::function<bool()>& ask_retry) {
  for (;;) {
    detection_result = detect_device_port(kHighestPortNumber, device_port);
    const bool found = !trim_spaces(detection_result).empty();
    if (!found && !ask_retry()) return false;
    link_.pause(kAfterScanPauseMs);
    if (found) break;
  }
  // A device that prints comes first: one that identifies otherwise on a lower port would
  // make the run end without a report.
  settings = settings_from_detection_line(chosen_detection_line(detection_result));
  return true;
}

}  // namespace kestrelon
