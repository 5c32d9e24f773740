#include "app/command_line_posix.h"

#include <csignal>
#include <cstdio>
#include <string>

namespace kestrelon {

namespace {
constexpr int kUsageError = 2;
}

std::optional<int> handle_command_line(int argc, char** argv, std::string_view usage) {
  if (argc < 2) return std::nullopt;
  const std::string_view argument = argv[1];
  if (argc == 2 && argument == "--help") {
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    return 0;
  }
  if (argc == 2 && argument == "--version") {
    const std::string_view path = argv[0];
    std::printf("%s %s\n", std::string(path.substr(path.rfind('/') + 1)).c_str(),
                KESTRELON_VERSION);
    return 0;
  }
  std::fprintf(stderr, "%s: argument necunoscut: %s\n\n", argv[0], argv[1]);
  std::fwrite(usage.data(), 1, usage.size(), stderr);
  return kUsageError;
}

void ignore_closed_output() {
  std::signal(SIGPIPE, SIG_IGN);  // a write to a closed pipe then fails with EPIPE instead
}

}  // namespace kestrelon
