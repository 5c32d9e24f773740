// Upper-casing and single-byte text on POSIX systems. The single-byte code page here is
// ISO-8859-1: a byte is the character with the same code, and a character it lacks is '?'.
#include <locale.h>
#include <wctype.h>

#include "common/text.h"

namespace kestrelon {
namespace {

// A Unicode-aware locale, made once; the process locale stays "C" (ASCII-only).
// nullptr when the system has none: upper-casing then falls back to the C locale.
locale_t unicode_locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

}  // namespace

std::wstring upper_case(std::wstring_view text) {
  std::wstring upper(text);
  const locale_t locale = unicode_locale();
  for (wchar_t& c : upper) {
    const wint_t wide = static_cast<wint_t>(c);
    c = static_cast<wchar_t>(locale != static_cast<locale_t>(0) ? towupper_l(wide, locale)
                                                                : towupper(wide));
  }
  return upper;
}

std::wstring ansi_to_wide(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  for (char byte : bytes) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
  return text;
}

std::string wide_to_ansi(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (wchar_t c : text) {
    const auto code = static_cast<uint32_t>(c);
    bytes.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
  }
  return bytes;
}

}  // namespace kestrelon
