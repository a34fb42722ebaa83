// Shell-style patterns for data-file names, as tar --wildcards and unzip
// take them: '*' any run of characters ('/' included), '?' one character,
// '[...]' one character of a set ('!' or '^' first negates it, 'a-z' a
// range of code points, a ']' first is itself). '\' and '/' both separate
// folders, in the pattern and in the name, so that a pattern matches the
// name as 'kerv list' shows it and as an extraction writes it; a '*', '?'
// or '[' that should be itself stands in brackets ("[*]"). Characters are
// code points of UTF-8; a byte that is no UTF-8 is a character of its own.
#pragma once

#include <string_view>

namespace wildcard {

// True when `text` holds '*', '?' or '[', so that it is read as a pattern.
bool isPattern(std::string_view text);

// True when `pattern` matches the whole of `name`. Time at most
// proportional to the product of their lengths.
bool matches(std::string_view pattern, std::string_view name);

}  // namespace wildcard
