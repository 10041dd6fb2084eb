#include "serve/access.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>

namespace docmill::serve {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// An authority ("name", "name:port", "[v6]", "[v6]:port", or a bare IPv6 address) split
// into its name, in the form the names are kept in, and its port (empty when none); false
// when it is malformed.
bool splitAuthority(std::string_view authority, std::string& name, std::string& port) {
  authority = trimmed(authority);
  port.clear();
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    name = lower(authority.substr(1, close - 1));
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = std::string(rest.substr(1));
    }
  } else if (std::count(authority.begin(), authority.end(), ':') > 1) {
    name = lower(authority);  // a bare IPv6 address
  } else {
    const size_t colon = authority.find(':');
    name = lower(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = std::string(authority.substr(colon + 1));
  }
  if (!port.empty() &&
      (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)) {
    return false;
  }
  while (!name.empty() && name.back() == '.') name.pop_back();
  return !name.empty();
}

}  // namespace

HostPolicy::HostPolicy(const std::string& listenHost, const std::vector<std::string>& extraNames,
                       const std::vector<std::string>& machineNames) {
  std::string name, port;
  if (splitAuthority(listenHost, name, port)) names_.insert(name);
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(listenHost, ec);
  const bool any = !ec && address.is_unspecified();
  if (!ec && (any || address.is_loopback())) {
    for (const char* loopback : {"localhost", "localhost.localdomain", "ip6-localhost",
                                 "ip6-loopback", "127.0.0.1", "::1"}) {
      names_.insert(loopback);
    }
  }
  if (any) {
    for (const auto& n : machineNames) {
      if (splitAuthority(n, name, port)) names_.insert(name);
    }
  }
  for (const auto& n : extraNames) {
    if (splitAuthority(n, name, port)) names_.insert(name);
  }
}

bool HostPolicy::allowsHost(std::string_view host) const {
  if (trimmed(host).empty()) return true;
  std::string name, port;
  return splitAuthority(host, name, port) && names_.count(name) > 0;
}

bool HostPolicy::crossSite(std::string_view origin, std::string_view fetchSite,
                           std::string_view host) const {
  if (lower(trimmed(fetchSite)) == "cross-site") return true;
  origin = trimmed(origin);
  if (origin.empty()) return false;
  // "scheme://authority", nothing after it; "null" (a sandboxed or local page) is no site
  // of the service's.
  const size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos) return true;
  const std::string kind = lower(origin.substr(0, scheme));
  if (kind != "http" && kind != "https") return true;
  const std::string_view authority = origin.substr(scheme + 3);
  if (authority.find('/') != std::string_view::npos) return true;
  std::string originName, originPort;
  if (!splitAuthority(authority, originName, originPort)) return true;
  const std::string defaultPort = kind == "https" ? "443" : "80";
  if (originPort.empty()) originPort = defaultPort;
  if (trimmed(host).empty()) return names_.count(originName) == 0;
  std::string hostName, hostPort;
  if (!splitAuthority(host, hostName, hostPort)) return true;
  if (hostPort.empty()) hostPort = defaultPort;
  return originName != hostName || originPort != hostPort;
}

std::vector<std::string> hostList(const std::string& text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string_view item = trimmed(std::string_view(text).substr(start, comma - start));
    if (!item.empty()) names.emplace_back(item);
    start = comma + 1;
  }
  return names;
}

}  // namespace docmill::serve
