// The command frame: start byte, length, sequence, command text, checksum, end byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrelon {

inline constexpr char kFrameStart = 0x02;
inline constexpr char kFrameEnd = 0x0A;
// The longest command text whose length byte still fits in one byte.
inline constexpr size_t kMaxCommandTextLength = 0xFF - 0x22;

// Numbers the frames of one process: 0x21 to 0xA0, then 0x21 again.
class SequenceCounter {
 public:
  // Advances the counter (test before increment) and returns the new value as hex text.
  std::string next_sequence_number();
  int32_t value() const { return value_; }
  void set_value(int32_t value) { value_ = value; }

 private:
  int32_t value_ = 0;
};

// Four characters "3", high digit, "3", low digit of the XOR over the frame head's
// length byte, sequence byte and command text.
std::string frame_checksum(std::string_view frame_head);

// Hex digits (0-9, A-F, a-f) to a number. Callers pass hex digits only; any other
// character still gives a defined value (its code offset from '0'), never a fault.
int64_t parse_hex_text(std::string_view text);

// The finished frame for a command text (command code, then data); advances the counter
// once. A command text too long for the length byte gives an empty frame.
std::string build_frame(SequenceCounter& counter, std::string_view command_text);

}  // namespace kestrelon
