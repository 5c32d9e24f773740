// Serial services over termios. Port "COMn" is /dev/ttyS(n-1), or only the link
// $KESTRELON_COM_DIR/com<n> when that variable is set.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "common/text.h"
#include "device/serial_device_posix.h"
#include "device/serial_platform.h"

namespace kestrelon {
namespace {

constexpr uint32_t kHighestPortNumber = 1000000;  // far above any COM number in use

// "\\.\COM<n>" with n a decimal number >= 1 written without leading zero; 0 otherwise.
uint32_t com_port_number(const std::wstring& device_path) {
  const std::wstring prefix = L"\\\\.\\COM";
  if (device_path.size() <= prefix.size() || device_path.compare(0, prefix.size(), prefix) != 0)
    return 0;
  if (device_path[prefix.size()] == L'0') return 0;
  uint32_t number = 0;
  for (size_t i = prefix.size(); i < device_path.size(); ++i) {
    const wchar_t c = device_path[i];
    if (c < L'0' || c > L'9') return 0;
    number = number * 10 + static_cast<uint32_t>(c - L'0');
    if (number > kHighestPortNumber) return 0;
  }
  return number;
}

// The node a COM number stands for; empty when none may be opened.
std::string node_for_port(uint32_t number) {
  if (const char* dir = std::getenv("KESTRELON_COM_DIR")) {
    // Set but empty: no port at all rather than a guess (and never the machine's own ports).
    if (*dir == '\0') return {};
    return std::string(dir) + "/com" + std::to_string(number);
  }
  return "/dev/ttyS" + std::to_string(number - 1);
}

class PosixSerialPlatform final : public SerialPlatform {
 public:
  std::unique_ptr<SerialDevice> open(const std::wstring& device_path) override;

  // Linux timers are high-resolution already: nanosleep keeps to well under a millisecond
  // without any process-wide setting, so there is nothing to raise.
  void raise_timer_resolution() override {}

  void sleep_ms(uint32_t milliseconds) override {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
  }

  std::wstring take_refusal_note() override { return std::exchange(refusal_note_, {}); }

 private:
  // Serial devices belong to the dialout group: a user outside it is refused every port.
  void note_refusal(const std::string& node, int error) {
    refusal_note_ = ansi_to_wide("\n\n" + node + ": " + std::strerror(error) + "\n" + kDialoutHint);
  }

  static constexpr char kDialoutHint[] =
      "Adaugati utilizatorul in grupul dialout (sudo usermod -aG dialout $USER), apoi "
      "deschideti o sesiune noua.";
  std::wstring refusal_note_;
};

std::unique_ptr<SerialDevice> PosixSerialPlatform::open(const std::wstring& device_path) {
  const uint32_t number = com_port_number(device_path);
  if (number == 0) return nullptr;
  const std::string node = node_for_port(number);
  if (node.empty()) return nullptr;
  const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM) note_refusal(node, errno);
    return nullptr;
  }
  // Nothing but a terminal is a serial line; a file or /dev/null is refused before any write.
  if (!isatty(fd)) {
    close(fd);
    return nullptr;
  }
  // Exclusive like an unshared Windows handle. The flock comes first: a second opener that
  // is refused must not touch the holder's exclusive flag.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return nullptr;
  }
  return make_termios_device(fd);
}

}  // namespace

std::unique_ptr<SerialPlatform> make_system_serial_platform() {
  return std::make_unique<PosixSerialPlatform>();
}

}  // namespace kestrelon
