// kestrelon-scan: the scan on the terminal.
#include "app/command_line_posix.h"
#include "app/program.h"

namespace {

constexpr char kDescription[] =
    "Caută aparatul fiscal pe COM1..COM256, la 115200 și apoi 9600 biți/s, fără să ceară\n"
    "raportul Z, arată aparatele găsite și, la răspunsul d, scrie portul și viteza aparatului\n"
    "ales în Kestrelon.ini din folderul curent (cel vechi rămâne ca Kestrelon.ini.bak).\n"
    "COMn este /dev/ttyS(n-1) sau, când KESTRELON_COM_DIR numește un folder, legătura comn\n"
    "din acel folder. Fără terminal răspunsul este n.\n"
    "\n"
    "Cod de ieșire: 0 aparat găsit (scris sau nu), 1 niciun aparat sau fișierul nu a putut\n"
    "fi scris, 2 argumente greșite, 3 Kestrelon sau KestrelonScan rulează deja.\n";

}  // namespace

int main(int argc, char** argv) {
  return kestrelon::run_native_program(argc, argv, kDescription, kestrelon::run_scan_program);
}
