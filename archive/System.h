// The process around the programs, as the operating system provides it:
// its standard streams, its command line and the terminal it writes to.
// SystemPosix.cpp and SystemWindows.cpp each implement it.
#pragma once

#include <string>

// Makes the standard streams fit for the programs: on POSIX, opens the null
// device on any of the descriptors 0, 1 and 2 that is closed (else the
// first file a program opens would take that descriptor, and messages meant
// for the terminal would be written into it); on Windows, puts them in
// binary mode, so that a newline is written as itself.
void prepareStandardStreams();

// Whether the standard descriptor fd (0, 1 or 2) was closed when
// prepareStandardStreams() ran (never on Windows): what a program writes
// there then reaches no one.
bool standardStreamWasClosed(int fd);

// The path of the file `path` names, every symbolic link resolved (on
// Windows the full path); false, with errno set, when it cannot be found.
bool resolvedPath(const std::string& path, std::string* out);

// The folder that holds the running program ('/' or '\\' separated, no
// separator at its end); empty where the system does not say.
std::string programFolder();

// Makes a write beyond the process's file-size limit fail with an error
// instead of ending the process (POSIX: SIGXFSZ is ignored).
void ignoreFileSizeSignal();

// Makes SIGINT, SIGTERM and SIGHUP remove the hidden temporaries of files
// being written (see SystemFile::createUnnamed) before they end the
// process; a signal the process was started to ignore stays ignored.
// Windows deletes such files by itself.
void removeTemporariesOnSignals();

// The program's arguments: argv itself on POSIX; on Windows, the wide
// command line converted to UTF-8, so that any name given there can be
// opened (as a native name, see SystemFile), with argc set to their count.
// The array lives as long as the process. REQUIRES: argc and argv as main
// received them.
char** commandLineArguments(int& argc, char** argv);

// Whether names for people on standard output are to be UTF-8 (else
// EUC-JP): by the locale's codeset on POSIX (REQUIRES: setlocale(LC_ALL, "")
// was called), always on Windows.
bool terminalWantsUtf8();

// Whether standard error is a terminal (a console on Windows), where a
// progress bar may be drawn.
bool standardErrorIsTerminal();

// The columns of the terminal that is standard error; 80 when it does not say.
int terminalColumns();

// Whether standard output is a Windows console (never on POSIX). A
// console shows bytes as its own code page would, so text for people goes
// to it through writeToConsole.
bool standardOutputIsConsole();

// Writes UTF-8 text to the console that is standard output, as Unicode
// text. False when the write failed. REQUIRES: standardOutputIsConsole().
bool writeToConsole(const std::string& utf8);
