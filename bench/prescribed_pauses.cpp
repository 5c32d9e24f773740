// prescribed_pauses: what a run writes and the pauses it prescribes, told by the run itself.
// It runs the program's run (run_once) once against the unit tests' fake serial platform, whose
// clock is virtual, with a benchmark scenario's settings and devices; every yes/no question is
// answered No, as the benchmark answers it. The benchmark checks these bytes against what the
// simulators received from the real program, and takes the prescribed time between any two
// writes from the pauses printed here: no pause is written down twice.
//
// Usage: prescribed_pauses [--settings TEXT] PORT[:silent]...
//   --settings TEXT  what Kestrelon.ini holds; without it there is no file
//   PORT             a COM number with a "VF" fiscal device on it (at 115200 and 9600), or,
//                    with ":silent", a port that answers nothing
// Prints one line per write, "write MS COMn HEX", MS being the sum of the run's pauses before
// it, then "end NAME", how the run ended (user_gave_up, port_not_opened, device_silent,
// finished).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/run.h"
#include "app/settings_file.h"
#include "device/port_detection.h"
#include "unit/fake_serial_platform.h"
#include "unit/scripted_services.h"
#include "unit/temp_dir.h"

namespace {

using kestrelon::RunEnd;
using kestrelon::testing::FakeSerialPlatform;

const char* end_name(RunEnd end) {
  switch (end) {
    case RunEnd::user_gave_up:
      return "user_gave_up";
    case RunEnd::port_not_opened:
      return "port_not_opened";
    case RunEnd::device_silent:
      return "device_silent";
    case RunEnd::finished:
      break;
  }
  return "finished";
}

// Adds the port of an argument "3" or "3:silent"; false for anything else.
bool add_port(FakeSerialPlatform& platform, const char* argument) {
  char* rest = nullptr;
  const long number = std::strtol(argument, &rest, 10);
  const bool silent = std::strcmp(rest, ":silent") == 0;
  if (rest == argument || number < 1 || number > kestrelon::kHighestPortNumber ||
      (*rest != '\0' && !silent)) {
    return false;
  }
  kestrelon::testing::FakePort& port = platform.add_port(L"COM" + std::to_wstring(number));
  if (!silent) port.responder = kestrelon::testing::fiscal_device({});
  return true;
}

// "write 250 COM3 09" for every write event, with the pauses that came before it.
void print_writes(const FakeSerialPlatform& platform) {
  unsigned long long paused_ms = 0;
  for (const std::string& event : platform.events) {
    if (event.rfind("pause ", 0) == 0) paused_ms += std::stoull(event.substr(6));
    if (event.rfind("write ", 0) == 0) std::printf("write %llu %s\n", paused_ms, event.c_str() + 6);
  }
}

}  // namespace

int main(int argc, char** argv) {
  FakeSerialPlatform platform;
  const char* settings = nullptr;
  int at = 1;
  if (at + 1 < argc && std::strcmp(argv[at], "--settings") == 0) {
    settings = argv[at + 1];
    at += 2;
  }
  if (at == argc) {
    std::fprintf(stderr, "usage: prescribed_pauses [--settings TEXT] PORT[:silent]...\n");
    return 2;
  }
  for (; at < argc; ++at) {
    if (!add_port(platform, argv[at])) {
      std::fprintf(stderr, "prescribed_pauses: not a port: %s\n", argv[at]);
      return 2;
    }
  }

  // The run reads, and may write, its settings file: one in a folder of its own.
  const kestrelon::testing::TempDir folder;
  const std::filesystem::path file = folder.path() / kestrelon::kSettingsFileName;
  if (settings != nullptr) kestrelon::testing::TempDir::write(file, settings);
  kestrelon::testing::ScriptedBoxes boxes(platform.events);  // every answer No
  kestrelon::RunServices services{platform, boxes, nullptr, file.wstring(),
                                  folder.path().wstring()};
  kestrelon::ProgramState state;
  const RunEnd end = kestrelon::run_once(services, state);

  print_writes(platform);
  std::printf("end %s\n", end_name(end));
  return 0;
}
