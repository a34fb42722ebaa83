// kervls: lists and checks KERV and P-KERV archives without extracting them.
#include "tools/Lister.h"

int main(int argc, char** argv) { return listArchives(argc, argv); }
