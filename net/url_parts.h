// Splitting a request URL into the parts a request is made from.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

struct UrlDelete {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDelete>;

// Limits of the request's buffers, terminator included.
constexpr std::size_t kHostNameBytes = 256;
constexpr std::size_t kPathBytes = 512;

struct UrlParts {
  UrlHandle url;      // the whole URL, parsed
  std::string host;   // shorter than kHostNameBytes
  std::string path;   // path with its query string, shorter than kPathBytes
};

// False for a URL that does not parse, is not http or https, or whose host
// name or path would not fit its buffer.
bool SplitUrl(const char* text, UrlParts* parts);
