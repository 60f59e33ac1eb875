#include "net/url_escape.h"

#include <curl/curl.h>

#include <memory>

namespace {
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};
}  // namespace

std::string PercentEncode(const char* text) {
  if (!text) return {};
  // curl_easy_escape leaves exactly the unreserved characters as they are.
  std::unique_ptr<char, CurlFree> escaped(curl_easy_escape(nullptr, text, 0));
  return escaped ? std::string(escaped.get()) : std::string();
}
