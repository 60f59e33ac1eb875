// The date a tag carries in the history list.
#pragma once

#include <string>

#include "platform/types.h"

// Month and day of `created` (a file time in UTC) in local time, as "7/4":
// no leading zeros, no year. Empty when the time cannot be converted.
std::wstring TagDateText(const FILETIME& created);
