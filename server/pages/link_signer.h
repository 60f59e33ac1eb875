#pragma once

#include <string>

namespace melodex::server {

// Signs the song pages' addresses with an HMAC under the service's secret, so that only
// addresses the service handed out open a page: ids cannot be counted through, and a phone's
// history is reachable only through a link issued to that phone.
class LinkSigner {
public:
    explicit LinkSigner(std::string key) : key_(std::move(key)) {}

    // 12 characters of unpadded base64url (72 bits of the HMAC-SHA256 of `text`).
    std::string sign(const std::string& text) const;
    bool verify(const std::string& text, const std::string& signature) const;
    // A stable pseudonym for a phone's ownerIdentifier, 12 base64url characters: the history is
    // kept under it, so that neither the store nor an address holds the phone's own identifier.
    std::string ownerHandle(const std::string& ownerIdentifier) const;

private:
    std::string mac(const std::string& text) const;

    std::string key_;
};

// Whether `text` is made of base64url characters only.
bool isBase64Url(const std::string& text);

}  // namespace melodex::server
