// The fiscal device's side of the protocol: it answers the probe byte 0x09 with the status
// bytes, the identification frame (command 0x60) with a reply frame holding the identifier at
// offset 4, the report frame (command 0x22) with an acknowledgement, and it notes the release
// bytes 0x18 0x17 0x04. The fault modes change those answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "event_log.h"
#include "line.h"
#include "options.h"

namespace kestrelon_sim {

class Device {
 public:
  Device(const Options& options, EventLog& log, Line& line)
      : options_(options), log_(log), line_(line), random_(options.seed) {}

  // Logs the line's speed and character format when they are new or changed.
  void sample_line();
  void receive(const uint8_t* bytes, size_t count);
  // Sends what is queued as far as the line takes it now.
  void flush_queue();
  bool has_output() const { return !tx_.empty(); }
  // When the next timed step is due (ms on the log's clock); at most one sample period away.
  int64_t next_timer_ms() const;
  void run_timers();
  bool finished() const { return finished_; }
  const std::string& exit_reason() const { return exit_reason_; }

 private:
  bool answers_at_current_speed() const;
  void handle_byte(uint8_t byte);
  void finish_frame();
  void on_identification(uint8_t sequence);
  void on_report(uint8_t sequence);
  void queue(const std::vector<uint8_t>& bytes);
  void hang_up(const char* reason);
  std::vector<uint8_t> random_bytes(size_t count);

  const Options& options_;
  EventLog& log_;
  Line& line_;
  std::mt19937 random_;

  uint32_t speed_ = 0;
  std::string line_format_;
  std::vector<uint8_t> frame_;
  int64_t last_frame_byte_ms_ = 0;
  bool have_sequence_ = false;
  uint8_t last_sequence_ = 0;
  uint64_t reports_ = 0;
  std::vector<uint8_t> tx_;

  // Timers: -1 when not set.
  int64_t delayed_reply_at_ = -1;
  std::vector<uint8_t> delayed_reply_;
  int64_t hangup_at_ = -1;
  int64_t exit_at_ = -1;
  bool report_seen_ = false;
  bool finished_ = false;
  std::string exit_reason_;
};

}  // namespace kestrelon_sim
