#include "app/script_runner.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <vector>

#include "app/state.h"
#include "platform/system/screenshot.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"

namespace {

bool ParseInt(const std::string& text, long min, long max, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || parsed < min || parsed > max) return false;
  *value = static_cast<int>(parsed);
  return true;
}

struct Line {
  std::string command;
  std::vector<std::string> args;
};

Line Split(const std::string& text) {
  std::istringstream words(text);
  Line line;
  words >> line.command;
  for (std::string word; words >> word;) line.args.push_back(word);
  return line;
}

}  // namespace

int KeyCodeForName(const std::string& name) {
  static const std::map<std::string, int> kNames = {
      {"Enter", VK_RETURN}, {"Escape", VK_ESCAPE}, {"Left", VK_LEFT},       {"Up", VK_UP},
      {"Right", VK_RIGHT},  {"Down", VK_DOWN},     {"SoftLeft", VK_F1},     {"SoftRight", VK_F2},
      {"Backspace", VK_BACK}, {"Delete", VK_DELETE}, {"Talk", VK_F3}};
  if (auto found = kNames.find(name); found != kNames.end()) return found->second;
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '9') return name[0];
  int code = 0;
  if (name.size() > 1 && ParseInt(name, 1, 254, &code)) return code;
  return -1;
}

int RunScript(std::istream& script, const std::string& scriptName, std::ostream& out) {
  std::string text;
  int lineNumber = 0;
  auto fail = [&](const std::string& why) {
    std::cerr << scriptName << ":" << lineNumber << ": " << why << "\n";
    return kScriptError;
  };
  while (std::getline(script, text)) {
    ++lineNumber;
    const Line line = Split(text);
    if (line.command.empty() || line.command[0] == '#') continue;
    const std::size_t argc = line.args.size();
    if (line.command == "wait") {
      int ms = 0;
      if (argc != 1 || !ParseInt(line.args[0], 0, 24L * 3600 * 1000, &ms)) return fail("wait needs a time in milliseconds");
      AdvanceClock(ms);
    } else if (line.command == "key") {
      const int vk = argc == 1 ? KeyCodeForName(line.args[0]) : -1;
      if (vk < 0) return fail("key needs a key name such as Enter, SoftLeft or 5");
      PressKey(static_cast<UINT>(vk));
    } else if (line.command == "tap") {
      int x = 0;
      int y = 0;
      if (argc != 2 || !ParseInt(line.args[0], 0, 0xFFFF, &x) || !ParseInt(line.args[1], 0, 0xFFFF, &y))
        return fail("tap needs two client coordinates");
      Tap(x, y);
    } else if (line.command == "resize") {
      int width = 0;
      int height = 0;
      if (argc != 2 || !ParseInt(line.args[0], 120, 0xFFFF, &width) || !ParseInt(line.args[1], 160, 0xFFFF, &height))
        return fail("resize needs a width of at least 120 and a height of at least 160");
      ResizeWindowFromOutside(width, height);
    } else if (line.command == "shot") {
      if (argc != 1) return fail("shot needs a file name");
      if (!SaveSurfacePng(WindowPixels(), line.args[0])) return fail("cannot write " + line.args[0]);
    } else if (line.command == "screen") {
      if (argc != 0) return fail("screen takes no argument");
      out << "screen " << g_nCurrentScreen << std::endl;
    } else if (line.command == "quit") {
      if (argc != 0) return fail("quit takes no argument");
      return 0;
    } else {
      return fail("unknown command '" + line.command + "'");
    }
    int exitCode = 0;
    if (QuitPosted(&exitCode)) return exitCode;
  }
  return 0;
}
