// One scan of PortDetector::detect_device_port over the scripted fake, with devices whose
// answers come from the input. The result must be exactly what the traffic on the line
// calls for: one well-formed line per trial whose reply carried an accepted identifier, and
// every port closed afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <regex>

#include "device/port_detection.h"
#include "fuzz/recording_platform.h"
#include "fuzz/scripted_device.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

namespace {

constexpr int kPortsWithDevices = 6;
const std::string kRelease[] = {"\x18", "\x17", "\x04"};

// What one trial must have done, worked out from its own traffic; adds its line, if any.
void check_trial(const Session& session, int link_id, uint8_t& sequence, std::wstring& expected,
                 uint64_t& expected_pause) {
  const auto& events = session.events;
  size_t at = 0;
  FUZZ_CHECK(at < events.size() && events[at].kind == SessionEvent::timeouts);
  FUZZ_CHECK(events[at].applied == kDefaultTimeouts);  // detection sets no time-outs of its own
  ++at;
  FUZZ_CHECK(at < events.size() && events[at].kind == SessionEvent::write &&
             events[at].bytes == "\x09");
  ++at;
  std::string answer;
  for (; at < events.size() && events[at].kind == SessionEvent::read; ++at)
    answer += events[at].bytes;
  const int status = status_value(answer.substr(0, 2));
  expected_pause += 250 + 3 * 25;
  if (status >= 0x40 && status <= 0x47) {
    sequence = next_sequence(sequence);
    FUZZ_CHECK(at < events.size() && events[at].kind == SessionEvent::write &&
               events[at].bytes == reference_frame(sequence, 0x60));
    ++at;
    expected_pause += 250;
    std::string reply;
    bool any_read = false;
    for (; at < events.size() && events[at].kind == SessionEvent::read; ++at) {
      reply += events[at].bytes;
      any_read = true;
    }
    const std::wstring identifier = reference_detection_identifier(reply.substr(0, 30));
    if (any_read && reference_identifier_accepted(identifier)) {
      expected += session.name + L" : " + std::to_wstring(session.speed) + L" : " +
                  std::to_wstring(link_id) + L" : " + std::to_wstring(status) + L" : " +
                  identifier + L"\n";
    }
  }
  for (const std::string& byte : kRelease) {
    FUZZ_CHECK(at < events.size() && events[at].kind == SessionEvent::write &&
               events[at].bytes == byte);
    ++at;
  }
  FUZZ_CHECK(at == events.size());
  FUZZ_CHECK(session.closed);
}

// "COM<p> : <speed> : <id> : <status> : <10 characters>\n", nothing else. The identifier is
// taken as ten characters whatever they are: a reply may carry a line feed in it.
void check_format(const std::wstring& result, int highest) {
  static const std::wregex head(
      L"COM([1-9][0-9]*) : (115200|9600) : [1-9][0-9]* : (6[4-9]|7[01]) : ");
  size_t lines = 0;
  for (size_t start = 0; start < result.size(); ++lines) {
    std::wsmatch match;
    FUZZ_CHECK(std::regex_search(result.cbegin() + static_cast<std::ptrdiff_t>(start),
                                 result.cend(), match, head,
                                 std::regex_constants::match_continuous));
    const int port = std::stoi(match[1].str());
    FUZZ_CHECK(port >= 1 && port <= highest);
    const size_t end = start + static_cast<size_t>(match.length(0)) + 10;
    FUZZ_CHECK(end < result.size() && result[end] == L'\n');
    start = end + 1;
  }
  FUZZ_CHECK(lines <= 2 * static_cast<size_t>(std::max(highest, 0)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  testing::FakeSerialPlatform fake;
  // Where the input runs out: every port up to one past the last device, each with a device.
  const int highest =
      kPortsWithDevices + 1 - input.ConsumeIntegralInRange<int>(0, kPortsWithDevices + 2);
  const std::vector<std::wstring> names = add_fuzzed_devices(fake, kPortsWithDevices, input);
  RecordingPlatform platform(fake);
  SerialLink link(platform);
  SequenceCounter counter;
  PortDetector detector(link, counter);

  // A device port left open before the scan is closed by it, without any traffic.
  PortId device_port = input.ConsumeIntegralInRange<PortId>(-1, 3);
  if (!names.empty() && input.ConsumeBool()) {
    PortParameters parameters;
    parameters.name = names[input.ConsumeIntegralInRange<size_t>(0, names.size() - 1)];
    parameters.speed = 115200;
    device_port = link.open_port(parameters);
  }
  const size_t sessions_before = platform.sessions.size();
  const int links_before = device_port > 0 && link.is_open(device_port) ? 1 : 0;

  const std::wstring result = detector.detect_device_port(highest, device_port);
  // KESTRELON_FUZZ_SHOW=1 prints each result, for looking at what a corpus covers.
  static const bool show = std::getenv("KESTRELON_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "result: %ls|\n", result.c_str());

  for (const std::wstring& name : names) FUZZ_CHECK(!fake.port(name).open);
  FUZZ_CHECK(!link.is_open(device_port));
  check_format(result, highest);

  std::wstring expected;
  uint8_t sequence = 0;
  uint64_t expected_pause = 250;
  int link_id = links_before;
  for (size_t i = 0; i < platform.sessions.size(); ++i) {
    const Session& session = *platform.sessions[i];
    FUZZ_CHECK(session.closed);
    if (i < sessions_before) {
      for (const SessionEvent& event : session.events)
        FUZZ_CHECK(event.kind != SessionEvent::write);
      continue;
    }
    // A port whose line settings were refused never became a trial.
    if (session.events.empty()) continue;
    check_trial(session, ++link_id, sequence, expected, expected_pause);
  }
  FUZZ_CHECK(result == expected);
  FUZZ_CHECK(fake.total_paused_ms() == expected_pause);
  return 0;
}
