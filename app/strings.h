// Heap string helpers. Each returns a new malloc block that the caller
// releases with free, and returns null when given null.
#pragma once

#include <cstddef>

// 8-bit text to wide text. The service and the log speak 8-bit text: it is
// decoded as UTF-8 where it is valid UTF-8 and byte by byte as Windows-1252
// where it is not, so no text can fail to convert or lose characters.
wchar_t* AnsiToWide(const char* text);

// Wide text to 8-bit text, encoded as UTF-8.
char* WideToAnsi(const wchar_t* text);

char* DupString(const char* text);
wchar_t* DupWideString(const wchar_t* text);

