#include "server/cli/stores.h"

#include <cstdio>
#include <filesystem>

namespace melodex::server {

namespace fs = std::filesystem;

bool openStores(const StoreOptions& options, Stores& stores) {
    std::error_code ec;
    fs::create_directories(options.db, ec);
    std::string error;
    stores.where = "database " + options.db;
    stores.catalog = openSqliteCatalog((fs::path(options.db) / "catalog.sqlite").string(), error);
    if (stores.catalog) stores.index = openLmdbIndex((fs::path(options.db) / "index").string(), error);
    if (!stores.catalog || !stores.index) {
        std::fprintf(stderr, "melodex-server: %s (%s)\n", error.c_str(), stores.where.c_str());
        return false;
    }
    return true;
}

}  // namespace melodex::server
