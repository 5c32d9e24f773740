#include "app/run.h"

#include "app/settings_file.h"
#include "device/device_commands.h"
#include "device/port_detection.h"
#include "device/serial_link.h"

namespace kestrelon {

namespace {

constexpr uint32_t kBeforeOpenPauseMs = 250;

}  // namespace

RunEnd run_once(RunServices& services, ProgramState& state) {
  state.serial_timeout_ms = kSerialTimeoutMs;
  read_settings_file(services.settings_path, state.port_settings);
  const std::unique_ptr<TrayIndicator> tray = services.make_tray ? services.make_tray() : nullptr;
  SerialLink link(services.serial);
  SequenceCounter counter;

  if (needs_detection(state.port_settings)) {
    PortDetector detector(link, counter);
    const auto ask_retry = [&services] {
      return user_wants_another_scan(services, kErrorTitle, kNoDeviceText);
    };
    if (!detector.detection_retry_loop(state.port_settings, state.detection_result,
                                       state.device_port, ask_retry)) {
      release_everything(tray.get(), link);
      return RunEnd::user_gave_up;
    }
  }

  link.pause(kBeforeOpenPauseMs);
  release_and_close(link, state.device_port);
  services.serial.take_refusal_note();  // a port refused during the scan is not this one
  if (!open_device_port(link, state.device_port, state.port_settings, state.serial_timeout_ms)) {
    services.boxes.show_plain(kErrorTitle,
                              kBadPortSettingsText + services.serial.take_refusal_note());
    release_everything(tray.get(), link);
    return RunEnd::port_not_opened;
  }
  const ReportOutcome outcome =
      report_trigger(link, state.device_port, counter, state.serial_timeout_ms);
  release_and_close(link, state.device_port);
  // Not a byte back (the device off, at another speed, or unplugged): said, not left silent.
  if (outcome == ReportOutcome::no_reply)
    services.boxes.show_plain(kErrorTitle, kBadPortSettingsText);
  release_everything(tray.get(), link);
  return outcome == ReportOutcome::no_reply ? RunEnd::device_silent : RunEnd::finished;
}

bool user_wants_another_scan(RunServices& services, const wchar_t* title, const wchar_t* text) {
  return services.boxes.ask_yes_no(title, text + services.serial.take_refusal_note()) ==
         Answer::yes;
}

void release_everything(TrayIndicator* tray, SerialLink& link) {
  if (tray) tray->remove_icon();
  link.close_all_ports();
  if (tray) tray->destroy();
}

}  // namespace kestrelon
