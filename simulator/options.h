// The simulator's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrelon_sim {

constexpr size_t kMaxReplyBytes = 16u << 20;  // flood and huge replies

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
  std::string link;        // a new pseudo-terminal, published here
  std::string tty;         // or an existing serial device
  uint32_t tty_speed = 0;  // the speed that device runs at
  std::string log_path;
  std::string ready_file;
  std::string id = "VF12345678";
  std::vector<uint8_t> status{0x40};
  std::vector<uint32_t> speeds{115200, 9600};
  bool speeds_given = false;
  bool silent = false;
  bool exit_after_report = false;
  Fault fault = Fault::none;
  std::string fault_text = "none";
  uint64_t fault_value = 0;
  uint32_t seed = 1;
  uint64_t lifetime_s = 0;
};

// Reads the command line into `options`. Returns 0 to go on, -1 after printing the help
// (exit 0), or 2 after one line on standard error naming the option and what it takes.
int parse_options(int argc, char** argv, Options& options);

}  // namespace kestrelon_sim
