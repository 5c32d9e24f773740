#include "device.h"

#include <errno.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>

namespace kestrelon_sim {
namespace {

constexpr uint8_t kProbe = 0x09;
constexpr uint8_t kStart = 0x02;
constexpr uint8_t kEnd = 0x0A;
constexpr uint8_t kIdentify = 0x60;
constexpr uint8_t kReport = 0x22;
constexpr int64_t kFrameGapMs = 500;  // an unfinished frame is dropped after this
constexpr int64_t kSampleMs = 20;     // line settings are looked at this often
constexpr int64_t kHangupAfterReplyMs = 1000;
constexpr int64_t kExitAfterReportMs = 2000;
constexpr size_t kMaxQueuedBytes = 64u << 20;

// A reply in the same frame form as the commands: 02, length, the request's sequence byte,
// the command code, the data, two checksum bytes, 0A. The identifier starts at offset 4.
std::vector<uint8_t> reply_frame(uint8_t sequence, uint8_t command, const std::string& data) {
  std::vector<uint8_t> frame;
  frame.reserve(data.size() + 7);
  frame.push_back(kStart);
  frame.push_back(static_cast<uint8_t>(0x23 + data.size()));
  frame.push_back(sequence);
  frame.push_back(command);
  for (char c : data) frame.push_back(static_cast<uint8_t>(c));
  uint8_t x = 0;
  for (size_t i = 1; i < frame.size(); ++i) x ^= frame[i];
  frame.push_back(static_cast<uint8_t>(0x30 + (x >> 4)));
  frame.push_back(static_cast<uint8_t>(0x30 + (x & 0x0F)));
  frame.push_back(kEnd);
  return frame;
}

}  // namespace

void Device::sample_line() {
  uint32_t speed = 0;
  std::string format;
  if (!line_.read_settings(speed, format)) return;
  if (line_format_.empty() || speed != speed_) {
    speed_ = speed;
    log_.write("SPEED %u", speed);
  }
  if (format != line_format_) {
    line_format_ = format;
    log_.write("LINE %s", format.c_str());
  }
}

bool Device::answers_at_current_speed() const {
  for (uint32_t speed : options_.speeds) {
    if (speed == speed_) return true;
  }
  return false;
}

void Device::receive(const uint8_t* bytes, size_t count) {
  log_.bytes("RX", bytes, count);
  if (hangup_at_ >= 0) {
    // hangup-after-reply: the line goes at the first byte after the reply.
    hang_up("after reply");
    return;
  }
  if (!answers_at_current_speed()) {
    // At a speed the device does not use, the bytes are noise to it.
    log_.write("IGNORED %zu bytes speed=%u", count, speed_);
    return;
  }
  for (size_t i = 0; i < count && !finished_; ++i) handle_byte(bytes[i]);
  last_frame_byte_ms_ = log_.now_ms();
}

void Device::handle_byte(uint8_t byte) {
  if (!frame_.empty()) {
    frame_.push_back(byte);
    if (frame_.size() == 2 && byte < 0x23) {
      log_.write("WARN frame length byte %02X too small", byte);
      frame_.clear();
      return;
    }
    if (frame_.size() >= 2 && frame_.size() == static_cast<size_t>(frame_[1] - 0x20) + 4) {
      finish_frame();
    }
    return;
  }
  switch (byte) {
    case kProbe:
      if (options_.silent) {
        log_.write("PROBE silent speed=%u", speed_);
      } else {
        log_.write("PROBE answered speed=%u", speed_);
        queue(options_.status);
      }
      break;
    case kStart:
      frame_.push_back(byte);
      break;
    case 0x18:
    case 0x17:
    case 0x04:
      log_.write("EVENT release %02X", byte);
      if (byte == 0x04 && report_seen_ && options_.exit_after_report) {
        exit_at_ = log_.now_ms();
      }
      break;
    default:
      log_.write("WARN unexpected byte %02X", byte);
      break;
  }
}

void Device::finish_frame() {
  std::vector<uint8_t> frame;
  frame.swap(frame_);
  const size_t covered = static_cast<size_t>(frame[1] - 0x20);  // length, sequence, command
  uint8_t x = 0;
  for (size_t i = 1; i <= covered; ++i) x ^= frame[i];
  const uint8_t sequence = frame[2];
  const uint8_t command = frame[3];
  const char* verdict = "ok";
  if (frame.back() != kEnd) {
    verdict = "bad-end";
  } else if (frame[covered + 1] != 0x30 + (x >> 4) || frame[covered + 2] != 0x30 + (x & 0x0F)) {
    verdict = "bad-checksum";
  }
  log_.write("FRAME seq=%02X cmd=%02X len=%02X %s", sequence, command, frame[1], verdict);
  if (sequence < 0x21 || sequence > 0xA0) {
    log_.write("WARN sequence %02X outside 21..A0", sequence);
  } else if (have_sequence_) {
    const uint8_t expected = last_sequence_ >= 0xA0 ? 0x21 : last_sequence_ + 1;
    if (sequence != expected) log_.write("WARN sequence %02X, expected %02X", sequence, expected);
  }
  have_sequence_ = true;
  last_sequence_ = sequence;
  if (std::strcmp(verdict, "ok") != 0) return;  // a damaged frame gets no answer

  if (options_.fault == Fault::flood && !options_.silent) {
    queue(random_bytes(options_.fault_value));
    if (command == kReport) on_report(sequence);
    return;
  }
  if (command == kIdentify) {
    on_identification(sequence);
  } else if (command == kReport) {
    on_report(sequence);
  } else {
    log_.write("WARN unknown command %02X", command);
  }
}

void Device::on_identification(uint8_t sequence) {
  if (options_.silent) return;
  switch (options_.fault) {
    case Fault::no_id_reply:
      log_.write("WARN identification not answered (fault)");
      return;
    case Fault::hangup_before_reply:
      hang_up("before reply");
      return;
    case Fault::garbage:
      queue(random_bytes(30));
      return;
    case Fault::empty:
      queue(reply_frame(sequence, kIdentify, ""));
      return;
    case Fault::huge: {
      std::vector<uint8_t> reply = reply_frame(sequence, kIdentify, "");
      reply.resize(4);
      reply.insert(reply.end(), options_.id.begin(), options_.id.end());
      reply.resize(options_.fault_value, '#');
      queue(reply);
      return;
    }
    case Fault::delay_id:
      delayed_reply_ = reply_frame(sequence, kIdentify, options_.id);
      delayed_reply_at_ = log_.now_ms() + static_cast<int64_t>(options_.fault_value);
      return;
    default:
      break;
  }
  queue(reply_frame(sequence, kIdentify, options_.id));
  if (options_.fault == Fault::hangup_after_reply) {
    hangup_at_ = log_.now_ms() + kHangupAfterReplyMs;
  }
}

void Device::on_report(uint8_t sequence) {
  ++reports_;
  log_.write("EVENT Z report printed count=%" PRIu64, reports_);
  if (!options_.silent && options_.fault != Fault::flood) {
    queue(reply_frame(sequence, kReport, ""));
  }
  if (options_.exit_after_report) {
    report_seen_ = true;
    exit_at_ = log_.now_ms() + kExitAfterReportMs;
  }
}

std::vector<uint8_t> Device::random_bytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(byte(random_));
  return bytes;
}

void Device::queue(const std::vector<uint8_t>& bytes) {
  if (tx_.size() + bytes.size() > kMaxQueuedBytes) {
    log_.write("WARN output queue full, %zu bytes dropped", bytes.size());
    return;
  }
  tx_.insert(tx_.end(), bytes.begin(), bytes.end());
  flush_queue();
}

void Device::flush_queue() {
  while (!tx_.empty() && line_.fd() >= 0) {
    const ssize_t n = write(line_.fd(), tx_.data(), tx_.size());
    if (n > 0) {
      log_.bytes("TX", tx_.data(), static_cast<size_t>(n));
      tx_.erase(tx_.begin(), tx_.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      log_.write("WARN write failed: %s", std::strerror(errno));
      tx_.clear();
    }
    return;  // the line is full: poll says when to go on
  }
}

void Device::hang_up(const char* reason) {
  log_.write("EVENT hangup %s", reason);
  line_.close();
  finished_ = true;
  exit_reason_ = "hangup";
}

int64_t Device::next_timer_ms() const {
  int64_t next = log_.now_ms() + kSampleMs;
  for (int64_t at : {delayed_reply_at_, hangup_at_, exit_at_}) {
    if (at >= 0 && at < next) next = at;
  }
  if (!frame_.empty() && last_frame_byte_ms_ + kFrameGapMs < next) {
    next = last_frame_byte_ms_ + kFrameGapMs;
  }
  return next;
}

void Device::run_timers() {
  const int64_t now = log_.now_ms();
  if (delayed_reply_at_ >= 0 && now >= delayed_reply_at_) {
    delayed_reply_at_ = -1;
    queue(delayed_reply_);
    delayed_reply_.clear();
  }
  if (!frame_.empty() && now >= last_frame_byte_ms_ + kFrameGapMs) {
    log_.write("WARN incomplete frame of %zu bytes dropped", frame_.size());
    frame_.clear();
  }
  if (hangup_at_ >= 0 && now >= hangup_at_) hang_up("after reply");
  if (!finished_ && exit_at_ >= 0 && now >= exit_at_) {
    finished_ = true;
    exit_reason_ = "after report";
  }
}

}  // namespace kestrelon_sim
