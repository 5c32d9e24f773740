// A fiscal device on the scripted fake whose behaviour comes from fuzz input: which speeds
// it answers at, what it sends back to the probe, to the identification frame and to any
// other bytes, in how many pieces and after what delays, and how its port misbehaves.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "unit/fake_serial_platform.h"

namespace kestrelon::fuzz {

inline constexpr size_t kLargestReply = 65536;

inline testing::Reply fuzzed_reply(FuzzedDataProvider& input, size_t max_piece) {
  testing::Reply reply;
  reply.delay_ms = input.ConsumeIntegralInRange<uint32_t>(0, 600);
  reply.piece_gap_ms = input.ConsumeIntegralInRange<uint32_t>(0, 300);
  const size_t pieces = input.ConsumeIntegralInRange<size_t>(0, 4);
  size_t total = 0;
  for (size_t i = 0; i < pieces; ++i) {
    const std::string piece = input.ConsumeRandomLengthString(max_piece);
    // Repeating a piece reaches large replies from small inputs.
    const size_t repeat = input.ConsumeBool() ? 1 : input.ConsumeIntegralInRange<size_t>(1, 2048);
    std::string bytes;
    for (size_t r = 0; r < repeat && total + bytes.size() + piece.size() <= kLargestReply; ++r) {
      bytes += piece;
    }
    total += bytes.size();
    reply.pieces.push_back(std::move(bytes));
  }
  return reply;
}

// A reply shaped like a real one: four header bytes, ten identifier bytes, then a tail.
inline testing::Reply shaped_identification_reply(FuzzedDataProvider& input) {
  // Accepted ones, and near misses for detection and for the "VF" test of the report.
  static const char* const kIdentifiers[] = {"VF12345678", "AB-1234567", "AB1234.567", "1234567890",
                                             "VFA1234567", "VF1234567",  "vf12345678", "VG12345678",
                                             "FV12345678", "V"};
  testing::Reply reply;
  reply.delay_ms = input.ConsumeIntegralInRange<uint32_t>(0, 300);
  std::string bytes = std::string("\x02\x2D\x21\x60", 4);
  const size_t choice = input.ConsumeIntegralInRange<size_t>(0, std::size(kIdentifiers));
  bytes += choice < std::size(kIdentifiers) ? std::string(kIdentifiers[choice])
                                            : input.ConsumeBytesAsString(10);
  bytes += input.ConsumeBool() ? input.ConsumeRandomLengthString(40)
                               : std::string("\x04\x05\x30\x30\x30\x30\x03", 7);
  reply.pieces.push_back(std::move(bytes));
  return reply;
}

// A status answer to the probe byte: one of the telling cases, or bytes from the input.
inline testing::Reply fuzzed_probe_answer(FuzzedDataProvider& input) {
  static const std::string_view kAnswers[] = {{"\x40", 1}, {"\x47", 1}, {"\x40\x00", 2},
                                              {"\x3F", 1}, {"\x48", 1}, {"\x40\x01", 2}};
  const size_t choice = input.ConsumeIntegralInRange<size_t>(0, std::size(kAnswers) + 1);
  if (choice > std::size(kAnswers)) return fuzzed_reply(input, 4);
  testing::Reply reply;
  reply.delay_ms = input.ConsumeIntegralInRange<uint32_t>(0, 300);
  reply.pieces.push_back(choice < std::size(kAnswers)
                             ? std::string(kAnswers[choice])
                             : std::string(1, input.ConsumeIntegral<char>()));
  return reply;
}

struct DeviceBehaviour {
  bool at_115200 = true;
  bool at_9600 = true;
  testing::Reply to_probe;
  testing::Reply to_identification;
  testing::Reply to_other;
};

// Where the input runs out, every choice falls back to a device that answers properly.
inline void add_fuzzed_device(testing::FakeSerialPlatform& fake, const std::wstring& name,
                              FuzzedDataProvider& input) {
  testing::FakePort& port = fake.add_port(name);
  const uint8_t faults = input.ConsumeIntegral<uint8_t>();
  port.fail_read_settings = faults == 1;
  port.fail_apply_settings = faults == 2;
  port.fail_waiting_input = faults == 3;
  port.phantom_waiting = faults == 4 ? input.ConsumeIntegralInRange<uint32_t>(1, 5000) : 0;
  DeviceBehaviour device;
  const uint8_t speeds = input.ConsumeIntegralInRange<uint8_t>(0, 3);
  device.at_115200 = speeds != 1;
  device.at_9600 = speeds != 2;
  device.to_probe = fuzzed_probe_answer(input);
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      device.to_identification = shaped_identification_reply(input);
      break;
    case 1:
      device.to_identification = fuzzed_reply(input, 64);
      break;
    default:
      break;  // silent
  }
  if (input.ConsumeIntegral<uint8_t>() > 224) device.to_other = fuzzed_reply(input, 8);
  port.responder = [device](std::string_view written, const LineSettings& line) {
    const bool answers = (line.baud_rate == 115200 && device.at_115200) ||
                         (line.baud_rate == 9600 && device.at_9600);
    if (!answers) return testing::Reply{};
    const bool identification = written.size() == 7 && written[0] == 0x02 && written[3] == 0x60;
    if (written == "\x09") return device.to_probe;
    return identification ? device.to_identification : device.to_other;
  };
}

// Ports COM1 to COMcount, each left out or given a fuzzed device by the input; the names of
// those that have one.
inline std::vector<std::wstring> add_fuzzed_devices(testing::FakeSerialPlatform& fake, int count,
                                                    FuzzedDataProvider& input) {
  std::vector<std::wstring> names;
  for (int p = 1; p <= count; ++p) {
    if (input.ConsumeBool()) continue;
    names.push_back(L"COM" + std::to_wstring(p));
    add_fuzzed_device(fake, names.back(), input);
  }
  return names;
}

}  // namespace kestrelon::fuzz
