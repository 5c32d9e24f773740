// A whole run (run_once) with a settings file and devices taken from the input, over the
// scripted fake. The report frame goes out at most once, only on the device port, and only
// after the identification reply on that port gave an identifier beginning with "VF"; every
// port is closed at the end and nothing but a serial port's own name is ever opened.
#include <fuzzer/FuzzedDataProvider.h>

#include <filesystem>

#include "app/run.h"
#include "fuzz/recording_platform.h"
#include "fuzz/scripted_device.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

namespace {

constexpr int kPortsWithDevices = 4;

class ScriptedBoxes : public MessageBoxes {
 public:
  void show_plain(const std::wstring& title, const std::wstring& text) override {
    FUZZ_CHECK(title == kErrorTitle && text == kBadPortSettingsText);
    ++plain;
  }
  Answer ask_yes_no(const std::wstring& title, const std::wstring& text) override {
    FUZZ_CHECK(title == kErrorTitle && text == kNoDeviceText);
    ++questions;
    return questions <= retries ? Answer::yes : Answer::no;
  }
  int retries = 0;
  int plain = 0;
  int questions = 0;
};

class CountingTray : public TrayIndicator {
 public:
  explicit CountingTray(int& removed) : removed_(removed) {}
  void remove_icon() override { ++removed_; }
  void destroy() override {}

 private:
  int& removed_;
};

bool is_frame(const std::string& bytes, char command) {
  return bytes.size() == 7 && bytes[0] == 0x02 && bytes[1] == 0x23 && bytes[3] == command;
}

std::string fuzzed_settings(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return "";  // a fresh installation: the default file, then detection
    case 1:
      return "com=COM" + std::to_string(1 + input.ConsumeIntegralInRange<int>(0, 5)) +
             "\r\nport=" + std::to_string(input.ConsumeBool() ? 9600 : 115200) + "\r\n";
    case 2:
      return "com=" + input.ConsumeRandomLengthString(16) +
             "\r\nport=" + input.ConsumeRandomLengthString(16) + "\r\n";
    default:
      return input.ConsumeRandomLengthString(256);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_work_directory("kestrelon-fuzz-run-");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::filesystem::path path = work_directory() / kSettingsFileName;
  const std::string settings_bytes = fuzzed_settings(input);
  std::filesystem::remove(path);
  if (!settings_bytes.empty()) write_file(path, settings_bytes);

  testing::FakeSerialPlatform fake;
  const std::vector<std::wstring> names = add_fuzzed_devices(fake, kPortsWithDevices, input);
  RecordingPlatform platform(fake);
  ScriptedBoxes boxes;
  boxes.retries = input.ConsumeIntegralInRange<int>(0, 2);
  int icons_removed = 0;
  RunServices services{platform, boxes,
                       [&icons_removed] { return std::make_unique<CountingTray>(icons_removed); },
                       path.wstring()};
  ProgramState state;
  const RunEnd end = run_once(services, state);

  // The file is only ever created, never changed.
  FUZZ_CHECK(read_file(path) ==
             (settings_bytes.empty() ? std::string(kDefaultSettingsFile) : settings_bytes));
  FUZZ_CHECK(icons_removed == 1);
  for (const std::wstring& name : names) FUZZ_CHECK(!fake.port(name).open);

  const Timeouts device_timeouts{120000, 120000, 120000, 120000, 120000};
  const Session* device_session = nullptr;
  size_t report_frames = 0;
  uint8_t last_identification = 0;
  for (const auto& session : platform.sessions) {
    FUZZ_CHECK(session->closed);
    bool is_device_port = false;
    for (const SessionEvent& event : session->events) {
      if (event.kind == SessionEvent::timeouts && event.applied == device_timeouts) {
        is_device_port = true;
      }
      if (event.kind != SessionEvent::write) continue;
      if (is_frame(event.bytes, 0x22)) ++report_frames;
      if (is_frame(event.bytes, 0x60)) {
        // Every frame of the process takes the next sequence number.
        FUZZ_CHECK(event.bytes == reference_frame(next_sequence(last_identification), 0x60) ||
                   is_device_port);
        last_identification = static_cast<uint8_t>(event.bytes[2]);
      }
    }
    if (is_device_port) {
      FUZZ_CHECK(device_session == nullptr);  // the device port is opened once
      device_session = session.get();
    }
  }
  FUZZ_CHECK(report_frames <= 1);
  // KESTRELON_FUZZ_SHOW=1 prints how each run ended, for looking at what a corpus covers.
  static const bool show = std::getenv("KESTRELON_FUZZ_SHOW") != nullptr;
  if (show) {
    std::fprintf(stderr, "end %d, port %ls at %d, report frames %zu\n", static_cast<int>(end),
                 state.port_settings.port_name.c_str(), state.port_settings.speed, report_frames);
  }

  switch (end) {
    case RunEnd::user_gave_up:
      FUZZ_CHECK(device_session == nullptr && boxes.plain == 0);
      FUZZ_CHECK(boxes.questions == boxes.retries + 1);
      break;
    case RunEnd::port_not_opened:
      FUZZ_CHECK(device_session == nullptr && boxes.plain == 1);
      break;
    case RunEnd::device_silent:
      FUZZ_CHECK(device_session != nullptr && boxes.plain == 1);
      break;
    case RunEnd::finished:
      FUZZ_CHECK(device_session != nullptr && boxes.plain == 0);
      break;
  }
  if (device_session == nullptr) {
    FUZZ_CHECK(report_frames == 0);
    return 0;
  }

  // The device port: the last port opened, by the run's settings.
  FUZZ_CHECK(device_session == platform.sessions.back().get());
  FUZZ_CHECK(device_session->name == state.port_settings.port_name);
  FUZZ_CHECK(device_session->speed == static_cast<uint32_t>(state.port_settings.speed));
  const auto& events = device_session->events;
  size_t at = 0;
  FUZZ_CHECK(events.at(at++).applied == kDefaultTimeouts);
  FUZZ_CHECK(events.at(at++).applied == device_timeouts);
  const std::string& identification = events.at(at++).bytes;
  FUZZ_CHECK(is_frame(identification, 0x60));
  std::string reply;
  if (at < events.size() && events[at].kind == SessionEvent::read) reply = events[at++].bytes;
  FUZZ_CHECK((end == RunEnd::device_silent) == reply.empty());  // told exactly when nothing came
  const std::wstring identifier = reference_identifier_from_reply(reply);
  const bool vf = identifier.size() >= 2 && identifier[0] == L'V' && identifier[1] == L'F';
  if (vf) {
    const uint8_t sequence = next_sequence(static_cast<uint8_t>(identification[2]));
    FUZZ_CHECK(events.at(at++).bytes == reference_frame(sequence, 0x22));
  }
  FUZZ_CHECK(report_frames == (vf ? 1u : 0u));
  for (const char* byte : {"\x18", "\x17", "\x04"}) {
    FUZZ_CHECK(events.at(at).kind == SessionEvent::write && events.at(at).bytes == byte);
    ++at;
  }
  for (; at < events.size(); ++at) FUZZ_CHECK(events[at].kind == SessionEvent::read);  // drain
  return 0;
}
