// kestrelon-scan: the scan on the terminal.
#include "app/command_line_posix.h"
#include "app/program.h"
#include "app/settings_file.h"
#include "common/text.h"

int main(int argc, char** argv) {
  const kestrelon::PinFiles pinned = kestrelon::pin_files(kestrelon::kSettingsFileName);
  const std::string description =
      "Caută aparatul fiscal pe COM1..COM256, la 115200 și apoi 9600 biți/s, fără să ceară\n"
      "raportul Z, arată aparatele găsite și, la răspunsul d, scrie portul și viteza aparatului\n"
      "ales în " +
      kestrelon::wide_to_ansi(pinned.file) + " din folderul curent (cel vechi rămâne ca " +
      kestrelon::wide_to_ansi(pinned.backup) +
      ").\n"
      "COMn este /dev/ttyS(n-1) sau, când KESTRELON_COM_DIR numește un folder, legătura comn\n"
      "din acel folder. Fără terminal răspunsul este n.\n"
      "\n"
      "Cod de ieșire: 0 aparat găsit (scris sau nu), 1 niciun aparat sau fișierul nu a putut\n"
      "fi scris, 2 argumente greșite, 3 Kestrelon sau KestrelonScan rulează deja.\n";
  return kestrelon::run_native_program(argc, argv, description, kestrelon::run_scan_program);
}
