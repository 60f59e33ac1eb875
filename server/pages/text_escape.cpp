#include "server/pages/text_escape.h"

#include <cctype>
#include <cstdio>

namespace melodex::server {

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string csvField(const std::string& text) {
    // A leading = + - @ would make a spreadsheet run the field as a formula.
    const bool formula = !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@');
    if (text.find_first_of(",\"\r\n") == std::string::npos && !formula) return text;
    std::string out = formula ? "\"'" : "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string attachmentName(const std::string& name) {
    std::string ascii, encoded;
    for (unsigned char c : name) {
        const bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '/' && c != '%' && c != ';';
        ascii += plain ? static_cast<char>(c) : '_';
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            encoded += escape;
        }
    }
    return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

}  // namespace melodex::server
