// The diagnostic log: plain 8-bit lines in log.txt in the data folder,
// echoed to standard output. Callers end every text with "\r\n" themselves.
#pragma once

#include <cstdio>

extern FILE* g_fpLog;

// Opens (truncates) log.txt in the data folder; g_fpLog stays null when the
// file cannot be opened. Returns whether the log is open.
bool OpenLog();
void CloseLog();

// Appends the text, without its terminator, to the log and to standard output.
void LogMessage(const char* text);
