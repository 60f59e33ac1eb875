#include "net/url_parts.h"

namespace {

struct PartFree {
  void operator()(char* part) const { curl_free(part); }
};

// The part, or false when the URL has none.
bool Part(CURLU* url, CURLUPart which, std::string* value) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, 0) != CURLUE_OK) return false;
  std::unique_ptr<char, PartFree> part(raw);
  *value = part.get();
  return true;
}

}  // namespace

bool SplitUrl(const char* text, UrlParts* parts) {
  parts->url.reset(curl_url());
  if (!text || !parts->url || curl_url_set(parts->url.get(), CURLUPART_URL, text, 0) != CURLUE_OK) return false;
  std::string scheme, query;
  if (!Part(parts->url.get(), CURLUPART_SCHEME, &scheme) || (scheme != "http" && scheme != "https")) return false;
  if (!Part(parts->url.get(), CURLUPART_HOST, &parts->host) || parts->host.empty()) return false;
  if (!Part(parts->url.get(), CURLUPART_PATH, &parts->path)) return false;
  if (Part(parts->url.get(), CURLUPART_QUERY, &query)) parts->path += "?" + query;
  return parts->host.size() < kHostNameBytes && parts->path.size() < kPathBytes;
}
