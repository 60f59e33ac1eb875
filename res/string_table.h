// The format of res/strings.txt, the program's string resources.
//
// One string a line: the decimal id, one tab, the text in UTF-8. In the text,
// \r, \n, \t and \\ stand for CR, LF, tab and a backslash; any other
// backslash is kept as it is. Lines may end in LF or CR LF. Empty lines and
// lines starting with '#' are comments; lines of any other form are skipped.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/types.h"

// The strings of a whole file by id; a later line with the same id wins.
// Malformed UTF-8 becomes U+FFFD, one for each byte that cannot be decoded.
std::map<UINT, std::wstring> ParseStringTable(std::string_view text);
