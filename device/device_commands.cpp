#include "device/device_commands.h"

#include <algorithm>
#include <vector>

#include "common/text.h"

namespace kestrelon {

namespace {

constexpr size_t kIdentifierOffset = 4;
constexpr size_t kIdentifierLength = 10;
constexpr uint32_t kReplyFirstPauseMs = 250;
constexpr uint32_t kReplyPollPauseMs = 25;

// Waits for the first input: 25 ms between looks, at most `limit_ms` of looking in all.
// A failing look ends the wait: the line is gone (a device unplugged) and nothing will come.
uint32_t wait_for_input(SerialLink& link, PortId port, uint32_t limit_ms) {
  for (uint32_t waited = 0; waited < limit_ms; waited += kReplyPollPauseMs) {
    link.pause(kReplyPollPauseMs);
    const std::optional<uint32_t> count = link.query_waiting_input(port);
    if (!count) return 0;
    if (*count > 0) return *count;
  }
  return 0;
}

}  // namespace

std::string identification_frame(SequenceCounter& counter) {
  return build_frame(counter, std::string_view(&kIdentifyCommand, 1));
}

std::wstring identifier_from_reply(std::string_view reply) {
  if (reply.size() <= kIdentifierOffset) return {};
  std::string_view text = reply.substr(kIdentifierOffset);
  // The whole text up to its zero byte: a cut in bytes could split a double-byte character.
  return ansi_to_wide(text.substr(0, text.find('\0'))).substr(0, kIdentifierLength);
}

std::optional<std::wstring> identification_query(SerialLink& link, PortId device_port,
                                                 SequenceCounter& counter, uint32_t wait_limit_ms) {
  std::vector<uint8_t> reply(kReplyBufferSize, 0);
  link.write_bytes(device_port, identification_frame(counter));
  link.pause(kReplyFirstPauseMs);
  const uint32_t waiting = wait_for_input(link, device_port, wait_limit_ms);
  if (waiting == 0) return std::nullopt;
  // Whatever does not fit stays in the port's input until the drain at release.
  const uint32_t wanted = std::min(waiting, kReplyBufferSize);
  const uint32_t count = link.read_bytes(device_port, reply.data(), wanted);
  if (count == 0) return std::nullopt;  // the read failed: the line is gone
  return identifier_from_reply(
      std::string_view(reinterpret_cast<const char*>(reply.data()), count));
}

bool identifies_as_vf(std::wstring_view identifier) {
  return identifier.starts_with(L"VF");
}

ReportOutcome report_trigger(SerialLink& link, PortId device_port, SequenceCounter& counter,
                             uint32_t wait_limit_ms) {
  const std::optional<std::wstring> identifier =
      identification_query(link, device_port, counter, wait_limit_ms);
  if (!identifier) return ReportOutcome::no_reply;
  if (!identifies_as_vf(*identifier)) return ReportOutcome::not_vf;
  link.write_bytes(device_port, build_frame(counter, std::string_view(&kReportCommand, 1)));
  return ReportOutcome::report_sent;
}

}  // namespace kestrelon
