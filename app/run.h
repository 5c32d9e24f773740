// One run of the program: settings, tray, detection, the report, the exit path.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/message_boxes.h"
#include "app/settings_file.h"
#include "app/tray.h"
#include "device/command_frame.h"
#include "device/device_port.h"
#include "device/serial_link.h"
#include "device/serial_platform.h"

namespace kestrelon {

// What a run owns from start to end. Each step writes only its own fields.
struct ProgramState {
  PortSettings port_settings;
  uint32_t serial_timeout_ms = 0;
  PortId device_port = 0;
  std::wstring detection_result;
};

// The outside world of a run; tests replace each part.
struct RunServices {
  SerialPlatform& serial;
  MessageBoxes& boxes;
  std::function<std::unique_ptr<TrayIndicator>()> make_tray;
  std::wstring settings_path = kSettingsFileName;
  // Where the scan pins the port: kSettingsFileName in this folder, held open as itself.
  std::wstring settings_folder = L".";
};

// How the run ended (the process exit code is 0 whatever it says).
enum class RunEnd { user_gave_up, port_not_opened, device_silent, finished };

// The run from the settings file to the exit path; the caller holds the single-instance guard.
RunEnd run_once(RunServices& services, ProgramState& state);

// The question after a scan that found no device, `text` in a box titled `title`: true when
// the user wants another scan.
bool user_wants_another_scan(RunServices& services, const wchar_t* title, const wchar_t* text);

// The common exit path: tray icon first, then the ports still open (plainly), then windows
// and images.
void release_everything(TrayIndicator* tray, SerialLink& link);

}  // namespace kestrelon
