// A serial line over termios: the descriptor is non-blocking, and every wait is a poll()
// bounded as the Windows COMMTIMEOUTS rules say.
#include "device/serial_device_posix.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace kestrelon {
namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

struct SpeedCode {
  uint32_t bits_per_second;
  speed_t code;
};

// Only the speeds termios knows exactly; any other speed is refused, never rounded.
constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_code(uint32_t bits_per_second, speed_t& code) {
  for (const SpeedCode& entry : kSpeeds) {
    if (entry.bits_per_second == bits_per_second) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

uint32_t speed_value(speed_t code) {
  for (const SpeedCode& entry : kSpeeds) {
    if (entry.code == code) return entry.bits_per_second;
  }
  return 0;
}

int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr int64_t kNoDeadline = INT64_MAX;

int64_t deadline_after_ms(int64_t start_ns, uint64_t milliseconds) {
  // Bounded to about 30 years: far beyond any real wait, and free of overflow in ns.
  constexpr uint64_t kLongestMs = uint64_t{1000} * 1000 * 1000 * 1000;
  const uint64_t ms = milliseconds < kLongestMs ? milliseconds : kLongestMs;
  return start_ns + static_cast<int64_t>(ms) * 1000000;
}

// Milliseconds to give poll() before `deadline_ns`, rounded up; -1 waits without limit.
int poll_timeout_ms(int64_t deadline_ns) {
  if (deadline_ns == kNoDeadline) return -1;
  const int64_t remaining = deadline_ns - now_ns();
  if (remaining <= 0) return 0;
  const int64_t ms = (remaining + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, bool exclusive_set) : fd_(fd), exclusive_set_(exclusive_set) {}
  ~PosixSerialDevice() override {
    // The exclusive flag lives on the tty, not on this descriptor: give it back before closing.
    if (exclusive_set_) ioctl(fd_, TIOCNXCL);
    close(fd_);  // also drops the flock
  }
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  // termios has no queue sizes: the driver's own buffers serve.
  void setup_queues(uint32_t, uint32_t) override {}

  bool read_line_settings(LineSettings& settings) override;
  bool apply_line_settings(const LineSettings& settings) override;

  bool apply_timeouts(const Timeouts& timeouts) override {
    timeouts_ = timeouts;
    return true;
  }

  std::optional<uint32_t> waiting_input() override {
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0 || count < 0) return std::nullopt;
    return static_cast<uint32_t>(count);
  }

  std::optional<uint32_t> read(uint8_t* buffer, uint32_t length) override;
  uint32_t write(const uint8_t* bytes, uint32_t length) override;

 private:
  void apply_rts(RtsControl rts);

  int fd_;
  bool exclusive_set_;
  Timeouts timeouts_{};
};

bool PosixSerialDevice::read_line_settings(LineSettings& settings) {
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return false;
  settings.baud_rate = speed_value(cfgetospeed(&tio));
  settings.parity_check = (tio.c_iflag & INPCK) != 0;
  if ((tio.c_cflag & PARENB) == 0) {
    settings.parity = 0;
  } else if ((tio.c_cflag & CMSPAR) != 0) {
    settings.parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;  // mark : space
  } else {
    settings.parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;  // odd : even
  }
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      settings.byte_size = 5;
      break;
    case CS6:
      settings.byte_size = 6;
      break;
    case CS7:
      settings.byte_size = 7;
      break;
    default:
      settings.byte_size = 8;
      break;
  }
  settings.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? StopBits::two : StopBits::one;
  const bool hardware_flow = (tio.c_cflag & CRTSCTS) != 0;
  settings.out_cts_flow = hardware_flow;
  if (hardware_flow) {
    settings.rts_control = RtsControl::handshake;
  } else {
    int lines = 0;
    const bool rts_on = ioctl(fd_, TIOCMGET, &lines) == 0 && (lines & TIOCM_RTS) != 0;
    settings.rts_control = rts_on ? RtsControl::enable : RtsControl::disable;
  }
  // A line still in canonical (terminal) mode has never been set up as a serial line: its
  // IXON is the terminal default, not a flow control anybody chose. Reported as off, so a
  // binary reply holding 0x13 cannot stop the program's output.
  const bool serial_line = (tio.c_lflag & ICANON) == 0;
  settings.out_x = serial_line && (tio.c_iflag & IXON) != 0;
  settings.in_x = serial_line && (tio.c_iflag & IXOFF) != 0;
  settings.xon_char = tio.c_cc[VSTART];
  settings.xoff_char = tio.c_cc[VSTOP];
  // termios has no XON/XOFF thresholds: the driver chooses them.
  settings.xon_limit = 0;
  settings.xoff_limit = 0;
  return true;
}

bool PosixSerialDevice::apply_line_settings(const LineSettings& settings) {
  speed_t speed = B0;
  if (!speed_code(settings.baud_rate, speed)) return false;
  tcflag_t size = 0;
  switch (settings.byte_size) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return false;
  }
  tcflag_t parity = 0;
  switch (settings.parity) {
    case 0:
      parity = 0;
      break;
    case 1:
      parity = PARENB | PARODD;
      break;
    case 2:
      parity = PARENB;
      break;
    case 3:
      parity = PARENB | CMSPAR | PARODD;
      break;  // mark
    case 4:
      parity = PARENB | CMSPAR;
      break;  // space
    default:
      return false;
  }

  termios before{};
  if (tcgetattr(fd_, &before) != 0) return false;
  termios tio = before;
  cfmakeraw(&tio);  // binary line: no echo, no translation, no signals
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | size | parity;
  // One and a half stop bits has no termios form; two is the nearest longer frame.
  if (settings.stop_bits != StopBits::one) tio.c_cflag |= CSTOPB;
  if (settings.out_cts_flow || settings.rts_control == RtsControl::handshake) {
    tio.c_cflag |= CRTSCTS;
  }
  tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  if (settings.parity_check && parity != 0) tio.c_iflag |= INPCK;
  if (settings.out_x) tio.c_iflag |= IXON;
  if (settings.in_x) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(settings.xon_char);
  tio.c_cc[VSTOP] = static_cast<cc_t>(settings.xoff_char);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  if (tcsetattr(fd_, TCSANOW, &tio) != 0) return false;

  // tcsetattr succeeds when any part was taken: make sure the driver holds the speed and
  // the character format (a pseudo-terminal, for one, keeps only 8 bits and no parity).
  // Otherwise the line goes back to what it was and the settings are refused.
  constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  termios check{};
  if (tcgetattr(fd_, &check) != 0 || cfgetospeed(&check) != speed ||
      (check.c_cflag & kFormat) != (tio.c_cflag & kFormat)) {
    tcsetattr(fd_, TCSANOW, &before);
    return false;
  }
  apply_rts(settings.rts_control);
  return true;
}

void PosixSerialDevice::apply_rts(RtsControl rts) {
  int line = TIOCM_RTS;
  if (rts == RtsControl::enable) {
    ioctl(fd_, TIOCMBIS, &line);
  } else if (rts == RtsControl::disable) {
    ioctl(fd_, TIOCMBIC, &line);
  }
  // A pseudo-terminal has no modem lines (ENOTTY/EINVAL); like the other handshake lines of
  // a driver that lacks them, that is no reason to refuse the port.
}

std::optional<uint32_t> PosixSerialDevice::read(uint8_t* buffer, uint32_t length) {
  if (length == 0) return 0;
  const Timeouts t = timeouts_;
  const int64_t start = now_ns();
  // Interval MAXDWORD and no totals: whatever is there now, at once.
  const bool at_once =
      t.read_interval == kMaxDword && t.read_total_constant == 0 && t.read_total_multiplier == 0;
  // Interval and multiplier MAXDWORD, constant between: return as soon as any byte is there.
  const bool first_byte_ends = t.read_interval == kMaxDword &&
                               t.read_total_multiplier == kMaxDword && t.read_total_constant > 0 &&
                               t.read_total_constant < kMaxDword;
  int64_t total_deadline = kNoDeadline;
  if (first_byte_ends) {
    total_deadline = deadline_after_ms(start, t.read_total_constant);
  } else if (t.read_total_constant != 0 || t.read_total_multiplier != 0) {
    total_deadline = deadline_after_ms(
        start, uint64_t{t.read_total_constant} + uint64_t{t.read_total_multiplier} * length);
  }
  const bool use_interval = t.read_interval != 0 && t.read_interval != kMaxDword;

  uint32_t got = 0;
  int64_t last_byte = start;
  bool failed = false;
  while (got < length) {
    const ssize_t n = ::read(fd_, buffer + got, length - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      last_byte = now_ns();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      failed = true;  // EIO: the other end of the line is gone
      break;
    }
    // Nothing waiting now.
    if (at_once || (first_byte_ends && got > 0)) break;
    int64_t deadline = total_deadline;
    if (use_interval && got > 0) {
      const int64_t interval_end = deadline_after_ms(last_byte, t.read_interval);
      if (interval_end < deadline) deadline = interval_end;
    }
    const int timeout = poll_timeout_ms(deadline);
    if (timeout == 0) break;
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      failed = true;
      break;
    }
    if (ready == 0) continue;  // the deadline check above ends the wait
    if ((pfd.revents & POLLIN) != 0) {
      // Readable yet nothing read means the line hung up (a hung-up tty reads 0).
      const ssize_t more = ::read(fd_, buffer + got, length - got);
      if (more > 0) {
        got += static_cast<uint32_t>(more);
        last_byte = now_ns();
        continue;
      }
      if (more < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      failed = true;
      break;
    }
    if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      failed = true;
      break;
    }
  }
  if (failed && got == 0) return std::nullopt;
  return got;
}

uint32_t PosixSerialDevice::write(const uint8_t* bytes, uint32_t length) {
  const Timeouts t = timeouts_;
  int64_t deadline = kNoDeadline;
  if (t.write_total_constant != 0 || t.write_total_multiplier != 0) {
    deadline = deadline_after_ms(
        now_ns(), uint64_t{t.write_total_constant} + uint64_t{t.write_total_multiplier} * length);
  }
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd_, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;  // EIO: line gone
    const int timeout = poll_timeout_ms(deadline);
    if (timeout == 0) break;
    pollfd pfd{fd_, POLLOUT, 0};
    const int ready = poll(&pfd, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready > 0 && (pfd.revents & POLLOUT) == 0) break;  // hung up or failed
  }
  return done;
}

}  // namespace

std::unique_ptr<SerialDevice> make_termios_device(int fd) {
  return std::make_unique<PosixSerialDevice>(fd, true);
}

}  // namespace kestrelon
