// The name under which this system opens or creates the file that an entry
// of a scenario's file list names.
#pragma once

#include <string>

// Where file names are bytes (POSIX): the entry's Shift_JIS bytes as they
// stand. Where they are Unicode (Windows): its characters as code page 932
// decodes them, in UTF-8, so that `\x8A\x43.zpt` is the file 海.zpt. False,
// with errno EILSEQ, when a byte of the entry has no character there.
bool nativeFileName(const char* entry, std::string& native);
