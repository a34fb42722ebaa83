// pkvdiv: divides a P-KERV archive back into its scenario and data files.
#include "tools/Divider.h"

int main(int argc, char** argv) { return divide(pkervPrograms, argc, argv); }
