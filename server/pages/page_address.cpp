#include "server/pages/page_address.h"

#include <charconv>

namespace melodex::server {
namespace {

constexpr size_t kOwnerHandleLength = 12;

struct Prefix {
    const char* text;
    PageKind kind;
};
constexpr Prefix kPrefixes[] = {{"/song/", PageKind::FullSong},
                                {"/ringtone/", PageKind::Ringtone},
                                {"/wallpaper/", PageKind::Wallpaper},
                                {"/picks/", PageKind::Picks}};

const char* prefixOf(PageKind kind) {
    for (const Prefix& p : kPrefixes)
        if (p.kind == kind) return p.text;
    return "/song/";
}

// The part that is signed: "song/12", "ringtone/12-34560", "picks/12-OWNER".
std::string payload(const PageAddress& a) {
    std::string text = std::to_string(a.track);
    if (a.kind == PageKind::Ringtone) text += "-" + std::to_string(a.offsetMs);
    if (a.kind == PageKind::Picks) text += "-" + a.owner;
    return text;
}

// Decimal digits only, no sign, no leading zero, within 32 bits.
bool parseId(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && text[0] != '+';
}

bool parsePayload(const std::string& text, PageAddress& out) {
    const size_t dash = text.find('-');
    if (!parseId(text.substr(0, dash), out.track)) return false;
    const std::string rest = dash == std::string::npos ? "" : text.substr(dash + 1);
    switch (out.kind) {
    case PageKind::Ringtone: return dash != std::string::npos && parseId(rest, out.offsetMs);
    case PageKind::Picks:
        out.owner = rest;
        return dash != std::string::npos && rest.size() == kOwnerHandleLength && isBase64Url(rest);
    default: return dash == std::string::npos;
    }
}

}  // namespace

std::string formatPagePath(const PageAddress& address, const LinkSigner& signer) {
    const std::string text = payload(address);
    const std::string kindName = prefixOf(address.kind) + 1;  // "song/"
    return prefixOf(address.kind) + text + "~" + signer.sign(kindName + text);
}

AddressCheck parsePagePath(const std::string& path, const LinkSigner& signer, PageAddress& out) {
    const Prefix* prefix = nullptr;
    for (const Prefix& p : kPrefixes)
        if (path.rfind(p.text, 0) == 0) prefix = &p;
    if (prefix == nullptr) return AddressCheck::NotPage;
    out = PageAddress{};
    out.kind = prefix->kind;
    const std::string rest = path.substr(std::char_traits<char>::length(prefix->text));
    const size_t slash = rest.find('/');
    const std::string signedPart = rest.substr(0, slash);
    out.resource = slash == std::string::npos ? "" : rest.substr(slash + 1);
    const size_t tilde = signedPart.find('~');
    if (tilde == std::string::npos) return AddressCheck::Refused;
    const std::string text = signedPart.substr(0, tilde);
    if (!parsePayload(text, out) || payload(out) != text) return AddressCheck::Refused;
    const std::string kindName = prefix->text + 1;
    return signer.verify(kindName + text, signedPart.substr(tilde + 1)) ? AddressCheck::Ok : AddressCheck::Refused;
}

}  // namespace melodex::server
