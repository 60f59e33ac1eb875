#include "server/ingest/file_scanner.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace melodex::server {

namespace fs = std::filesystem;

bool hasAudioExtension(const std::string& path) {
    static const char* const kExtensions[] = {".mp3", ".m4a", ".aac", ".mp4", ".flac", ".ogg", ".oga",
                                              ".opus", ".wav", ".wma", ".aif", ".aiff", ".mka", ".wv"};
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(std::begin(kExtensions), std::end(kExtensions), ext) != std::end(kExtensions);
}

std::vector<std::string> findAudioFiles(const std::vector<std::string>& paths, std::vector<std::string>& problems) {
    std::vector<std::string> files;
    for (const std::string& given : paths) {
        std::error_code ec;
        const fs::path root = fs::absolute(given, ec);
        if (fs::is_regular_file(root, ec)) {
            files.push_back(root.lexically_normal().string());
            continue;
        }
        if (!fs::is_directory(root, ec)) {
            problems.push_back(given + ": no such file or folder");
            continue;
        }
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (it->is_regular_file(ec) && hasAudioExtension(it->path().string()))
                files.push_back(it->path().lexically_normal().string());
        }
        if (ec) problems.push_back(given + ": " + ec.message());
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}

}  // namespace melodex::server
