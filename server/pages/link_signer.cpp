#include "server/pages/link_signer.h"

#include <cctype>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace melodex::server {
namespace {

constexpr size_t kMacBytes = 9;  // 72 bits: 12 base64url characters
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Base64url of a multiple of three bytes, which needs no padding.
std::string base64Url(const unsigned char* bytes, size_t size) {
    std::string out;
    for (size_t i = 0; i + 2 < size; i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 63];
    }
    return out;
}

}  // namespace

bool isBase64Url(const std::string& text) {
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    return true;
}

std::string LinkSigner::mac(const std::string& text) const {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), digest, &size);
    return base64Url(digest, kMacBytes);
}

std::string LinkSigner::sign(const std::string& text) const { return mac("link:" + text); }

bool LinkSigner::verify(const std::string& text, const std::string& signature) const {
    const std::string expected = sign(text);
    return signature.size() == expected.size() && CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) == 0;
}

std::string LinkSigner::ownerHandle(const std::string& ownerIdentifier) const { return mac("owner:" + ownerIdentifier); }

}  // namespace melodex::server
