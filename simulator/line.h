// The line the simulated device sits on: a pseudo-terminal of its own, published as a link,
// or an existing serial device (a USB adapter, a port, one end of a pair of pseudo-terminals).
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

namespace kestrelon_sim {

// The speed in bits per second of a termios speed code; 0 for B0 or an unknown code.
uint32_t speed_number(speed_t code);
// The termios code of a speed in bits per second; false when termios has none for it.
bool speed_code(uint32_t bps, speed_t& code);
// Every speed termios has a code for, e.g. "50, 75, ... 4000000", for messages.
std::string speed_list();

// A descriptor closed with its owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

class Line {
 public:
  Line() = default;
  ~Line() { close(); }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // The set-up steps print one line to standard error when they fail, naming the path and
  // the reason.
  // A new pseudo-terminal, raw until the program sets it.
  bool open_pseudo_terminal();
  // Publishes the pseudo-terminal's slave at `link` (an existing link is replaced atomically).
  bool publish(const std::string& link);
  // An existing serial device, set raw, 8N1, at `speed`.
  bool open_serial(const std::string& path, uint32_t speed);
  // Writes the line's path to `ready_file` (atomically); removed again by close().
  bool write_ready_file(const std::string& ready_file);

  // Where the bytes go both ways: the pseudo-terminal's master, or the serial device.
  int fd() const { return io_.get(); }
  // The pseudo-terminal's slave path, or the serial device.
  const std::string& path() const { return path_; }
  // Speed and character format (e.g. "8N1") as the line's settings are now.
  bool read_settings(uint32_t& speed, std::string& format) const;
  // Closes the line, removes the link (while it still points here) and the ready file.
  void close();

 private:
  Fd io_;
  // A pseudo-terminal's slave, kept open for the whole run: the settings the program makes
  // stay readable, and the master sees no hang-up when the program closes its end.
  Fd slave_;
  std::string path_;
  std::string link_;
  std::string ready_file_;
};

}  // namespace kestrelon_sim
