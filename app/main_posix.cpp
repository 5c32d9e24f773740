#include "app/program.h"

int main() {
  return kestrelon::run_program();
}
