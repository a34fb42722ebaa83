// Shift_JIS names for the terminal the user has: UTF-8 or EUC-JP, chosen by
// the locale's character set.
#pragma once

#include <string>

enum class Charset { eucJp, utf8 };

// The character set of the current locale: UTF-8 when its codeset is
// UTF-8, otherwise EUC-JP. REQUIRES: setlocale(LC_ALL, "") has been called.
Charset terminalCharset();

// `sjis` converted for the terminal: to UTF-8 by the code page 932 codec, or
// to EUC-JP as the packer and the divider print names. A byte that does
// not convert, and a control character, is shown as a \xNN escape; no byte
// is dropped.
std::string toTerminal(const std::string& sjis, Charset charset);
