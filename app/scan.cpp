#include "app/scan.h"

#include "app/file_system.h"
#include "app/settings_file.h"
#include "common/text.h"
#include "device/port_detection.h"

namespace kestrelon {

namespace {

constexpr PortId kNoDevicePort = 0;
constexpr int kExitFound = 0;
constexpr int kExitNotFoundOrNotWritten = 1;

// "COM5, 115200 biți/s, VF12345678"
std::wstring device_text(std::wstring_view detection_line) {
  const PortSettings settings = settings_from_detection_line(detection_line);
  return settings.port_name + L", " + number_to_text(settings.speed) + L" biți/s, " +
         detection_line_identifier(detection_line);
}

// Asks whether to pin the chosen device and, on Yes, writes it into the settings file.
ScanEnd pin_when_asked(RunServices& services, std::wstring_view detection_result,
                       const PortSettings& chosen) {
  const std::wstring shown_path = full_path(services.settings_path);
  if (services.boxes.ask_yes_no(kScanTitle, pin_question(detection_result, shown_path)) !=
      kAnswerYes) {
    return ScanEnd::not_pinned;
  }
  const FileResult written = pin_settings_file(services.settings_path, chosen);
  if (written.ok) return ScanEnd::pinned;
  services.boxes.show_plain(kErrorTitle, pin_failure_text(shown_path, written.reason));
  return ScanEnd::pin_failed;
}

}  // namespace

std::wstring pin_question(std::wstring_view detection_result, const std::wstring& shown_path) {
  std::wstring text = L"Aparate fiscale găsite:\n";
  for (const std::wstring& line : detection_lines(detection_result)) {
    text += device_text(line) + L"\n";
  }
  return text + L"\nAparatul ales: " + device_text(chosen_detection_line(detection_result)) +
         L"\n\nDoriți să scrieți portul și viteza lui în\n" + shown_path +
         L"?\nUn fișier existent se păstrează ca " + std::wstring(kSettingsFileName) +
         kBackupSuffix + L".";
}

std::wstring pin_failure_text(const std::wstring& shown_path, const std::wstring& reason) {
  return L"Fișierul de setări nu a putut fi scris:\n" + shown_path + L"\n\n" + reason;
}

ScanEnd scan_once(RunServices& services) {
  const std::unique_ptr<TrayIndicator> tray = services.make_tray ? services.make_tray() : nullptr;
  SerialLink link(services.serial);
  SequenceCounter counter;
  PortDetector detector(link, counter);
  PortSettings chosen;
  std::wstring detection_result;
  const auto ask_retry = [&services] { return user_wants_another_scan(services); };
  const ScanEnd end =
      detector.detection_retry_loop(chosen, detection_result, kNoDevicePort, ask_retry)
          ? pin_when_asked(services, detection_result, chosen)
          : ScanEnd::user_gave_up;
  release_everything(tray.get(), link);
  return end;
}

int scan_exit_code(ScanEnd end) {
  return end == ScanEnd::pinned || end == ScanEnd::not_pinned ? kExitFound
                                                              : kExitNotFoundOrNotWritten;
}

}  // namespace kestrelon
