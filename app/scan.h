// The technician's scan: the run's own detection, never the report command. The device the run
// would choose is written into the settings file when the user says Yes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run.h"

namespace kestrelon {

inline constexpr wchar_t kScanTitle[] = L"Kestrelon";
// What the notification area shows for the scan's icon, and lists it by.
inline constexpr wchar_t kScanTrayTooltip[] = L"KestrelonScan caută aparatul fiscal";
inline constexpr wchar_t kAnotherCopyText[] =
    L"Kestrelon sau KestrelonScan rulează deja.\nÎncercați din nou după ce se termină.";

// The scan's own question when nothing answered: what to check, then whether to scan again.
inline constexpr wchar_t kScanNoDeviceText[] =
    L"KestrelonScan nu a găsit niciun aparat pe porturile de la COM1 la COM256; nu s-a scris "
    L"nimic.\n\nAsigurați-vă că aparatul fiscal este pornit, în modul de lucru și legat la "
    L"calculator și că programul de vânzare este închis.\n\nDoriți să căutați din nou?";

// Kestrelon.exe asks only a device whose identifier begins with "VF" for the report: pinning
// any other one would leave it asking nobody.
inline constexpr wchar_t kNotVfWarning[] =
    L"Identificatorul aparatului ales nu începe cu „VF”, deci Kestrelon.exe nu i-ar cere "
    L"raportul Z. Răspundeți Nu, asigurați-vă că aparatul fiscal este pornit și legat la "
    L"calculator, apoi porniți din nou KestrelonScan.\n\n";

// How the scan ended.
enum class ScanEnd { user_gave_up, not_pinned, pinned, pin_failed, another_copy_running };

// A port and its speed, as the scan and the setup name them: "COM5, 115200 biți/s".
std::wstring port_text(const PortSettings& settings);

// One device found, as the scan lists it: "COM5, 115200 biți/s, VF12345678".
std::wstring device_text(std::wstring_view detection_line);

// The device the setup proposes among the lines of a detection result: the one PINNED names
// (port and speed) when it identifies as "VF", else the first that does, as Kestrelon.exe would
// choose; none when no device does: one that Kestrelon.exe would never ask for a report is never
// chosen by itself.
std::optional<size_t> proposed_device(const std::vector<std::wstring>& lines,
                                      const PortSettings& pinned);

// The question after a scan that found devices: each device found, the one the run would choose,
// and the settings file (as the user should be shown it) it would be written into.
std::wstring pin_question(std::wstring_view detection_result, const std::wstring& shown_path);

// What the user is told after the pin: what was written where, or why nothing was.
std::wstring pinned_text(const std::wstring& shown_path, const PortSettings& pinned,
                         PinOutcome outcome);
std::wstring pin_failure_text(const PinResult& failure, const std::wstring& shown_path);
// Why nothing was written when the settings folder could not be held: a link to another place,
// or the system's reason.
std::wstring folder_failure_text(const FileResult& failure, const std::wstring& shown_path);

// The whole scan; the caller holds the single-instance guard. The settings file is read by
// nobody and written only on the user's Yes.
ScanEnd scan_once(RunServices& services);

// Another copy of either program holds the guard: said, and nothing else done.
ScanEnd refuse_beside_another_copy(MessageBoxes& boxes);

// 0 when a device was found (pinned or not), 1 when none was or the file could not be written,
// 3 when another copy was running.
int scan_exit_code(ScanEnd end);

}  // namespace kestrelon
