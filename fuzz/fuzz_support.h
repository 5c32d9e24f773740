// Shared by the fuzz targets: turning fuzz bytes into wide text, a check that stops the
// fuzzer with a message, and small reference models of the parsing rules. The models are
// written straight from the rules, independently of the code under test, so that a target
// can compare the two on every input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <string_view>

#include "common/text.h"
#include "device/device_port.h"

namespace kestrelon::fuzz {

// Stops the run with a message; libFuzzer then saves the input as a crash.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// Bytes as wide text, one character per byte; the byte 0xFF followed by two bytes makes one
// 16-bit character (high byte first), so that every UTF-16 code unit can be reached.
inline std::wstring wide_from_bytes(std::string_view bytes) {
  std::wstring text;
  for (size_t at = 0; at < bytes.size(); ++at) {
    const auto byte = static_cast<uint8_t>(bytes[at]);
    if (byte == 0xFF && at + 2 < bytes.size()) {
      const auto high = static_cast<uint8_t>(bytes[at + 1]);
      const auto low = static_cast<uint8_t>(bytes[at + 2]);
      text.push_back(static_cast<wchar_t>(high << 8 | low));
      at += 2;
    } else {
      text.push_back(static_cast<wchar_t>(byte));
    }
  }
  return text;
}

// ---- Files ------------------------------------------------------------------------------

// A private directory for the target's files, made once at start and removed at exit.
inline std::filesystem::path& work_directory() {
  static std::filesystem::path directory;
  return directory;
}

inline void make_work_directory(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  work_directory() = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(work_directory(), ignored);
  });
}

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    FUZZ_CHECK(written > 0);
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  close(fd);
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- Reference: text to integer --------------------------------------------------------
// Leading spaces and tabs, one optional sign, "$" hexadecimal / "%" binary / decimal digits
// up to the first character that is no digit of the base; the value wraps modulo 2^64 and a
// "-" negates it at the end.
inline int64_t reference_text_to_integer(std::wstring_view text) {
  static constexpr std::wstring_view kDigits = L"0123456789ABCDEF";
  size_t at = 0;
  while (at < text.size() && (text[at] == L' ' || text[at] == L'\t')) ++at;
  bool negative = false;
  if (at < text.size() && text[at] == L'-') {
    negative = true;
    ++at;
  } else if (at < text.size() && text[at] == L'+') {
    ++at;
  }
  unsigned base = 10;
  if (at < text.size() && text[at] == L'$') {
    base = 16;
    ++at;
  } else if (at < text.size() && text[at] == L'%') {
    base = 2;
    ++at;
  }
  unsigned __int128 value = 0;
  const unsigned __int128 modulus_mask = ~static_cast<uint64_t>(0);
  for (; at < text.size(); ++at) {
    wchar_t c = text[at];
    if (c >= L'a' && c <= L'f') c = static_cast<wchar_t>(c - L'a' + L'A');
    const size_t digit = kDigits.substr(0, base).find(c);
    if (digit == std::wstring_view::npos) break;
    value = (value * base + digit) & modulus_mask;
  }
  if (negative) value = (static_cast<unsigned __int128>(1) << 64) - value;
  return static_cast<int64_t>(static_cast<uint64_t>(value));
}

// ---- Reference: numeric text check -----------------------------------------------------
// The notation as a pattern: one optional sign in front, an integer part of plain digits or of
// digits with "," before every group of exactly three (the first and the last group free),
// and an optional "." with plain digits after it. What a pattern cannot say is counted: k
// separators need n digits with n >= 1 and k == (n - 1) / 3, something besides the sign and
// the point is needed, and the value of each digit run must fit a signed 64-bit integer.

inline bool reference_fits_int64(std::wstring_view digits) {
  int64_t value = 0;
  for (wchar_t c : digits) {
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<int>(c - L'0'), &value)) {
      return false;
    }
  }
  return true;
}

inline int reference_numeric_text(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L' ');
  if (first == text.npos) return 0;
  std::wstring_view t = text.substr(first, text.find_last_not_of(L' ') + 1 - first);

  // The pattern sees a run of more than four digits as four: to the shape they are the same,
  // and the matcher recurses once per character.
  std::wstring shape;
  size_t digits_in_a_row = 0;
  for (wchar_t c : t) {
    digits_in_a_row = c >= L'0' && c <= L'9' ? digits_in_a_row + 1 : 0;
    if (digits_in_a_row <= 4) shape += c;
  }
  static const std::wregex kShape(LR"([+-]?([0-9]*(,[0-9]{3})*,[0-9]*|[0-9]*)(\.[0-9]*)?)");
  if (!std::regex_match(shape, kShape)) return 0;

  if (t.front() == L'+' || t.front() == L'-') t.remove_prefix(1);
  const size_t point = std::min(t.find(L'.'), t.size());
  std::wstring whole(t.substr(0, point));
  const std::wstring_view fraction = t.substr(std::min(point + 1, t.size()));
  if (whole.empty() && fraction.empty()) return 0;
  const auto separators = static_cast<int64_t>(std::erase(whole, L','));
  const auto digits = static_cast<int64_t>(whole.size());
  if (separators > 0 && (digits < 1 || separators != (digits - 1) / 3)) return 0;
  return reference_fits_int64(whole) && reference_fits_int64(fraction) ? 1 : 0;
}

// ---- Reference: identifiers in replies -------------------------------------------------

// One received byte as a character, through the platform's single-byte conversion.
inline wchar_t reference_character(char byte) {
  const std::wstring one = ansi_to_wide(std::string_view(&byte, 1));
  FUZZ_CHECK(one.size() == 1);
  if (static_cast<uint8_t>(byte) < 0x80) FUZZ_CHECK(one[0] == static_cast<wchar_t>(byte));
  return one[0];
}

// Identification query: from offset 4 up to the first zero byte, at most 10 characters.
inline std::wstring reference_identifier_from_reply(std::string_view reply) {
  std::wstring id;
  for (size_t i = 4; i < reply.size() && reply[i] != '\0' && id.size() < 10; ++i) {
    id += reference_character(reply[i]);
  }
  return id;
}

// Detection: the text up to the first zero byte anywhere (a zero among the first four
// bytes leaves nothing), characters 5 to 14 of it.
inline std::wstring reference_detection_identifier(std::string_view reply) {
  for (size_t i = 0; i < 4 && i < reply.size(); ++i) {
    if (reply[i] == '\0') return {};
  }
  return reference_identifier_from_reply(reply);
}

inline bool reference_identifier_accepted(std::wstring_view id) {
  if (id.size() != 10) return false;
  return reference_numeric_text(id.substr(0, 2)) == 0 && reference_numeric_text(id.substr(2)) == 1;
}

// ---- Reference: one settings line ------------------------------------------------------

inline std::wstring reference_trim_upper(std::wstring_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (end > begin && text[end - 1] == L' ') --end;
  while (begin < end && text[begin] == L' ') ++begin;
  return upper_case(text.substr(begin, end - begin));
}

inline void reference_apply_line(std::wstring_view line, PortSettings& settings) {
  const size_t first = line.find(L'=');
  const std::wstring_view key_text = line.substr(0, first);
  std::wstring_view value_text;
  if (first != line.npos) {
    const size_t second = line.find(L'=', first + 1);
    value_text = line.substr(first + 1, second == line.npos ? line.npos : second - first - 1);
  }
  const std::wstring key = reference_trim_upper(key_text);
  const std::wstring value = reference_trim_upper(value_text);
  if (key == L"COM") {
    std::wstring rest;
    for (size_t i = 0; i < value.size();) {
      if (value.compare(i, 3, L"COM") == 0) {
        i += 3;
      } else {
        rest += value[i++];
      }
    }
    settings.port_name = L"COM" + rest;
  } else if (key == L"PORT") {
    settings.speed = static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(reference_text_to_integer(value))));
  }
}

// The whole settings file: lines end at CR LF, LF, CR or NUL; the last needs no end.
inline void reference_apply_file(std::string_view bytes, PortSettings& settings) {
  std::string line;
  const auto apply = [&] {
    std::wstring wide;
    for (char byte : line) wide += reference_character(byte);
    reference_apply_line(wide, settings);
    line.clear();
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char byte = bytes[i];
    if (byte == '\r') {
      apply();
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else if (byte == '\n' || byte == '\0') {
      apply();
    } else {
      line += byte;
    }
  }
  if (!line.empty()) apply();
}

}  // namespace kestrelon::fuzz
