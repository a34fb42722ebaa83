#include "archive/Exit.h"

#include <cstdlib>

void exitProcess(int status) { std::exit(status); }
