// Prints the version, the file list and the first command of a KERV
// scenario, through the installed scenario library.
#include <iostream>

#include "scenario/KervScenario.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  KervScenario scenario(argv[1]);
  std::cout << "version " << scenario.getVersion() << "\n";
  while (const char* name = scenario.nextFileName()) std::cout << "file " << name << "\n";
  if (scenario.skipSeparators() && scenario.isCommandStart()) std::cout << "first command " << scenario.currentChar() << "\n";
  return 0;
}
