// The identification query and the report command on the device port.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "device/command_frame.h"
#include "device/serial_link.h"

namespace kestrelon {

inline constexpr char kIdentifyCommand = 0x60;
inline constexpr char kReportCommand = 0x22;
inline constexpr uint32_t kReplyBufferSize = 40960;

// The identification frame (command 0x60 without data); advances the counter.
std::string identification_frame(SequenceCounter& counter);

// The device identifier in an identification reply: the single-byte text from offset 4
// up to the first zero byte (or the end of the reply), at most 10 characters.
std::wstring identifier_from_reply(std::string_view reply);

// Sends the identification frame, waits 250 ms, then polls every 25 ms for input for at
// most `wait_limit_ms` in all, and reads the waiting bytes once. nullopt when no byte came
// (the bound ran out, or the line failed).
std::optional<std::wstring> identification_query(SerialLink& link, PortId device_port,
                                                 SequenceCounter& counter, uint32_t wait_limit_ms);

// True for an identifier that begins with "VF" (case matters): a device that prints.
bool identifies_as_vf(std::wstring_view identifier);

enum class ReportOutcome { report_sent, not_vf, no_reply };

// Identification query, then the report frame for a device whose identifier begins with
// "VF".
ReportOutcome report_trigger(SerialLink& link, PortId device_port, SequenceCounter& counter,
                             uint32_t wait_limit_ms);

}  // namespace kestrelon
