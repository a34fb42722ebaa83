// What the Windows file layer shares: names between UTF-8 and UTF-16,
// full paths, errno for a Windows error, and what a handle's file is.
// Internal to archive/ on Windows.
#pragma once

#include <windows.h>

#include <string>

#include "archive/FileIdentity.h"

namespace windowsNames {

// `name`, in UTF-8, in UTF-16; false, with errno EILSEQ, when it is no UTF-8.
bool wide(const std::string& name, std::wstring& out);
// UTF-16 text in UTF-8.
std::string utf8(const std::wstring& text);
// Makes `path` full (absolute, '\' separating its folders); false, with errno set, when it cannot.
bool full(std::wstring& path);
// The errno that a POSIX system reports for what the Windows error means.
int errnoOf(DWORD error);
// What the system says of the file open as h; false, with errno set, when it does not.
bool identityOf(HANDLE h, FileIdentity* id);

}  // namespace windowsNames
