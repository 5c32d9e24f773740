// The native programs' command line, by Linux conventions. Kestrelon.exe has none.
#pragma once

#include <string_view>

namespace kestrelon {

// Runs `program` when there is no argument. "--help" prints the usage (`description` between
// the usage line and the options) and "--version" the version, both on standard output, and
// end with 0; any other argument prints the usage on standard error and ends with 2. A reader
// that closes the output early ends nothing: the writes just fail.
int run_native_program(int argc, char** argv, std::string_view description, int (*program)());

}  // namespace kestrelon
