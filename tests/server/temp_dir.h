#pragma once

#include <filesystem>
#include <string>

#include "tests/support/temp_folder.h"

namespace melodex::server::test {

// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() : path_(MakeTempFolder("melodex-server-test")) {}
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
    std::error_code ignored_;
};

}  // namespace melodex::server::test
