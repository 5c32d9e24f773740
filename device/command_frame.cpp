#include "device/command_frame.h"

#include "common/text.h"

namespace kestrelon {

namespace {

constexpr int32_t kFirstSequence = 0x21;
constexpr int32_t kLastSequence = 0xA0;

std::string ascii(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

char byte_of(int64_t code) {
  return static_cast<char>(static_cast<uint8_t>(code & 0xFF));
}

}  // namespace

std::string SequenceCounter::next_sequence_number() {
  if (value_ > kLastSequence - 1 || value_ < kFirstSequence) {
    value_ = kFirstSequence;
  } else {
    ++value_;
  }
  return ascii(hex_text(static_cast<uint64_t>(value_)));
}

std::string frame_checksum(std::string_view frame_head) {
  const int covered = frame_head.size() < 2 ? 0 : static_cast<uint8_t>(frame_head[1]) - 0x20;
  uint8_t x = 0;
  for (int i = 1; i <= covered && i < static_cast<int>(frame_head.size()); ++i) {
    x ^= static_cast<uint8_t>(frame_head[i]);
  }
  std::string digits = ascii(hex_text(x));
  if (digits.size() < 2) digits.insert(digits.begin(), '0');
  return {'3', digits[0], '3', digits[1]};
}

int64_t parse_hex_text(std::string_view text) {
  uint64_t value = 0;  // unsigned, so that any text wraps instead of overflowing
  for (char c : text) {
    int64_t digit = static_cast<int64_t>(static_cast<uint8_t>(c)) - 0x30;
    if (digit >= 17) digit -= digit >= 49 ? 39 : 7;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return static_cast<int64_t>(value);
}

std::string build_frame(SequenceCounter& counter, std::string_view command_text) {
  if (command_text.size() > kMaxCommandTextLength) return {};
  const int64_t length = parse_hex_text(ascii(hex_text(0x22 + command_text.size())));
  const int64_t sequence = parse_hex_text(counter.next_sequence_number());
  std::string frame{kFrameStart, byte_of(length), byte_of(sequence)};
  frame.append(command_text);
  const std::string checksum = frame_checksum(frame);
  frame += byte_of(parse_hex_text(checksum.substr(0, 2)));
  frame += byte_of(parse_hex_text(checksum.substr(2, 2)));
  frame += kFrameEnd;
  return frame;
}

}  // namespace kestrelon
