#include "line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kestrelon_sim {
namespace {

struct SpeedEntry {
  speed_t code;
  uint32_t bps;
};

constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

void report(const std::string& path, const char* reason) {
  std::fprintf(stderr, "kestrelon-sim: %s: %s\n", path.c_str(), reason);
}

// The reason an existing device cannot be used, in words an integrator can act on.
void report_open_failure(const std::string& path, int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      report(path, "no such device (is the adapter plugged in? see ls /dev/ttyUSB* /dev/ttyS*)");
      break;
    case EACCES:
    case EPERM:
      report(path,
             "no permission to open it (serial devices belong to the group dialout: "
             "usermod -aG dialout USER, then log in again)");
      break;
    case ENOTTY:
    case EISDIR:
      report(path, "not a terminal (a serial device such as /dev/ttyUSB0 is expected)");
      break;
    case EBUSY:
      report(path, "in use by another program");
      break;
    default:
      report(path, (std::string("cannot open it: ") + std::strerror(error)).c_str());
      break;
  }
}

// Raw bytes both ways, no echo, no translation, no flow control.
void make_raw(termios& tio) {
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

}  // namespace

uint32_t speed_number(speed_t code) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.code == code) return entry.bps;
  }
  return 0;
}

bool speed_code(uint32_t bps, speed_t& code) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.bps != bps) continue;
    code = entry.code;
    return true;
  }
  return false;
}

std::string speed_list() {
  std::string list;
  for (const SpeedEntry& entry : kSpeeds) {
    list += (list.empty() ? "" : ", ") + std::to_string(entry.bps);
  }
  return list;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool Line::open_pseudo_terminal() {
  io_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128];
  if (io_.get() < 0 || grantpt(io_.get()) != 0 || unlockpt(io_.get()) != 0 ||
      ptsname_r(io_.get(), name, sizeof name) != 0) {
    std::fprintf(stderr, "kestrelon-sim: no pseudo-terminal: %s\n", std::strerror(errno));
    return false;
  }
  path_ = name;
  slave_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  termios tio{};
  if (slave_.get() < 0 || tcgetattr(slave_.get(), &tio) != 0) {
    report(path_, std::strerror(errno));
    return false;
  }
  make_raw(tio);  // no echo or translation before the program sets the line itself
  const int flags = fcntl(io_.get(), F_GETFL);
  if (tcsetattr(slave_.get(), TCSANOW, &tio) != 0 || flags < 0 ||
      fcntl(io_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    report(path_, std::strerror(errno));
    return false;
  }
  return true;
}

bool Line::publish(const std::string& link) {
  // A new link beside the old one, renamed over it: the link is replaced atomically.
  const std::string temporary = link + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(path_.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "kestrelon-sim: cannot publish %s: %s\n", link.c_str(),
                 std::strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  link_ = link;
  return true;
}

bool Line::open_serial(const std::string& path, uint32_t speed) {
  path_ = path;
  // Non-blocking: the open does not wait for a carrier that a null-modem cable may not have.
  io_.reset(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (io_.get() < 0) {
    report_open_failure(path, errno);
    return false;
  }
  termios tio{};
  if (!isatty(io_.get()) || tcgetattr(io_.get(), &tio) != 0) {
    report_open_failure(path, ENOTTY);
    return false;
  }
  make_raw(tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;  // CLOCAL: no modem lines needed
  // Bytes with framing or parity errors (what another speed makes of them) and breaks are
  // dropped, not read as zero bytes.
  tio.c_iflag |= IGNPAR | IGNBRK;
  speed_t code = B0;
  speed_code(speed, code);
  termios applied{};
  if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0 ||
      tcsetattr(io_.get(), TCSANOW, &tio) != 0 || tcgetattr(io_.get(), &applied) != 0) {
    report(path, (std::string("cannot set the line: ") + std::strerror(errno)).c_str());
    return false;
  }
  // tcsetattr succeeds when any part was taken: the speed is checked on its own.
  if (cfgetospeed(&applied) != code) {
    report(path, ("the line does not take " + std::to_string(speed) + " bits per second").c_str());
    return false;
  }
  tcflush(io_.get(), TCIOFLUSH);  // nothing from before the device was there
  return true;
}

bool Line::write_ready_file(const std::string& ready_file) {
  const std::string temporary = ready_file + ".new";
  FILE* ready = std::fopen(temporary.c_str(), "we");
  if (ready == nullptr) {
    std::fprintf(stderr, "kestrelon-sim: cannot write %s: %s\n", temporary.c_str(),
                 std::strerror(errno));
    return false;
  }
  std::fprintf(ready, "%s\n", path_.c_str());
  const bool written = std::fclose(ready) == 0;
  if (!written || rename(temporary.c_str(), ready_file.c_str()) != 0) {
    std::fprintf(stderr, "kestrelon-sim: cannot write %s: %s\n", ready_file.c_str(),
                 std::strerror(errno));
    return false;
  }
  ready_file_ = ready_file;
  return true;
}

bool Line::read_settings(uint32_t& speed, std::string& format) const {
  termios tio{};
  const int fd = slave_.get() >= 0 ? slave_.get() : io_.get();
  if (fd < 0 || tcgetattr(fd, &tio) != 0) return false;
  speed = speed_number(cfgetospeed(&tio));
  char bits = '8';
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      bits = '5';
      break;
    case CS6:
      bits = '6';
      break;
    case CS7:
      bits = '7';
      break;
    default:
      break;
  }
  char parity = 'N';
  if ((tio.c_cflag & PARENB) != 0) {
    const bool odd = (tio.c_cflag & PARODD) != 0;
    parity = (tio.c_cflag & CMSPAR) != 0 ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
  }
  format = {bits, parity, (tio.c_cflag & CSTOPB) != 0 ? '2' : '1'};
  return true;
}

void Line::close() {
  if (!link_.empty()) {
    // Only our own link: another simulator may have replaced it since.
    char target[256];
    const ssize_t length = readlink(link_.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == path_) {
      unlink(link_.c_str());
    }
    link_.clear();
  }
  if (!ready_file_.empty()) {
    unlink(ready_file_.c_str());
    ready_file_.clear();
  }
  slave_.reset();
  io_.reset();
}

}  // namespace kestrelon_sim
