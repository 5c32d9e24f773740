// kestrelon-sim: stands in for the fiscal device, on a pseudo-terminal of its own (--link) or
// on an existing serial line (--tty). This file sets the line up and runs the event loop;
// options.cpp reads the command line, line.cpp owns the line, device.cpp answers the program,
// event_log.cpp writes the log.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "device.h"
#include "event_log.h"
#include "line.h"
#include "options.h"

namespace kestrelon_sim {
namespace {

volatile sig_atomic_t g_stop_signal = 0;
volatile sig_atomic_t g_catch_up = 0;
void on_stop_signal(int signal_number) {
  g_stop_signal = signal_number;
}
void on_catch_up_signal(int) {
  g_catch_up = 1;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (uint8_t byte : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

// Opens the line and logs START; the line is published (link, ready file) by the caller.
bool open_line(const Options& options, EventLog& log, Line& line) {
  std::string speeds;
  for (uint32_t speed : options.speeds) {
    speeds += (speeds.empty() ? "" : ",") + std::to_string(speed);
  }
  const std::string status = hex(options.status);
  if (!options.tty.empty()) {
    if (!line.open_serial(options.tty, options.tty_speed)) return false;
    log.write("START tty=%s id=%s status=%s speeds=%s fault=%s", line.path().c_str(),
              options.id.c_str(), status.c_str(), speeds.c_str(), options.fault_text.c_str());
    return true;
  }
  if (!line.open_pseudo_terminal()) return false;
  log.write("START pty=%s link=%s id=%s status=%s speeds=%s fault=%s", line.path().c_str(),
            options.link.c_str(), options.id.c_str(), status.c_str(), speeds.c_str(),
            options.fault_text.c_str());
  return true;
}

// Reads and answers everything the line holds now. A pseudo-terminal carries no speed with its
// bytes: the speed is read after each read, so bytes are never put down to settings older than
// those they were sent with, and a byte the program waits on an answer to gets its own. False
// when the line has failed for good (`exit_reason` says so).
bool receive_waiting(EventLog& log, Line& line, Device& device, std::string& exit_reason) {
  uint8_t buffer[4096];
  while (!device.finished() && line.fd() >= 0) {
    // Polled first: a serial line set to return at once reads 0 bytes both when it holds
    // none and when it has gone; only a readable line that gives 0 has gone.
    pollfd pfd{line.fd(), POLLIN, 0};
    const int ready = poll(&pfd, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (pfd.revents & POLLIN) == 0) return true;
    const ssize_t n = read(line.fd(), buffer, sizeof buffer);
    if (n > 0) {
      device.sample_line();
      device.receive(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      log.write("WARN read failed: %s", n == 0 ? "end of input" : std::strerror(errno));
      exit_reason = "line failed";
      return false;
    }
  }
  return true;
}

int run(const Options& options, EventLog& log, Line& line, Device& device) {
  sigset_t blocked;
  sigset_t during_poll;
  sigemptyset(&blocked);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&blocked, signal_number);
  sigprocmask(SIG_BLOCK, &blocked, &during_poll);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
    sigdelset(&during_poll, signal_number);

  const int64_t end_ms =
      options.lifetime_s > 0 ? static_cast<int64_t>(options.lifetime_s) * 1000 : -1;
  std::string exit_reason;
  while (!device.finished()) {
    if (g_stop_signal != 0) {
      // What was written before the stop is in the log when the simulator has gone.
      receive_waiting(log, line, device, exit_reason);
      exit_reason = g_stop_signal == SIGINT   ? "SIGINT"
                    : g_stop_signal == SIGHUP ? "SIGHUP"
                                              : "SIGTERM";
      break;
    }
    if (g_catch_up != 0) {
      // Whoever asked reads the log once SYNC shows: every byte written before, and the line's
      // settings, are above it.
      g_catch_up = 0;
      if (!receive_waiting(log, line, device, exit_reason)) break;
      device.sample_line();
      log.write("SYNC");
      continue;
    }
    if (end_ms >= 0 && log.now_ms() >= end_ms) {
      exit_reason = "lifetime";
      break;
    }
    device.sample_line();
    int64_t wait = device.next_timer_ms() - log.now_ms();
    if (wait < 0) wait = 0;
    const timespec timeout{static_cast<time_t>(wait / 1000),
                           static_cast<long>(wait % 1000) * 1000000L};
    pollfd pfd{line.fd(), static_cast<short>(POLLIN | (device.has_output() ? POLLOUT : 0)), 0};
    const int ready = ppoll(&pfd, 1, &timeout, &during_poll);
    if (ready < 0 && errno != EINTR) {
      log.write("WARN poll failed: %s", std::strerror(errno));
      exit_reason = "poll failed";
      break;
    }
    // A pseudo-terminal's own slave keeps its line up; a serial device whose far side has
    // gone (the other end of a pseudo-terminal pair) fails for good, and would spin.
    if (ready > 0 && (pfd.revents & POLLIN) == 0 &&
        (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      exit_reason = "line failed";
      break;
    }
    if (ready > 0 && (pfd.revents & POLLIN) != 0 &&
        !receive_waiting(log, line, device, exit_reason)) {
      break;
    }
    if (!device.finished() && ready > 0 && (pfd.revents & POLLOUT) != 0) device.flush_queue();
    if (!device.finished()) device.run_timers();
  }
  if (device.finished()) exit_reason = device.exit_reason();
  log.write("EXIT %s", exit_reason.c_str());
  return 0;
}

}  // namespace
}  // namespace kestrelon_sim

int main(int argc, char** argv) {
  using namespace kestrelon_sim;
  Options options;
  const int parsed = parse_options(argc, argv, options);
  if (parsed < 0) return 0;
  if (parsed > 0) return parsed;

  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = on_catch_up_signal;
  sigaction(SIGUSR1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  EventLog log;
  if (!options.log_path.empty() && !log.open(options.log_path)) return 1;
  Line line;
  Device device(options, log, line);
  if (!open_line(options, log, line)) return 1;
  device.sample_line();
  if (!options.link.empty() && !line.publish(options.link)) return 1;
  if (!options.ready_file.empty() && !line.write_ready_file(options.ready_file)) return 1;
  log.write("READY");
  return run(options, log, line, device);
}
