#include "options.h"

#include <errno.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "line.h"

namespace kestrelon_sim {
namespace {

constexpr uint64_t kMaxIdBytes = 200;
constexpr uint64_t kMaxLifetimeS = 86400 * 365;

void print_help(FILE* out) {
  std::fputs(
      "usage: kestrelon-sim --link PATH [options]\n"
      "       kestrelon-sim --tty DEVICE --speed N [options]\n"
      "Stands in for the fiscal device: on a new pseudo-terminal whose slave is linked at PATH,\n"
      "or on an existing serial line.\n"
      "  --link PATH         symlink to publish (an existing one is replaced; removed on exit)\n"
      "  --tty DEVICE        an existing serial device instead (e.g. /dev/ttyUSB0), set raw,\n"
      "                      8N1; needs --speed\n"
      "  --speed N           with --tty: the speed of the line in bits per second\n"
      "  --id TEXT           identifier in the identification reply (default VF12345678,\n"
      "                      at most 200 bytes)\n"
      "  --status HEX        probe answer, one or more bytes in hex (default 40; 4000 sends\n"
      "                      0x40 0x00)\n"
      "  --speeds LIST       with --link: speeds answered at, comma separated (default\n"
      "                      115200,9600)\n"
      "  --log FILE          log to FILE instead of standard output\n"
      "  --ready-file PATH   written (with the line's path) once the line is ready\n"
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
      "Exits cleanly on SIGTERM, SIGINT or SIGHUP, once it has read what the line holds. On\n"
      "SIGUSR1 it reads what the line holds and logs SYNC. The log format is described in\n"
      "README.md.\n",
      out);
}

// A whole decimal number from 0 to limit, digits only.
bool parse_number(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > limit) return false;
  value = parsed;
  return true;
}

bool parse_speed(const std::string& text, uint32_t& speed) {
  uint64_t value = 0;
  speed_t code = 0;
  if (!parse_number(text, UINT32_MAX, value) || !speed_code(static_cast<uint32_t>(value), code)) {
    return false;
  }
  speed = static_cast<uint32_t>(value);
  return true;
}

struct NamedFault {
  const char* name;
  Fault fault;
  uint64_t limit;    // the largest N of a mode that takes one
  const char* unit;  // nullptr: the mode takes no value
};

constexpr NamedFault kFaults[] = {
    {"no-id-reply", Fault::no_id_reply, 0, nullptr},
    {"delay-id-ms", Fault::delay_id, 600000, "milliseconds"},
    {"hangup-before-reply", Fault::hangup_before_reply, 0, nullptr},
    {"hangup-after-reply", Fault::hangup_after_reply, 0, nullptr},
    {"flood-bytes", Fault::flood, kMaxReplyBytes, "bytes"},
    {"garbage-reply", Fault::garbage, 0, nullptr},
    {"empty-reply", Fault::empty, 0, nullptr},
    {"huge-reply", Fault::huge, kMaxReplyBytes, "bytes"},
};

const NamedFault* find_fault(const std::string& value) {
  const std::string name = value.substr(0, value.find('='));
  for (const NamedFault& entry : kFaults) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

bool apply_fault(const std::string& value, Options& options) {
  const NamedFault* entry = find_fault(value);
  if (entry == nullptr) return false;
  const size_t equals = value.find('=');
  if ((entry->unit != nullptr) != (equals != std::string::npos)) return false;
  if (entry->unit != nullptr &&
      !parse_number(value.substr(equals + 1), entry->limit, options.fault_value)) {
    return false;
  }
  options.fault = entry->fault;
  options.fault_text = value;
  return true;
}

std::string fault_accepts(const std::string& value) {
  const NamedFault* entry = find_fault(value);
  if (entry != nullptr && entry->unit == nullptr) return std::string(entry->name) + " alone";
  if (entry != nullptr) {
    return std::string(entry->name) + "=N with N a whole number from 0 to " +
           std::to_string(entry->limit) + " (" + entry->unit + ")";
  }
  std::string list;
  for (const NamedFault& named : kFaults) {
    list += (list.empty() ? "one of " : ", ") + std::string(named.name) +
            (named.unit != nullptr ? "=N" : "");
  }
  return list;
}

bool apply_hex_bytes(const std::string& text, Options& options) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 64) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      return false;
    }
    bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  options.status = bytes;
  return true;
}

bool apply_speeds(const std::string& text, Options& options) {
  std::vector<uint32_t> speeds;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    uint32_t speed = 0;
    if (!parse_speed(text.substr(start, comma - start), speed)) return false;
    speeds.push_back(speed);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  options.speeds = speeds;
  options.speeds_given = true;
  return true;
}

std::string speed_accepts(const std::string&) {
  return "a line speed in bits per second, one of " + speed_list();
}

// Each option: how its value is taken, and what it takes, said when the value is missing or
// not accepted. A flag has no `accepts`.
struct KnownOption {
  const char* name;
  bool (*apply)(const std::string& value, Options& options);
  std::string (*accepts)(const std::string& value);
};

const KnownOption kOptions[] = {
    {"link", [](const std::string& v, Options& o) { return !(o.link = v).empty(); },
     [](const std::string&) -> std::string { return "the path of the link to publish"; }},
    {"tty", [](const std::string& v, Options& o) { return !(o.tty = v).empty(); },
     [](const std::string&) -> std::string {
       return "the path of a serial device, e.g. /dev/ttyUSB0";
     }},
    {"speed", [](const std::string& v, Options& o) { return parse_speed(v, o.tty_speed); },
     speed_accepts},
    {"id",
     [](const std::string& v, Options& o) {
       o.id = v;
       return v.size() <= kMaxIdBytes;
     },
     [](const std::string&) -> std::string { return "a text of at most 200 bytes"; }},
    {"status", apply_hex_bytes,
     [](const std::string&) -> std::string {
       return "1 to 32 bytes in hex, two digits each, e.g. 40 (4000 sends 0x40 0x00)";
     }},
    {"speeds", apply_speeds,
     [](const std::string&) -> std::string {
       return "line speeds in bits per second, comma separated, each one of " + speed_list();
     }},
    {"log", [](const std::string& v, Options& o) { return !(o.log_path = v).empty(); },
     [](const std::string&) -> std::string { return "the path of the log file"; }},
    {"ready-file", [](const std::string& v, Options& o) { return !(o.ready_file = v).empty(); },
     [](const std::string&) -> std::string { return "the path of the file to write"; }},
    {"silent", [](const std::string&, Options& o) { return o.silent = true; }, nullptr},
    {"exit-after-report", [](const std::string&, Options& o) { return o.exit_after_report = true; },
     nullptr},
    {"fault", apply_fault, fault_accepts},
    {"seed",
     [](const std::string& v, Options& o) {
       uint64_t seed = 0;
       const bool ok = parse_number(v, UINT32_MAX, seed);
       o.seed = static_cast<uint32_t>(seed);
       return ok;
     },
     [](const std::string&) -> std::string {
       return "a whole number from 0 to " + std::to_string(UINT32_MAX);
     }},
    {"lifetime-s",
     [](const std::string& v, Options& o) { return parse_number(v, kMaxLifetimeS, o.lifetime_s); },
     [](const std::string&) -> std::string {
       return "a whole number of seconds from 0 (no limit) to " + std::to_string(kMaxLifetimeS);
     }},
};

int fail(const std::string& message) {
  std::fprintf(stderr, "kestrelon-sim: %s\n", message.c_str());
  return 2;
}

// What the options say together: where the device sits, and at which speeds.
int check_line_choice(const Options& options) {
  if (!options.link.empty() && !options.tty.empty()) {
    return fail(
        "--link and --tty exclude each other: the device sits on a new pseudo-terminal "
        "(--link) or on an existing serial line (--tty)");
  }
  if (options.link.empty() && options.tty.empty()) {
    return fail(
        "say where the device sits: --link PATH (a new pseudo-terminal) or --tty DEVICE "
        "--speed N (an existing serial line); kestrelon-sim --help lists the options");
  }
  if (!options.tty.empty() && options.tty_speed == 0) {
    return fail("--tty needs --speed N, the speed the line runs at (e.g. 115200 or 9600)");
  }
  if (options.tty.empty() && options.tty_speed != 0) {
    return fail(
        "--speed goes with --tty; on a pseudo-terminal the program sets the speed and "
        "--speeds says which ones the device answers at");
  }
  if (!options.tty.empty() && options.speeds_given) {
    return fail("--speeds goes with --link; on a serial line the device answers at --speed");
  }
  return 0;
}

}  // namespace

int parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      print_help(stdout);
      return -1;
    }
    if (argument.rfind("--", 0) != 0) {
      return fail("unexpected argument '" + argument + "'; kestrelon-sim --help lists the options");
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? equals : equals - 2);
    const KnownOption* known = nullptr;
    for (const KnownOption& candidate : kOptions) {
      if (name == candidate.name) known = &candidate;
    }
    if (known == nullptr) {
      return fail("unknown option '--" + name + "'; kestrelon-sim --help lists the options");
    }
    const std::string option = "--" + name;
    if (known->accepts == nullptr) {
      if (equals != std::string::npos) return fail(option + " takes no value");
      known->apply("", options);
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return fail(option + " needs a value: " + known->accepts(""));
    }
    if (!known->apply(value, options)) {
      return fail(option + " '" + value + "' is not accepted; it takes " + known->accepts(value));
    }
  }
  const int checked = check_line_choice(options);
  if (checked == 0 && !options.tty.empty()) options.speeds = {options.tty_speed};
  return checked;
}

}  // namespace kestrelon_sim
