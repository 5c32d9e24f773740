#include "app/command_line_posix.h"
#include "app/program.h"
#include "app/settings_file.h"
#include "common/text.h"

int main(int argc, char** argv) {
  const std::string description =
      "Face ca aparatul fiscal de pe portul serial să tipărească raportul Z, care închide ziua\n"
      "fiscală. Portul și viteza sunt citite din " +
      kestrelon::wide_to_ansi(kestrelon::kSettingsFileName) +
      ", din folderul curent:\n"
      "  com=COM3\n"
      "  port=115200\n"
      "Fără ele, aparatul este căutat pe COM1..COM256, la 115200 și la 9600 biți/s.\n"
      "\n"
      "COMn este /dev/ttyS(n-1); când KESTRELON_COM_DIR numește un folder, COMn este\n"
      "legătura comn din acel folder.\n";
  return kestrelon::run_native_program(argc, argv, description, kestrelon::run_program);
}
