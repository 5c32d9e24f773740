#include "common/text.h"

namespace kestrelon {

std::wstring field(std::wstring_view text, int n, std::wstring_view separator) {
  if (n < 1) return {};
  if (separator.empty()) return n == 1 ? std::wstring(text) : std::wstring();
  size_t start = 0;
  for (int index = 1;; ++index) {
    const size_t end = text.find(separator, start);
    if (index == n)
      return std::wstring(text.substr(start, end == text.npos ? text.npos : end - start));
    if (end == text.npos) return {};
    start = end + separator.size();
  }
}

std::wstring trim_spaces(std::wstring_view text) {
  const size_t last = text.find_last_not_of(L' ');
  if (last == text.npos) return {};
  const size_t first = text.find_first_not_of(L' ');
  return std::wstring(text.substr(first, last - first + 1));
}

namespace {

// The value of a digit in `base`, or -1.
int digit_value(wchar_t c, int base) {
  int value = -1;
  if (c >= L'0' && c <= L'9') value = c - L'0';
  if (c >= L'A' && c <= L'F') value = c - L'A' + 10;
  if (c >= L'a' && c <= L'f') value = c - L'a' + 10;
  return value < base ? value : -1;
}

}  // namespace

int64_t text_to_integer(std::wstring_view text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == L' ' || text[at] == L'\t')) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) negative = text[at++] == L'-';
  int base = 10;
  if (at < text.size() && text[at] == L'$')
    base = 16, ++at;
  else if (at < text.size() && text[at] == L'%')
    base = 2, ++at;
  // Unsigned arithmetic wraps without undefined behaviour; the result is read as signed.
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    const int digit = digit_value(text[at], base);
    if (digit < 0) break;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (negative) value = 0 - value;
  return static_cast<int64_t>(value);
}

std::wstring number_to_text(int64_t value) {
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits.insert(digits.begin(), L'-');
  return digits;
}

std::wstring hex_text(uint64_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kDigits[value % 16]);
    value /= 16;
  } while (value != 0);
  return digits;
}

}  // namespace kestrelon
