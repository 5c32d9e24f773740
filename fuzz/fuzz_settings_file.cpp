// The settings step on a real file holding the input, and one settings line in memory,
// each against the reference model. A file that holds anything is never changed; a missing
// or empty one becomes the default file.

#include <filesystem>

#include "app/settings_file.h"
#include "fuzz/fuzz_support.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

namespace {

bool same(const PortSettings& a, const PortSettings& b) {
  return a.port_name == b.port_name && a.speed == b.speed;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_work_directory("kestrelon-fuzz-");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path path = work_directory() / kSettingsFileName;
  const PortSettings start{L"start", 1234};

  // Missing and empty files take turns on the empty input.
  static bool missing_turn = false;
  if (size == 0 && (missing_turn = !missing_turn)) {
    std::filesystem::remove(path);
  } else {
    write_file(path, bytes);
  }
  PortSettings settings = start;
  read_settings_file(path.wstring(), settings);
  if (size == 0) {
    FUZZ_CHECK(read_file(path) == kDefaultSettingsFile);
    FUZZ_CHECK(same(settings, start));  // the default lines are comments
  } else {
    FUZZ_CHECK(read_file(path) == bytes);
    PortSettings expected = start;
    reference_apply_file(bytes, expected);
    FUZZ_CHECK(same(settings, expected));
  }

  // The same input as one line of wide text.
  const std::wstring line = wide_from_bytes(bytes);
  PortSettings from_line = start;
  PortSettings expected_line = start;
  apply_settings_line(line, from_line);
  reference_apply_line(line, expected_line);
  FUZZ_CHECK(same(from_line, expected_line));
  FUZZ_CHECK(from_line.port_name == start.port_name ||
             from_line.port_name.compare(0, 3, L"COM") == 0);
  return 0;
}
