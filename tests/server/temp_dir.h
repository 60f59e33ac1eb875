#pragma once

#include <filesystem>
#include <string>

#include "tests/support/temp_folder.h"

namespace melodex::server::test {

// A fresh folder under the system's temporary directory, removed with everything in it.
struct TempDir {
    const std::filesystem::path path = MakeTempFolder("melodex-server-test");
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

}  // namespace melodex::server::test
