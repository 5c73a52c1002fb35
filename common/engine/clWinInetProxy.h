// Where one transfer of the internet library goes: the proxy a root handle's
// list names for it, libcurl's entries for the host override table, and the
// URL text of a request or an FTP path.
#pragma once

#include <curl/curl.h>

#include <string>

namespace cl::wininet {

// The proxy of a "scheme=url:port" list (entries separated by blanks or ";")
// for AScheme; an entry without "=" serves every scheme.
std::string ProxyForScheme(const std::string& AList, const std::string& AScheme);

// True when AHost is in the bypass list ("<local>": names without a dot;
// "*" wildcards allowed).
bool BypassesProxy(const std::string& ABypass, const std::string& AHost);

// An IPv6 address in brackets, as a URL carries it; other hosts unchanged.
std::string BracketIPv6(const std::string& AHost);

// libcurl's CONNECT_TO entries for the host override table (the caller frees them).
curl_slist* ConnectToList();

// Escapes the bytes a URL cannot carry as they are (controls, blanks, non-ASCII).
std::string EscapeUnsafe(const std::string& AText);

// An FTP path as a URL path: absolute paths keep their root ("%2F").
std::string FtpUrlPath(const std::string& APath);

}  // namespace cl::wininet
