#include "server/catalog/page_store.h"

#include <openssl/rand.h>

namespace melodex::server {

bool randomKey(std::string& key, std::string& error) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        error = "the system gives no random bytes for the link key";
        return false;
    }
    key.assign(reinterpret_cast<const char*>(bytes), sizeof bytes);
    return true;
}

}  // namespace melodex::server
