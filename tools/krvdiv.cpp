// krvdiv: divides a KERV archive back into its scenario and data files.
#include "tools/Dialect.h"
#include "tools/Divider.h"

int main(int argc, char** argv) { return divide(kervDialect, argc, argv); }
