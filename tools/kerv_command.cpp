// kerv: lists, extracts, edits and packs KERV and P-KERV archives.
#include "tools/KervCommands.h"

int main(int argc, char** argv) { return runKerv(argc, argv); }
