#pragma once

#include <string>

namespace melodex::server {

// `text` inside HTML text or a quoted attribute.
std::string htmlEscape(const std::string& text);
// One CSV field, quoted when it needs to be.
std::string csvField(const std::string& text);
// A JSON string literal, quotes included.
std::string jsonString(const std::string& text);
// A file name for Content-Disposition: `filename="…"` with an ASCII stand-in and `filename*`
// with the UTF-8 name, percent-encoded.
std::string attachmentName(const std::string& name);

}  // namespace melodex::server
