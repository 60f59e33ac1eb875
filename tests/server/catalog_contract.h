#pragma once

#include "server/catalog/catalog.h"

namespace melodex::server::test {

// What every catalogue must do, checked on an empty one: the pending and ready steps, lookups by
// id and path, links, art, totals, removal. Which pending tracks count as left over depends on
// the store and is checked with each.
void expectCatalogContract(Catalog& catalog);

}  // namespace melodex::server::test
