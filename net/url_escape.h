// Percent-encoding of query values.
#pragma once

#include <string>

// `text` with every byte other than letters, digits and -._~ written as %XX,
// so that spaces, '&', '=' and non-ASCII bytes arrive as they were meant.
std::string PercentEncode(const char* text);
