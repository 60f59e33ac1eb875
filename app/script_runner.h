// Scripted runs on the headless backend, for tests, automation and
// screenshots. One command a line:
//   wait MS        advance the virtual clock, running due timers and messages
//   key NAME       press and release a key (Enter, Escape, Left, Up, Right,
//                  Down, SoftLeft, SoftRight, Backspace, Delete, Talk, 0-9, or
//                  a decimal virtual-key code)
//   tap X Y        stylus down and up at client coordinates
//   shot FILE.png  save the window's pixels
//   screen         print "screen N", the current screen index
//   quit           end the script
// Blank lines and lines starting with '#' are skipped.
#pragma once

#include <iosfwd>
#include <string>

constexpr int kScriptError = 2;

// Runs the script against the running program. Returns 0 when the script
// ends, the program's exit code when the program ends first, and 2 after an
// unknown command or a bad argument (reported on stderr with its line).
int RunScript(std::istream& script, const std::string& scriptName, std::ostream& out);

// Maps a key name of the script language to its virtual-key code; -1 if unknown.
int KeyCodeForName(const std::string& name);
