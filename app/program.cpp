#include "app/program.h"

#include "app/instance_guard.h"
#include "app/message_boxes.h"
#include "app/run.h"
#include "app/scan.h"
#include "app/tray.h"
#include "device/serial_platform.h"

namespace kestrelon {

namespace {

// The guard both programs share, so that the two never use the ports at once.
int run_guarded(int (*job)(RunServices& services)) {
  InstanceGuard guard;
  if (guard.another_copy_running()) return 0;  // silently, before touching anything

  auto serial = make_system_serial_platform();
  auto boxes = make_system_message_boxes();
  RunServices services{*serial, *boxes, make_tray_indicator};
  return job(services);
}

}  // namespace

int run_program() {
  return run_guarded([](RunServices& services) {
    ProgramState state;
    run_once(services, state);
    return 0;
  });
}

int run_scan_program() {
  return run_guarded([](RunServices& services) { return scan_exit_code(scan_once(services)); });
}

}  // namespace kestrelon
