// Resource lookup over the table compiled in from res/, and the string
// resources parsed from res/strings.txt.

#include "platform/system/resources.h"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "res/resource_table.h"
#include "res/string_table.h"

namespace {

const std::map<UINT, std::wstring>& StringTable() {
  // A function-local static is initialised once, and thread-safely, on first use.
  static const std::map<UINT, std::wstring> table =
      ParseStringTable(std::string_view(reinterpret_cast<const char*>(kStringTableText), kStringTableSize));
  return table;
}

}  // namespace

ResourceBytes FindResourceBytes(ResourceType type, int id) {
  const ResourceEntry* const end = kResourceTable + kResourceCount;
  const auto before = [](const ResourceEntry& entry, std::pair<ResourceType, int> key) {
    return std::pair(entry.type, entry.id) < key;
  };
  const ResourceEntry* const found = std::lower_bound(kResourceTable, end, std::pair(type, id), before);
  if (found == end || found->type != type || found->id != id) return {};
  return {found->bytes, found->size};
}

int LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax <= 0) return 0;
  const auto& strings = StringTable();
  const auto found = strings.find(id);
  if (found == strings.end()) {
    buffer[0] = L'\0';
    return 0;
  }
  const std::size_t count = std::min(found->second.size(), static_cast<std::size_t>(bufferMax - 1));
  std::copy_n(found->second.data(), count, buffer);
  buffer[count] = L'\0';
  return static_cast<int>(count);
}
