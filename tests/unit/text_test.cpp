#include "common/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrelon {
namespace {

TEST(Field, CutsAtEverySeparator) {
  struct Case {
    const wchar_t* text;
    int n;
    const wchar_t* separator;
    const wchar_t* expected;
  } cases[] = {
      {L"COM3 : 115200 : 1 : 64 : VF12345678\n", 1, L" : ", L"COM3"},
      {L"COM3 : 115200 : 1 : 64 : VF12345678\n", 2, L" : ", L"115200"},
      {L"COM3 : 115200 : 1 : 64 : VF12345678\n", 5, L" : ", L"VF12345678\n"},
      {L"COM3 : 115200", 3, L" : ", L""},
      {L"no separator", 1, L"=", L"no separator"},
      {L"no separator", 2, L"=", L""},
      {L"port=115200=8N1", 2, L"=", L"115200"},
      {L"com=", 2, L"=", L""},
      {L"=x", 1, L"=", L""},
      {L"", 1, L"=", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(field(c.text, c.n, c.separator), c.expected) << c.text << " #" << c.n;
  }
}

TEST(TrimSpaces, RemovesSpacesOnlyAtBothEnds) {
  EXPECT_EQ(trim_spaces(L"  com  "), L"com");
  EXPECT_EQ(trim_spaces(L"\tcom "), L"\tcom");
  EXPECT_EQ(trim_spaces(L"a b"), L"a b");
  EXPECT_EQ(trim_spaces(L"   "), L"");
  EXPECT_EQ(trim_spaces(L""), L"");
}

TEST(UpperCase, ConvertsEveryCharacterByLocale) {
  EXPECT_EQ(upper_case(L"com12 port"), L"COM12 PORT");
  EXPECT_EQ(upper_case(L"\u00e9t\u00e9"), L"\u00c9T\u00c9");  // not ASCII letters alone
  EXPECT_EQ(upper_case(L"$1c200;"), L"$1C200;");
}

TEST(TextToInteger, ReadsSignBaseAndStopsAtFirstNonDigit) {
  struct Case {
    const wchar_t* text;
    int64_t expected;
  } cases[] = {
      {L"115200", 115200},
      {L"  \t9600", 9600},
      {L"-9600", -9600},
      {L"+42", 42},
      {L"$1C200", 115200},
      {L"$1c200", 115200},
      {L"%1010", 10},
      {L"%102", 2},
      {L"9600 baud", 9600},
      {L"010", 10},
      {L"0x1C200", 0},
      {L"abc", 0},
      {L"", 0},
      {L"-", 0},
      {L"$", 0},
      {L"4294967296", 4294967296LL},
      {L"9223372036854775807", INT64_MAX},
      {L"9223372036854775808", INT64_MIN},  // wraps in 64 bits
      {L"18446744073709551617", 1},
      {L" - 5", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(text_to_integer(c.text), c.expected) << c.text;
}

TEST(NumberToText, DecimalAndHexWithoutLeadingZeros) {
  EXPECT_EQ(number_to_text(0), L"0");
  EXPECT_EQ(number_to_text(115200), L"115200");
  EXPECT_EQ(number_to_text(-9600), L"-9600");
  EXPECT_EQ(number_to_text(INT64_MIN), L"-9223372036854775808");
  EXPECT_EQ(hex_text(0), L"0");
  EXPECT_EQ(hex_text(0xA0), L"A0");
  EXPECT_EQ(hex_text(0x1C200), L"1C200");
}

TEST(CodePage, BytesBelow0x80AreTheirOwnCharacters) {
  const std::string bytes = "VF12\x01\x7F";
  EXPECT_EQ(ansi_to_wide(bytes), L"VF12\x01\x7F");
  EXPECT_EQ(wide_to_ansi(L"com=COM3"), "com=COM3");
  EXPECT_EQ(ansi_to_wide(""), L"");
}

}  // namespace
}  // namespace kestrelon
