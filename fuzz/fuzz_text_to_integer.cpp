// text_to_integer against the reference model, plus round trips through number_to_text and
// hex_text of values taken from the input.
#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "fuzz/fuzz_support.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring text = wide_from_bytes(bytes);
  const int64_t value = text_to_integer(text);
  FUZZ_CHECK(value == reference_text_to_integer(text));

  // The conversion stops at the first non-digit: whatever follows never matters.
  FUZZ_CHECK(text_to_integer(text + L"x9") == value);

  uint64_t raw = 0;
  std::memcpy(&raw, data, std::min(size, sizeof raw));
  const auto signed_raw = static_cast<int64_t>(raw);
  FUZZ_CHECK(text_to_integer(number_to_text(signed_raw)) == signed_raw);
  FUZZ_CHECK(text_to_integer(L"$" + hex_text(raw)) == signed_raw);
  FUZZ_CHECK(text_to_integer(L"-$" + hex_text(raw)) == static_cast<int64_t>(0 - raw));
  const std::wstring digits = number_to_text(signed_raw);
  FUZZ_CHECK(!digits.empty() && digits.size() <= 20);
  FUZZ_CHECK(digits == L"0" || digits[digits[0] == L'-' ? 1 : 0] != L'0');
  const std::wstring hex = hex_text(raw);
  FUZZ_CHECK(!hex.empty() && hex.size() <= 16 && (hex == L"0" || hex[0] != L'0'));
  FUZZ_CHECK(hex.find_first_not_of(L"0123456789ABCDEF") == hex.npos);
  return 0;
}
