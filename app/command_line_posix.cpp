#include "app/command_line_posix.h"

#include <csignal>
#include <cstdio>
#include <string>

namespace kestrelon {

namespace {

constexpr int kUsageError = 2;
constexpr char kOptions[] =
    "\n"
    "  --help     afișează acest text\n"
    "  --version  afișează versiunea\n";

void print_usage(std::FILE* out, const std::string& name, std::string_view description) {
  std::fprintf(out, "Utilizare: %s [--help | --version]\n\n%.*s%s", name.c_str(),
               static_cast<int>(description.size()), description.data(), kOptions);
}

}  // namespace

int run_native_program(int argc, char** argv, std::string_view description, int (*program)()) {
  std::signal(SIGPIPE, SIG_IGN);  // a write to a closed pipe then fails with EPIPE instead
  if (argc < 2) return program();
  const std::string_view path = argv[0];
  const std::string name(path.substr(path.rfind('/') + 1));
  const std::string_view argument = argv[1];
  if (argc == 2 && argument == "--help") {
    print_usage(stdout, name, description);
    return 0;
  }
  if (argc == 2 && argument == "--version") {
    std::printf("%s %s\n", name.c_str(), KESTRELON_VERSION);
    return 0;
  }
  std::fprintf(stderr, "%s: argument necunoscut: %s\n\n", name.c_str(), argv[1]);
  print_usage(stderr, name, description);
  return kUsageError;
}

}  // namespace kestrelon
