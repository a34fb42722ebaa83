// Names of files to be created from an archive's file list, whether
// creating them is safe, and the paths of this system.
#pragma once

#include <string>

// True when creating `name` could reach outside the current directory, or
// create something other than a file of that name, by the rules of the
// system the program runs on: isUnsafeWindowsName's on Windows,
// isUnsafePosixName's elsewhere.
bool leavesCurrentDirectory(const char* name);

// POSIX: the name is absolute or has a ".." component ('/' separates).
bool isUnsafePosixName(const char* name);

// Windows, for a name in Shift_JIS, where both '/' and '\' separate folders
// (but a 0x5C that is the second byte of a character is part of it): the
// name is absolute or drive-relative ("\x", "/x", "C:\x", "C:x"), a UNC or
// device path ("\\server\share", "\\?\...", "\\.\..."), holds a ':' (a
// drive, or an alternate data stream), or has a component that is "..", a
// device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$,
// in any case, with or without an extension), or ends in a dot or a blank,
// which Windows drops ("a." would write "a").
bool isUnsafeWindowsName(const char* name);

// Whether `part`, one component of a path, names a Windows device (CON,
// PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$, in any case,
// with or without an extension).
bool isWindowsDeviceName(const std::string& part);

// What makes `part`, one component of a path, unsafe on Windows: "..", a
// device name, or a dot or blank at its end; null when nothing does.
const char* windowsComponentProblem(const std::string& part);

// Whether names are created by the Windows rules here.
#if defined(_WIN32)
constexpr bool kWindowsFileNames = true;
#else
constexpr bool kWindowsFileNames = false;
#endif

// Paths of this system, whose folders '/' separates (and on Windows also
// '\\'): the last component of `path` ("" when it ends in a separator) ...
std::string baseName(const std::string& path);
// ... the folder it is in ("." when none, "/" for the root) ...
std::string folderOf(const std::string& path);
// ... and `name` in `folder` ("." adds nothing).
std::string joinPath(const std::string& folder, const std::string& name);
