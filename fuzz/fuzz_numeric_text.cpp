// numeric_text_check against the reference model and the invariants of the notation.
#include <algorithm>

#include "device/numeric_text.h"
#include "fuzz/fuzz_support.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

// The edge cases of the notation, one text after each "|".
constexpr std::wstring_view kNumeric =
    L"|0|007| 12 |12345678|+5|-5|1.5|.5|5.|-.5|1234567.|12345678.|1,234|12,345,678|1,234.56"
    L"|12,34|,1234|1234,|1,234,5678|9223372036854775807";
constexpr std::wstring_view kNotNumeric =
    L"|| |\t12|12\t|VF|+|-|+-5|-+5|--5|++5|+ 5|5-|1-2|3.-5|1e3|$1F|1 2|.|-.|1..5|1.2.3|1,2"
    L"|1234,567|,|1,23,4567|1,234.5,6|1,2a4|9223372036854775808|99999999999999999999"
    L"|0.9223372036854775808";

namespace {

void check_reference(std::wstring_view texts, int expected) {
  for (size_t at = 0; at < texts.size();) {
    const size_t end = std::min(texts.find(L'|', at + 1), texts.size());
    FUZZ_CHECK(reference_numeric_text(texts.substr(at + 1, end - at - 1)) == expected);
    at = end;
  }
}

}  // namespace

// The reference model itself, on those cases, before any input is tried.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  check_reference(kNumeric, 1);
  check_reference(kNotNumeric, 0);
  FUZZ_CHECK(reference_numeric_text(std::wstring(19, L'0') + L"1") == 1);
  FUZZ_CHECK(reference_numeric_text(std::wstring(1000, L'0')) == 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text =
      wide_from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  const int result = numeric_text_check(text);
  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK(result == reference_numeric_text(text));

  // Spaces at the ends never change the answer.
  FUZZ_CHECK(numeric_text_check(trim_spaces(text)) == result);
  FUZZ_CHECK(numeric_text_check(L"  " + text + L" ") == result);

  // Only digits, signs, points, commas and spaces can make a number.
  if (text.find_first_not_of(L"0123456789+-., ") != text.npos) FUZZ_CHECK(result == 0);

  // Up to 18 digits always fit the largest digit run.
  const bool only_digits = !text.empty() && text.find_first_not_of(L"0123456789") == text.npos;
  if (only_digits && text.size() <= 18) FUZZ_CHECK(result == 1);
  if (only_digits) {
    FUZZ_CHECK(numeric_text_check(L"+" + text) == result);
    FUZZ_CHECK(numeric_text_check(L"-" + text) == result);
    FUZZ_CHECK(numeric_text_check(text + L".") == result);
    FUZZ_CHECK(numeric_text_check(L"+-" + text) == 0);
  }
  return 0;
}
