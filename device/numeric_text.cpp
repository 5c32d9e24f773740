#include "device/numeric_text.h"

#include <algorithm>
#include <string>

#include "common/text.h"

namespace kestrelon {

namespace {

constexpr std::wstring_view kLargestRun = L"9223372036854775807";
constexpr int kGroupSize = 3;

bool has_sign(std::wstring_view t) {
  return t.find_first_of(L"+-") != t.npos;
}

// Zero or more decimal digits whose value fits a signed 64-bit integer.
bool is_digit_run(std::wstring_view t) {
  if (!std::all_of(t.begin(), t.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
    return false;
  }
  const size_t first_significant = std::min(t.find_first_not_of(L'0'), t.size());
  const std::wstring_view significant = t.substr(first_significant);
  if (significant.size() != kLargestRun.size()) return significant.size() < kLargestRun.size();
  return significant <= kLargestRun;
}

// Count, spacing and character rules for a text holding at least one ",".
bool grouping_holds(std::wstring_view s) {
  const auto separators = static_cast<int64_t>(std::count(s.begin(), s.end(), L','));
  const auto digits = static_cast<int64_t>(s.size()) - separators;
  const int64_t expected = digits / kGroupSize - (digits % kGroupSize == 0 ? 1 : 0);
  if (separators != expected) return false;
  size_t previous = s.find(L',');
  for (size_t at = s.find(L',', previous + 1); at != s.npos; at = s.find(L',', at + 1)) {
    if (at != previous + kGroupSize + 1) return false;
    previous = at;
  }
  return s.find_first_not_of(L"1234567890,") == s.npos;
}

std::wstring without_separators(std::wstring_view s) {
  std::wstring result(s);
  result.erase(std::remove(result.begin(), result.end(), L','), result.end());
  return result;
}

int integer_form(std::wstring_view t) {
  std::wstring digits(t);
  if (t.find(L',') != t.npos) {
    if (!grouping_holds(t)) return 0;
    digits = without_separators(t);
  }
  return !digits.empty() && is_digit_run(digits) ? 1 : 0;
}

int decimal_form(std::wstring_view t) {
  if (t == L".") return 0;
  const size_t point = t.find(L'.');
  std::wstring whole(t.substr(0, point));
  const std::wstring_view fraction = t.substr(point + 1);
  if (fraction.find(L',') != fraction.npos) return 0;
  if (whole.find(L',') != whole.npos) {
    if (!grouping_holds(whole)) return 0;
    whole = without_separators(whole);
  }
  return is_digit_run(whole) && is_digit_run(fraction) ? 1 : 0;
}

}  // namespace

int numeric_text_check(std::wstring_view text) {
  const std::wstring trimmed = trim_spaces(text);
  std::wstring_view t = trimmed;
  // One sign, and only in front.
  for (wchar_t sign : {L'+', L'-'}) {
    if (!t.empty() && t.front() == sign) {
      t.remove_prefix(1);
      if (has_sign(t)) return 0;
    }
  }
  const auto points = std::count(t.begin(), t.end(), L'.');
  if (points > 1) return 0;
  return points == 0 ? integer_form(t) : decimal_form(t);
}

}  // namespace kestrelon
