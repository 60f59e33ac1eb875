#include "platform/window/form_factor.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value of CHASSIS= in machine-info's shell-style KEY=value lines.
std::string MachineInfoChassis(const std::string& machineInfo) {
  std::istringstream lines(machineInfo);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("CHASSIS=", 0) != 0) continue;
    std::string value = line.substr(8);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return {};
}

bool IsHandheldChassis(const std::string& chassis) { return chassis == "handset" || chassis == "tablet"; }

}  // namespace

bool IsPhoneFormFactor(int usableWidth, int usableHeight, const std::string& machineInfo,
                       const std::string& deviceTreeChassis) {
  const std::string declared = MachineInfoChassis(machineInfo);
  if (!declared.empty()) return IsHandheldChassis(declared);
  // The device tree's string ends in a NUL byte.
  if (IsHandheldChassis(deviceTreeChassis.substr(0, deviceTreeChassis.find('\0')))) return true;
  return usableWidth > 0 && usableHeight > 0 && usableWidth <= kPhoneDisplayMax && usableHeight <= kPhoneDisplayMax;
}

bool IsPhoneFormFactor(int usableWidth, int usableHeight) {
  return IsPhoneFormFactor(usableWidth, usableHeight, ReadSmallFile("/etc/machine-info"),
                           ReadSmallFile("/sys/firmware/devicetree/base/chassis-type"));
}
