#include "app/program.h"

#include "app/instance_guard.h"
#include "app/message_boxes.h"
#include "app/run.h"
#include "app/scan.h"
#include "app/tray.h"
#include "device/serial_platform.h"

namespace kestrelon {

namespace {

// The guard both programs share, so that the two never use the ports at once. Beside another
// copy, `refused` alone runs, before anything is touched. `tooltip` names the tray icon (empty:
// none).
int run_guarded(int (*job)(RunServices& services), int (*refused)(), std::wstring_view tooltip) {
  InstanceGuard guard;
  if (guard.another_copy_running()) return refused();

  auto serial = make_system_serial_platform();
  auto boxes = make_system_message_boxes();
  RunServices services{*serial, *boxes, [tooltip] { return make_tray_indicator(tooltip); }};
  return job(services);
}

}  // namespace

int run_program() {
  return run_guarded(
      [](RunServices& services) {
        ProgramState state;
        run_once(services, state);
        return 0;
      },
      [] { return 0; },  // silently
      {});               // its icon keeps no tooltip
}

int run_scan_program() {
  return run_guarded(
      [](RunServices& services) { return scan_exit_code(scan_once(services)); },
      [] { return scan_exit_code(refuse_beside_another_copy(*make_system_message_boxes())); },
      kScanTrayTooltip);
}

}  // namespace kestrelon
