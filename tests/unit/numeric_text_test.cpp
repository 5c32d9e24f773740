#include "device/numeric_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace kestrelon {
namespace {

TEST(NumericTextCheck, PlainDecimalNumbersOnly) {
  struct Case {
    std::wstring text;
    int expected;
  } cases[] = {
      {L"", 0},
      {L" ", 0},
      {L"0", 1},
      {L"007", 1},
      {L" 12 ", 1},
      {L"\t12", 0},
      {L"12\t", 0},
      {L"12345678", 1},
      {L"VF", 0},
      {L"+5", 1},
      {L"-5", 1},
      {L"+", 0},
      {L"-", 0},
      {L"+-5", 0},
      {L"-+5", 0},
      {L"--5", 0},
      {L"++5", 0},
      {L"+ 5", 0},
      {L"5-", 0},
      {L"1-2", 0},
      {L"3.-5", 0},
      {L"1e3", 0},
      {L"$1F", 0},
      {L"1 2", 0},
      {L"1.5", 1},
      {L".5", 1},
      {L"5.", 1},
      {L"-.5", 1},
      {L"1234567.", 1},
      {L".", 0},
      {L"-.", 0},
      {L"1..5", 0},
      {L"1.2.3", 0},
      {L"1,234", 1},
      {L"12,345,678", 1},
      {L"1,234.56", 1},
      {L"12,34", 1},
      {L",1234", 1},
      {L"1234,", 1},
      {L"1,234,5678", 1},
      {L"1,2", 0},
      {L"1234,567", 0},
      {L",", 0},
      {L"1,23,4567", 0},
      {L"1,234.5,6", 0},
      {L"1,2a4", 0},
      {L"9223372036854775807", 1},
      {L"9223372036854775808", 0},
      {L"99999999999999999999", 0},
      {std::wstring(19, L'0') + L"1", 1},
      {std::wstring(1000, L'0'), 1},
      {L"0.9223372036854775808", 0},  // a fraction is a digit run too
      {L"12345678.", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(numeric_text_check(c.text), c.expected)
        << "\"" << std::string(c.text.begin(), c.text.end()) << "\"";
  }
}

}  // namespace
}  // namespace kestrelon
