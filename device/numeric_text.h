// Recognises plain decimal numbers: optional leading sign, digits with optional comma
// thousands separators, optional decimal point and fraction.
#pragma once

#include <string_view>

namespace kestrelon {

// 1 when the text is numeric, 0 otherwise.
int numeric_text_check(std::wstring_view text);

}  // namespace kestrelon
