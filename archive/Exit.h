// The one way the library and the tools end the process on a fatal error.
//
// Every fatal path calls exitProcess after writing its message. A test
// harness that must survive such an end (a fuzzer, say) links its own
// definition of this function in place of the library's.
#pragma once

// Ends the process with `status` (-1 after every failure, 0 after success).
[[noreturn]] void exitProcess(int status);
