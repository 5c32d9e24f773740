// Text helpers shared by the settings file, the device link and detection.
// Every helper has one behaviour wherever it is used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrelon {

// The n-th piece (counted from 1) of `text` cut at every `separator`.
// A text without the separator is its own first field; a field beyond the last is empty.
std::wstring field(std::wstring_view text, int n, std::wstring_view separator);

// Removes the space character U+0020 only, at the end and at the start; tabs stay.
std::wstring trim_spaces(std::wstring_view text);

// Locale-aware upper-casing of every character, as the platform does it.
std::wstring upper_case(std::wstring_view text);

// Optional leading spaces/tabs, optional sign, then "$" hex, "%" binary or decimal digits.
// Stops at the first character that is no digit of its base; wraps in 64 bits.
int64_t text_to_integer(std::wstring_view text);

// Decimal, no leading zeros, no grouping.
std::wstring number_to_text(int64_t value);

// Uppercase hexadecimal digits, no leading zeros ("0" for zero).
std::wstring hex_text(uint64_t value);

// Single-byte text in the system's ANSI code page, to and from wide text.
// Bytes and characters below 0x80 are their own values.
std::wstring ansi_to_wide(std::string_view bytes);
std::string wide_to_ansi(std::wstring_view text);

}  // namespace kestrelon
