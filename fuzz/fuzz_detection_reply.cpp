// The pieces detection reads from a port: status value of a probe answer, identifier of a
// reply and the test that accepts it, each against a reference.
#include "device/numeric_text.h"
#include "device/port_detection.h"
#include "fuzz/fuzz_support.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const int status = status_value(bytes);
  FUZZ_CHECK(status >= 0 && status <= 0xFFFF);
  const int first = size > 0 ? data[0] : 0;
  const int second = size > 1 ? data[1] : 0;
  FUZZ_CHECK(status == first + 256 * second);
  // Accepted statuses are one byte 0x40..0x47, alone or followed by a zero byte.
  FUZZ_CHECK((status >= 0x40 && status <= 0x47) ==
             (size > 0 && data[0] >= 0x40 && data[0] <= 0x47 && (size == 1 || data[1] == 0)));

  // The reply area holds 30 bytes; the whole input is tried as well.
  for (std::string_view reply : {bytes.substr(0, kReplyAreaSize), bytes}) {
    const std::wstring identifier = detection_identifier(reply);
    FUZZ_CHECK(identifier.size() <= 10);
    FUZZ_CHECK(identifier.find(L'\0') == identifier.npos);
    FUZZ_CHECK(identifier == reference_detection_identifier(reply));
    const bool accepted = identifier_accepted(identifier);
    FUZZ_CHECK(accepted == reference_identifier_accepted(identifier));
    if (accepted) {
      FUZZ_CHECK(identifier.size() == 10);
      FUZZ_CHECK(numeric_text_check(identifier.substr(2)) == 1);
      FUZZ_CHECK(identifier.substr(2).find_first_not_of(L"0123456789+-., ") == std::wstring::npos);
    }
  }

  // The accepting test on any wide text, not only on what a reply can carry.
  const std::wstring text = wide_from_bytes(bytes);
  FUZZ_CHECK(identifier_accepted(text) == reference_identifier_accepted(text));
  return 0;
}
