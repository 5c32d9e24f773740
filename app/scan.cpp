#include "app/scan.h"

#include "app/file_system.h"
#include "app/settings_file.h"
#include "common/text.h"
#include "device/device_commands.h"
#include "device/port_detection.h"

namespace kestrelon {

namespace {

constexpr PortId kNoDevicePort = 0;
constexpr int kExitFound = 0;
constexpr int kExitNotFoundOrNotWritten = 1;
constexpr int kExitAnotherCopy = 3;

// Asks whether to pin the chosen device and, on Yes, writes it into the settings file. The
// settings folder is held from before the question to the end of the pin, so that the file
// named is the file written.
ScanEnd pin_when_asked(RunServices& services, std::wstring_view detection_result,
                       const PortSettings& chosen) {
  FileResult opened;
  const std::unique_ptr<Folder> folder = Folder::open(services.settings_folder, opened);
  if (!folder) {
    services.boxes.show_plain(kErrorTitle,
                              folder_failure_text(opened, full_path(services.settings_folder)));
    return ScanEnd::pin_failed;
  }
  const std::wstring shown_path = folder->shown(kSettingsFileName);
  if (services.boxes.ask_yes_no(kScanTitle, pin_question(detection_result, shown_path)) !=
      Answer::yes) {
    return ScanEnd::not_pinned;
  }
  const PinResult pin = pin_settings_file(*folder, kSettingsFileName, chosen);
  if (pin.ok()) {
    services.boxes.show_plain(kScanTitle, pinned_text(shown_path, chosen, pin.outcome));
    return ScanEnd::pinned;
  }
  services.boxes.show_plain(kErrorTitle, pin_failure_text(pin, pin.file));
  return ScanEnd::pin_failed;
}

}  // namespace

std::wstring port_text(const PortSettings& settings) {
  return settings.port_name + L", " + number_to_text(settings.speed) + L" biți/s";
}

std::wstring device_text(std::wstring_view detection_line) {
  return port_text(settings_from_detection_line(detection_line)) + L", " +
         detection_line_identifier(detection_line);
}

std::optional<size_t> proposed_device(const std::vector<std::wstring>& lines,
                                      const PortSettings& pinned) {
  std::optional<size_t> first_fiscal;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!identifies_as_vf(detection_line_identifier(lines[i]))) continue;
    const PortSettings found = settings_from_detection_line(lines[i]);
    if (found.port_name == pinned.port_name && found.speed == pinned.speed) return i;
    if (!first_fiscal) first_fiscal = i;
  }
  return first_fiscal;
}

std::wstring pin_question(std::wstring_view detection_result, const std::wstring& shown_path) {
  // Every device that answered, fiscal or not: the list is what the scan heard.
  std::wstring text = L"Aparate găsite:\n";
  for (const std::wstring& line : detection_lines(detection_result)) {
    text += device_text(line) + L"\n";
  }
  const std::wstring chosen = chosen_detection_line(detection_result);
  text += L"\nAparatul ales: " + device_text(chosen) + L"\n\n";
  if (!identifies_as_vf(detection_line_identifier(chosen))) {
    text += kNotVfWarning;
  }
  return text + L"Doriți să salvați portul și viteza lui în\n" + shown_path +
         L"?\n\nTot fișierul se înlocuiește cu cele două rânduri com= și port=; cel de acum, "
         L"dacă există, se păstrează ca " +
         std::wstring(kSettingsFileName) + kBackupSuffix + L".";
}

std::wstring pinned_text(const std::wstring& shown_path, const PortSettings& pinned,
                         PinOutcome outcome) {
  const std::wstring lines =
      L"\n\ncom=" + pinned.port_name + L"\nport=" + number_to_text(pinned.speed) + L"\n\n";
  if (outcome == PinOutcome::already_pinned) {
    return L"Fișierul\n" + shown_path +
           L"\nconține deja acest port și această viteză; nu s-a scris nimic:" + lines +
           L"Kestrelon.exe pornit în acest folder folosește în continuare doar acest port.";
  }
  return L"Portul și viteza au fost scrise în\n" + shown_path + L":" + lines +
         L"Kestrelon.exe pornit în acest folder folosește de acum doar acest port.";
}

std::wstring pin_failure_text(const PinResult& failure, const std::wstring& shown_path) {
  if (failure.outcome == PinOutcome::read_only) {
    return L"Fișierul de setări este doar în citire:\n" + shown_path +
           L"\n\nNu s-a scris nimic. Faceți clic dreapta pe fișier > „Proprietăți” (Properties), "
           L"debifați „Doar în citire” (Read-only), apăsați OK, apoi porniți din nou "
           L"KestrelonScan.";
  }
  if (failure.outcome == PinOutcome::old_kept_aside) {
    return std::wstring(L"Portul și viteza au fost scrise în ") + kSettingsFileName +
           L", dar setările de dinainte nu au putut fi păstrate ca " + kSettingsFileName +
           kBackupSuffix + L".\n\n" + failure.reason +
           L"\n\nSetările de dinainte au rămas în fișierul\n" + shown_path +
           L"\n\nKestrelon.exe folosește de acum noul port. Păstrați acest fișier dacă vreți să "
           L"vă întoarceți la setările de dinainte.";
  }
  const wchar_t* what = failure.outcome == PinOutcome::not_copied     ? L"copiat"
                        : failure.outcome == PinOutcome::not_replaced ? L"înlocuit"
                                                                      : L"scris";
  return L"Fișierul\n" + shown_path + L"\nnu a putut fi " + what + L".\n\n" + failure.reason +
         L"\n\nPortul nu a fost salvat: " + kSettingsFileName + L" și " + kSettingsFileName +
         kBackupSuffix + L" au rămas cum erau.";
}

std::wstring folder_failure_text(const FileResult& failure, const std::wstring& shown_path) {
  if (failure.is_link) {
    return L"Folderul curent\n" + shown_path +
           L"\neste o legătură către alt loc (legătură simbolică, joncțiune sau punct de "
           L"montare).\n\nNu s-a scris nimic. Porniți KestrelonScan chiar din folderul de "
           L"setări, nu printr-o legătură către el.";
  }
  return L"Folderul curent\n" + shown_path + L"\nnu a putut fi deschis.\n\n" + failure.reason +
         L"\n\nNu s-a scris nimic. Verificați dacă folderul există și dacă utilizatorul are acces "
         L"la el, apoi porniți din nou KestrelonScan: din meniul Start („Kestrelon” > "
         L"„KestrelonScan”) sau, la varianta portabilă, cu dublu clic în folderul ei.";
}

ScanEnd scan_once(RunServices& services) {
  const std::unique_ptr<TrayIndicator> tray = services.make_tray ? services.make_tray() : nullptr;
  SerialLink link(services.serial);
  SequenceCounter counter;
  PortDetector detector(link, counter);
  PortSettings chosen;
  std::wstring detection_result;
  const auto ask_retry = [&services] {
    return user_wants_another_scan(services, kErrorTitle, kScanNoDeviceText);
  };
  const ScanEnd end =
      detector.detection_retry_loop(chosen, detection_result, kNoDevicePort, ask_retry)
          ? pin_when_asked(services, detection_result, chosen)
          : ScanEnd::user_gave_up;
  release_everything(tray.get(), link);
  return end;
}

ScanEnd refuse_beside_another_copy(MessageBoxes& boxes) {
  boxes.show_plain(kScanTitle, kAnotherCopyText);
  return ScanEnd::another_copy_running;
}

int scan_exit_code(ScanEnd end) {
  switch (end) {
    case ScanEnd::pinned:
    case ScanEnd::not_pinned:
      return kExitFound;
    case ScanEnd::another_copy_running:
      return kExitAnotherCopy;
    case ScanEnd::user_gave_up:
    case ScanEnd::pin_failed:
      break;
  }
  return kExitNotFoundOrNotWritten;
}

}  // namespace kestrelon
