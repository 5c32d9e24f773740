// The native programs' command line, by Linux conventions. Kestrelon.exe has none.
#pragma once

#include <optional>
#include <string_view>

namespace kestrelon {

// "--help" prints `usage` and "--version" the version, both on standard output, and the
// program ends with 0; any other argument prints the usage on standard error and the program
// ends with 2. nullopt: no argument, the program runs.
std::optional<int> handle_command_line(int argc, char** argv, std::string_view usage);

// The process goes on, and keeps its exit code, when the reader of its output has gone.
void ignore_closed_output();

}  // namespace kestrelon
