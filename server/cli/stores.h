#pragma once

#include <memory>
#include <string>

#include "server/catalog/catalog.h"
#include "server/index/index.h"

namespace melodex::server {

// Where a command's catalogue and index live.
struct StoreOptions {
    std::string db;  // the embedded pair's folder
};

// The pair of stores every command works on.
struct Stores {
    std::unique_ptr<Catalog> catalog;
    std::unique_ptr<Index> index;
    std::string where;  // for messages: "database DIR"
};

// Opens both stores, or says on stderr why not.
bool openStores(const StoreOptions& options, Stores& stores);

}  // namespace melodex::server
