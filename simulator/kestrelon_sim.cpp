// kestrelon-sim: stands in for the fiscal device on a pseudo-terminal.
//
// It opens a pseudo-terminal, publishes its slave path as a symlink (--link), keeps a slave
// descriptor open to read the line settings the program sets, and answers like the device:
// the probe byte 0x09 with the status byte, the identification frame (command 0x60) with a
// reply frame holding the identifier at offset 4, the report frame (command 0x22) with an
// acknowledgement, and it notes the release bytes 0x18 0x17 0x04.
//
// Log format: one event per line, flushed at once, in the form
//   T=<milliseconds since start, monotonic, 3 decimals> <KIND> [details]
// KIND and details:
//   START pty=<slave> link=<link> id=<id> status=<hex> speeds=<list> fault=<fault|none>
//   READY                         the link (and the ready file) is in place
//   SPEED <bps>                   the line speed, at start and whenever it changes
//   LINE <bits><parity><stop>     character format (e.g. 8N1; parity N O E M S), same rule
//   RX <hex bytes>                bytes received in one read
//   TX <hex bytes>                bytes sent in one write
//   PROBE answered|silent speed=<bps>
//   FRAME seq=<hex> cmd=<hex> len=<hex> <ok|bad-checksum|bad-end>
//   IGNORED <count> bytes speed=<bps>   received at a speed the device does not answer at
//   WARN <text>                   sequence mismatch, unexpected byte, incomplete frame...
//   EVENT Z report printed count=<n>
//   EVENT release <hex>
//   EVENT hangup before reply|after reply   the simulator closes the line (fault modes)
//   EXIT <reason>
// Hex bytes are upper-case pairs separated by one space; a chunk longer than 256 bytes
// logs its first 256 and then "+<n> more".
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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
constexpr size_t kMaxReplyBytes = 16u << 20;  // flood and huge replies
constexpr size_t kMaxQueuedBytes = 64u << 20;
constexpr size_t kLoggedBytes = 256;

volatile sig_atomic_t g_stop_signal = 0;
void on_stop_signal(int signal_number) {
  g_stop_signal = signal_number;
}

int64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

enum class Fault {
  none,
  no_id_reply,
  delay_id,
  hangup_before_reply,
  hangup_after_reply,
  flood,
  garbage,
  empty,
  huge
};

struct Options {
  std::string link;
  std::string log_path;
  std::string ready_file;
  std::string id = "VF12345678";
  std::vector<uint8_t> status{0x40};
  std::vector<uint32_t> speeds{115200, 9600};
  bool silent = false;
  bool exit_after_report = false;
  Fault fault = Fault::none;
  std::string fault_text = "none";
  uint64_t fault_value = 0;
  uint32_t seed = 1;
  uint64_t lifetime_s = 0;
};

void print_help(FILE* out) {
  std::fputs(
      "usage: kestrelon-sim --link PATH [options]\n"
      "Stands in for the fiscal device on a pseudo-terminal whose slave is linked at PATH.\n"
      "  --link PATH         symlink to publish (an existing one is replaced; removed on exit)\n"
      "  --id TEXT           identifier in the identification reply (default VF12345678,\n"
      "                      at most 200 bytes)\n"
      "  --status HEX        probe answer, one or more bytes in hex (default 40; 4000 sends\n"
      "                      0x40 0x00)\n"
      "  --speeds LIST       speeds answered at, comma separated (default 115200,9600)\n"
      "  --log FILE          log to FILE instead of standard output\n"
      "  --ready-file PATH   written (with the slave path) once the link is published\n"
      "  --silent            receive and log, never answer\n"
      "  --exit-after-report exit after the report frame: at the release byte 0x04 that\n"
      "                      follows it, or 2000 ms after it\n"
      "  --seed N            seed of the random bytes of the fault modes (default 1)\n"
      "  --lifetime-s N      exit after N seconds whatever happens (default: no limit)\n"
      "  --fault MODE        one of:\n"
      "      no-id-reply          answer the probe, never the identification frame\n"
      "      delay-id-ms=N        send the identification reply N ms late (N <= 600000)\n"
      "      hangup-before-reply  close the line on receiving the identification frame\n"
      "      hangup-after-reply   reply, then close the line at the next byte received or\n"
      "                           1000 ms later\n"
      "      flood-bytes=N        answer every frame with N random bytes (N <= 16 MiB)\n"
      "      garbage-reply        answer the identification frame with 30 random bytes\n"
      "      empty-reply          identification reply frame without identifier\n"
      "      huge-reply=N         N-byte identification reply: 4 header bytes, the\n"
      "                           identifier, then '#' filler, no zero byte (N <= 16 MiB)\n"
      "Exits cleanly on SIGTERM, SIGINT or SIGHUP. The log format is described in README.md.\n",
      out);
}

bool parse_number(const char* text, uint64_t limit, uint64_t& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > limit || text[0] == '-') return false;
  value = parsed;
  return true;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 64) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

bool parse_speeds(const std::string& text, std::vector<uint32_t>& speeds) {
  speeds.clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    uint64_t value = 0;
    if (!parse_number(item.c_str(), 4000000, value) || value == 0) return false;
    speeds.push_back(static_cast<uint32_t>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !speeds.empty();
}

bool parse_fault(const std::string& text, Options& options) {
  struct Named {
    const char* name;
    Fault fault;
    bool takes_value;
    uint64_t limit;
  };
  static const Named kFaults[] = {
      {"no-id-reply", Fault::no_id_reply, false, 0},
      {"delay-id-ms", Fault::delay_id, true, 600000},
      {"hangup-before-reply", Fault::hangup_before_reply, false, 0},
      {"hangup-after-reply", Fault::hangup_after_reply, false, 0},
      {"flood-bytes", Fault::flood, true, kMaxReplyBytes},
      {"garbage-reply", Fault::garbage, false, 0},
      {"empty-reply", Fault::empty, false, 0},
      {"huge-reply", Fault::huge, true, kMaxReplyBytes},
  };
  const size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  for (const Named& entry : kFaults) {
    if (name != entry.name) continue;
    if (entry.takes_value != (equals != std::string::npos)) return false;
    if (entry.takes_value &&
        !parse_number(text.c_str() + equals + 1, entry.limit, options.fault_value))
      return false;
    options.fault = entry.fault;
    options.fault_text = text;
    return true;
  }
  return false;
}

// Returns 0 to go on, else the exit code.
int parse_options(int argc, char** argv, Options& options) {
  enum { kLink = 1, kId, kStatus, kSpeeds, kLog, kReady, kSilent, kExit, kFault, kSeed, kLife };
  static const option kLong[] = {
      {"link", required_argument, nullptr, kLink},
      {"id", required_argument, nullptr, kId},
      {"status", required_argument, nullptr, kStatus},
      {"speeds", required_argument, nullptr, kSpeeds},
      {"log", required_argument, nullptr, kLog},
      {"ready-file", required_argument, nullptr, kReady},
      {"silent", no_argument, nullptr, kSilent},
      {"exit-after-report", no_argument, nullptr, kExit},
      {"fault", required_argument, nullptr, kFault},
      {"seed", required_argument, nullptr, kSeed},
      {"lifetime-s", required_argument, nullptr, kLife},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int choice = 0;
  while ((choice = getopt_long(argc, argv, "h", kLong, nullptr)) != -1) {
    uint64_t number = 0;
    bool ok = true;
    switch (choice) {
      case kLink:
        options.link = optarg;
        break;
      case kId:
        options.id = optarg;
        ok = options.id.size() <= 200;
        break;
      case kStatus:
        ok = parse_hex_bytes(optarg, options.status);
        break;
      case kSpeeds:
        ok = parse_speeds(optarg, options.speeds);
        break;
      case kLog:
        options.log_path = optarg;
        break;
      case kReady:
        options.ready_file = optarg;
        break;
      case kSilent:
        options.silent = true;
        break;
      case kExit:
        options.exit_after_report = true;
        break;
      case kFault:
        ok = parse_fault(optarg, options);
        break;
      case kSeed:
        ok = parse_number(optarg, UINT32_MAX, number);
        options.seed = static_cast<uint32_t>(number);
        break;
      case kLife:
        ok = parse_number(optarg, 86400 * 365, options.lifetime_s);
        break;
      case 'h':
        print_help(stdout);
        return -1;
      default:
        ok = false;
        break;
    }
    if (!ok) {
      std::fprintf(stderr, "kestrelon-sim: bad option value: %s\n", argv[optind - 1]);
      return 2;
    }
  }
  if (optind != argc || options.link.empty()) {
    print_help(stderr);
    return 2;
  }
  return 0;
}

class Simulator {
 public:
  explicit Simulator(const Options& options)
      : options_(options), random_(options.seed), start_us_(monotonic_us()) {}
  ~Simulator();

  bool set_up();
  int run();

 private:
  void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void log_bytes(const char* direction, const uint8_t* bytes, size_t count);
  int64_t now_ms() const { return (monotonic_us() - start_us_) / 1000; }

  bool publish_link();
  void remove_link();
  void sample_line();
  bool answers_at_current_speed() const;

  void receive(const uint8_t* bytes, size_t count);
  void handle_byte(uint8_t byte);
  void finish_frame();
  void on_identification(uint8_t sequence);
  void on_report(uint8_t sequence);
  void queue(const std::vector<uint8_t>& bytes);
  void flush_queue();
  void hang_up(const char* reason);
  std::vector<uint8_t> reply_frame(uint8_t sequence, uint8_t command,
                                   const std::string& data) const;
  std::vector<uint8_t> random_bytes(size_t count);
  int64_t next_timer_ms() const;
  void run_timers();

  Options options_;
  std::mt19937 random_;
  int64_t start_us_;
  FILE* log_ = stdout;
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  bool link_published_ = false;

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

Simulator::~Simulator() {
  remove_link();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  if (log_ != stdout && log_ != nullptr) std::fclose(log_);
}

void Simulator::log(const char* format, ...) {
  const int64_t elapsed = monotonic_us() - start_us_;
  std::fprintf(log_, "T=%" PRId64 ".%03" PRId64 " ", elapsed / 1000, elapsed % 1000);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log_, format, arguments);
  va_end(arguments);
  std::fputc('\n', log_);
  std::fflush(log_);
}

void Simulator::log_bytes(const char* direction, const uint8_t* bytes, size_t count) {
  std::string text;
  const size_t shown = count < kLoggedBytes ? count : kLoggedBytes;
  for (size_t i = 0; i < shown; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += pair;
  }
  if (shown < count) text += " +" + std::to_string(count - shown) + " more";
  log("%s %s", direction, text.c_str());
}

bool Simulator::set_up() {
  if (!options_.log_path.empty()) {
    log_ = std::fopen(options_.log_path.c_str(), "we");
    if (log_ == nullptr) {
      std::fprintf(stderr, "kestrelon-sim: cannot write %s: %s\n", options_.log_path.c_str(),
                   std::strerror(errno));
      log_ = stdout;
      return false;
    }
  }
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    std::fprintf(stderr, "kestrelon-sim: no pseudo-terminal: %s\n", std::strerror(errno));
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) return false;
  slave_path_ = name;
  // Kept open for the whole run: the line settings stay readable, and the master never sees
  // a hang-up when the program closes its end.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_ < 0) return false;
  termios tio{};
  if (tcgetattr(slave_, &tio) != 0) return false;
  cfmakeraw(&tio);  // no echo or translation before the program sets the line itself
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(slave_, TCSANOW, &tio) != 0) return false;
  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return false;

  std::string speeds;
  for (uint32_t speed : options_.speeds) {
    speeds += (speeds.empty() ? "" : ",") + std::to_string(speed);
  }
  std::string status;
  for (uint8_t byte : options_.status) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    status += pair;
  }
  log("START pty=%s link=%s id=%s status=%s speeds=%s fault=%s", slave_path_.c_str(),
      options_.link.c_str(), options_.id.c_str(), status.c_str(), speeds.c_str(),
      options_.fault_text.c_str());
  sample_line();
  if (!publish_link()) return false;
  log("READY");
  return true;
}

bool Simulator::publish_link() {
  // A new link beside the old one, renamed over it: the link is replaced atomically.
  const std::string temporary = options_.link + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(slave_path_.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), options_.link.c_str()) != 0) {
    std::fprintf(stderr, "kestrelon-sim: cannot publish %s: %s\n", options_.link.c_str(),
                 std::strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  link_published_ = true;
  if (!options_.ready_file.empty()) {
    const std::string ready_temporary = options_.ready_file + ".new";
    FILE* ready = std::fopen(ready_temporary.c_str(), "we");
    if (ready == nullptr) return false;
    std::fprintf(ready, "%s\n", slave_path_.c_str());
    const bool written = std::fclose(ready) == 0;
    if (!written || rename(ready_temporary.c_str(), options_.ready_file.c_str()) != 0) return false;
  }
  return true;
}

void Simulator::remove_link() {
  if (!link_published_) return;
  link_published_ = false;
  // Only our own link: another simulator may have replaced it since.
  char target[256];
  const ssize_t length = readlink(options_.link.c_str(), target, sizeof target - 1);
  if (length > 0 && std::string(target, static_cast<size_t>(length)) == slave_path_) {
    unlink(options_.link.c_str());
  }
  if (!options_.ready_file.empty()) unlink(options_.ready_file.c_str());
}

uint32_t speed_number(speed_t code) {
  struct Entry {
    speed_t code;
    uint32_t value;
  };
  static const Entry kTable[] = {
      {B0, 0},
      {B50, 50},
      {B75, 75},
      {B110, 110},
      {B134, 134},
      {B150, 150},
      {B200, 200},
      {B300, 300},
      {B600, 600},
      {B1200, 1200},
      {B1800, 1800},
      {B2400, 2400},
      {B4800, 4800},
      {B9600, 9600},
      {B19200, 19200},
      {B38400, 38400},
      {B57600, 57600},
      {B115200, 115200},
      {B230400, 230400},
      {B460800, 460800},
      {B500000, 500000},
      {B576000, 576000},
      {B921600, 921600},
      {B1000000, 1000000},
      {B1152000, 1152000},
      {B1500000, 1500000},
      {B2000000, 2000000},
      {B2500000, 2500000},
      {B3000000, 3000000},
      {B3500000, 3500000},
      {B4000000, 4000000},
  };
  for (const Entry& entry : kTable) {
    if (entry.code == code) return entry.value;
  }
  return 0;
}

void Simulator::sample_line() {
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) return;
  const uint32_t speed = speed_number(cfgetospeed(&tio));
  if (line_format_.empty() || speed != speed_) {
    speed_ = speed;
    log("SPEED %u", speed);
  }
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
  const std::string format{bits, parity, (tio.c_cflag & CSTOPB) != 0 ? '2' : '1'};
  if (format != line_format_) {
    line_format_ = format;
    log("LINE %s", format.c_str());
  }
}

bool Simulator::answers_at_current_speed() const {
  for (uint32_t speed : options_.speeds) {
    if (speed == speed_) return true;
  }
  return false;
}

void Simulator::receive(const uint8_t* bytes, size_t count) {
  log_bytes("RX", bytes, count);
  if (hangup_at_ >= 0) {
    // hangup-after-reply: the line goes at the first byte after the reply.
    hang_up("after reply");
    return;
  }
  if (!answers_at_current_speed()) {
    // At a speed the device does not use, the bytes are noise to it.
    log("IGNORED %zu bytes speed=%u", count, speed_);
    return;
  }
  for (size_t i = 0; i < count && !finished_; ++i) handle_byte(bytes[i]);
  last_frame_byte_ms_ = now_ms();
}

void Simulator::handle_byte(uint8_t byte) {
  if (!frame_.empty()) {
    frame_.push_back(byte);
    if (frame_.size() == 2 && byte < 0x23) {
      log("WARN frame length byte %02X too small", byte);
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
        log("PROBE silent speed=%u", speed_);
      } else {
        log("PROBE answered speed=%u", speed_);
        queue(options_.status);
      }
      break;
    case kStart:
      frame_.push_back(byte);
      break;
    case 0x18:
    case 0x17:
    case 0x04:
      log("EVENT release %02X", byte);
      if (byte == 0x04 && report_seen_ && options_.exit_after_report) {
        exit_at_ = now_ms();
      }
      break;
    default:
      log("WARN unexpected byte %02X", byte);
      break;
  }
}

void Simulator::finish_frame() {
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
  log("FRAME seq=%02X cmd=%02X len=%02X %s", sequence, command, frame[1], verdict);
  if (sequence < 0x21 || sequence > 0xA0) {
    log("WARN sequence %02X outside 21..A0", sequence);
  } else if (have_sequence_) {
    const uint8_t expected = last_sequence_ >= 0xA0 ? 0x21 : last_sequence_ + 1;
    if (sequence != expected) log("WARN sequence %02X, expected %02X", sequence, expected);
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
    log("WARN unknown command %02X", command);
  }
}

void Simulator::on_identification(uint8_t sequence) {
  if (options_.silent) return;
  switch (options_.fault) {
    case Fault::no_id_reply:
      log("WARN identification not answered (fault)");
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
      delayed_reply_at_ = now_ms() + static_cast<int64_t>(options_.fault_value);
      return;
    default:
      break;
  }
  queue(reply_frame(sequence, kIdentify, options_.id));
  if (options_.fault == Fault::hangup_after_reply) hangup_at_ = now_ms() + kHangupAfterReplyMs;
}

void Simulator::on_report(uint8_t sequence) {
  ++reports_;
  log("EVENT Z report printed count=%" PRIu64, reports_);
  if (!options_.silent && options_.fault != Fault::flood) {
    queue(reply_frame(sequence, kReport, ""));
  }
  if (options_.exit_after_report) {
    report_seen_ = true;
    exit_at_ = now_ms() + kExitAfterReportMs;
  }
}

// A reply in the same frame form as the commands: 02, length, the request's sequence byte,
// the command code, the data, two checksum bytes, 0A. The identifier starts at offset 4.
std::vector<uint8_t> Simulator::reply_frame(uint8_t sequence, uint8_t command,
                                            const std::string& data) const {
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

std::vector<uint8_t> Simulator::random_bytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(byte(random_));
  return bytes;
}

void Simulator::queue(const std::vector<uint8_t>& bytes) {
  if (tx_.size() + bytes.size() > kMaxQueuedBytes) {
    log("WARN output queue full, %zu bytes dropped", bytes.size());
    return;
  }
  tx_.insert(tx_.end(), bytes.begin(), bytes.end());
  flush_queue();
}

void Simulator::flush_queue() {
  while (!tx_.empty() && master_ >= 0) {
    const ssize_t n = write(master_, tx_.data(), tx_.size());
    if (n > 0) {
      log_bytes("TX", tx_.data(), static_cast<size_t>(n));
      tx_.erase(tx_.begin(), tx_.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      log("WARN write failed: %s", std::strerror(errno));
      tx_.clear();
    }
    return;  // the line is full: poll says when to go on
  }
}

void Simulator::hang_up(const char* reason) {
  log("EVENT hangup %s", reason);
  remove_link();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
  finished_ = true;
  exit_reason_ = "hangup";
}

int64_t Simulator::next_timer_ms() const {
  int64_t next = now_ms() + kSampleMs;
  for (int64_t at : {delayed_reply_at_, hangup_at_, exit_at_}) {
    if (at >= 0 && at < next) next = at;
  }
  if (!frame_.empty() && last_frame_byte_ms_ + kFrameGapMs < next) {
    next = last_frame_byte_ms_ + kFrameGapMs;
  }
  return next;
}

void Simulator::run_timers() {
  const int64_t now = now_ms();
  if (delayed_reply_at_ >= 0 && now >= delayed_reply_at_) {
    delayed_reply_at_ = -1;
    queue(delayed_reply_);
    delayed_reply_.clear();
  }
  if (!frame_.empty() && now >= last_frame_byte_ms_ + kFrameGapMs) {
    log("WARN incomplete frame of %zu bytes dropped", frame_.size());
    frame_.clear();
  }
  if (hangup_at_ >= 0 && now >= hangup_at_) hang_up("after reply");
  if (!finished_ && exit_at_ >= 0 && now >= exit_at_) {
    finished_ = true;
    exit_reason_ = "after report";
  }
}

int Simulator::run() {
  sigset_t blocked;
  sigset_t during_poll;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  sigprocmask(SIG_BLOCK, &blocked, &during_poll);
  sigdelset(&during_poll, SIGTERM);
  sigdelset(&during_poll, SIGINT);
  sigdelset(&during_poll, SIGHUP);

  const int64_t end_ms =
      options_.lifetime_s > 0 ? static_cast<int64_t>(options_.lifetime_s) * 1000 : -1;
  uint8_t buffer[4096];
  while (!finished_) {
    if (g_stop_signal != 0) {
      exit_reason_ = g_stop_signal == SIGINT   ? "SIGINT"
                     : g_stop_signal == SIGHUP ? "SIGHUP"
                                               : "SIGTERM";
      break;
    }
    if (end_ms >= 0 && now_ms() >= end_ms) {
      exit_reason_ = "lifetime";
      break;
    }
    sample_line();
    int64_t wait = next_timer_ms() - now_ms();
    if (wait < 0) wait = 0;
    const timespec timeout{static_cast<time_t>(wait / 1000),
                           static_cast<long>(wait % 1000) * 1000000L};
    pollfd pfd{master_, static_cast<short>(POLLIN | (tx_.empty() ? 0 : POLLOUT)), 0};
    const int ready = ppoll(&pfd, 1, &timeout, &during_poll);
    if (ready < 0 && errno != EINTR) {
      log("WARN poll failed: %s", std::strerror(errno));
      exit_reason_ = "poll failed";
      break;
    }
    // Our own slave descriptor keeps the line up; a failure without data would spin.
    if (ready > 0 && (pfd.revents & POLLIN) == 0 &&
        (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      exit_reason_ = "line failed";
      break;
    }
    if (ready > 0 && (pfd.revents & POLLIN) != 0) {
      sample_line();  // the speed at which these bytes came
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) receive(buffer, static_cast<size_t>(n));
    }
    if (!finished_ && ready > 0 && (pfd.revents & POLLOUT) != 0) flush_queue();
    if (!finished_) run_timers();
  }
  log("EXIT %s", exit_reason_.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options);
  if (!simulator.set_up()) return 1;
  return simulator.run();
}
