#include "app/program.h"

#include "app/instance_guard.h"
#include "app/message_boxes.h"
#include "app/run.h"
#include "app/tray.h"
#include "device/serial_platform.h"

namespace kestrelon {

int run_program() {
  InstanceGuard guard;
  if (guard.another_copy_running()) return 0;  // silently, before touching anything

  auto serial = make_system_serial_platform();
  auto boxes = make_system_message_boxes();
  RunServices services{*serial, *boxes, make_tray_indicator};
  ProgramState state;
  run_once(services, state);
  return 0;
}

}  // namespace kestrelon
