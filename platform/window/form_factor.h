// Whether the program runs on a phone-like device, where its window should
// cover the display's usable area rather than keep the default size.
#pragma once

#include <string>

// A handset or tablet by the machine's own word (CHASSIS= in
// /etc/machine-info, else the device tree's chassis-type), or a display
// whose usable area is no longer than kPhoneDisplayMax on either side.
constexpr int kPhoneDisplayMax = 1024;
bool IsPhoneFormFactor(int usableWidth, int usableHeight);

// The same decision from what those files say (empty when absent); for tests.
bool IsPhoneFormFactor(int usableWidth, int usableHeight, const std::string& machineInfo,
                       const std::string& deviceTreeChassis);
