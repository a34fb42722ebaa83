// krvmake: packs a KERV scenario and the data files it lists into one archive.
#include "tools/Packer.h"

int main(int argc, char** argv) { return pack(kervPrograms, argc, argv); }
