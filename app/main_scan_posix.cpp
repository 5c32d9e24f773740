// kestrelon-scan: the scan on the terminal. Its only argument is --help.
#include <cstdio>
#include <cstring>

#include "app/program.h"

namespace {

constexpr char kUsage[] =
    "Utilizare: kestrelon-scan [--help]\n"
    "\n"
    "Caută aparatul fiscal pe COM1..COM256, la 115200 și apoi 9600 biți/s, fără să ceară\n"
    "raportul Z, arată aparatele găsite și, la răspunsul d, scrie portul și viteza aparatului\n"
    "ales în Kestrelon.ini din dosarul curent (cel vechi rămâne ca Kestrelon.ini.bak).\n"
    "COMn este /dev/ttyS(n-1) sau, când KESTRELON_COM_DIR numește un dosar, legătura comN\n"
    "din acel dosar. Fără terminal răspunsul este n.\n"
    "\n"
    "Cod de ieșire: 0 aparat găsit, 1 niciun aparat sau fișierul nu a putut fi scris,\n"
    "2 argumente greșite.\n";
constexpr int kExitWrongArguments = 2;

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fputs(kUsage, stderr);
    return kExitWrongArguments;
  }
  return kestrelon::run_scan_program();
}
