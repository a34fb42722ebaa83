// krvmake: packs a KERV scenario and the data files it lists into one archive.
#include "tools/Dialect.h"
#include "tools/Packer.h"

int main(int argc, char** argv) { return pack(kervDialect, argc, argv); }
