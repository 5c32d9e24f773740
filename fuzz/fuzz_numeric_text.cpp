// numeric_text_check against the reference model and the invariants of the notation.
#include "device/numeric_text.h"
#include "fuzz/fuzz_support.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

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
