// Whether a server can be reached from here right now.
#pragma once

#include <string>

// The host and port of an http or https URL (the scheme's port when the URL
// names none). False for anything else.
bool EndpointOfUrl(const std::string& url, std::string* host, std::string* port);

// Whether a TCP connection to host:port opens within timeoutMs. The
// connection is closed again at once.
bool HostReachable(const std::string& host, const std::string& port, int timeoutMs);
