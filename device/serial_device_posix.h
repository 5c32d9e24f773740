// One opened serial line over termios, for the POSIX serial platform.
#pragma once

#include <memory>

#include "device/serial_platform.h"

namespace kestrelon {

// Takes over `fd`, a terminal already locked (flock) and made exclusive (TIOCEXCL): the
// device gives both back and closes it when it ends.
std::unique_ptr<SerialDevice> make_termios_device(int fd);

}  // namespace kestrelon
