#pragma once

#include <string>
#include <vector>

namespace melodex::server {

// Audio files named by `paths`: files as given, folders searched recursively for known audio
// extensions. Sorted and without duplicates; unreadable paths are reported in `problems`.
std::vector<std::string> findAudioFiles(const std::vector<std::string>& paths, std::vector<std::string>& problems);

bool hasAudioExtension(const std::string& path);

}  // namespace melodex::server
