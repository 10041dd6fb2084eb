// Which requests the service takes from a browser's point of view. A page on any web site
// can make a visitor's browser send requests to a service on the visitor's machine or
// network; two checks keep those out:
//   - the Host must be a name the service is reached by, so that a site's own name, turned
//     to the service's address by DNS rebinding, is refused;
//   - a request that changes something (a POST) must not come from another site's page: its
//     Origin, when sent, must be the service's own, and Sec-Fetch-Site must not say
//     "cross-site".
// Clients that are not browsers (curl, scripts, load balancers) send no Origin and pass.
// Nothing here fails.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace docmill::serve {

class HostPolicy {
 public:
  // `listenHost`: the address the service listens on. Loopback and any-interface addresses
  // add the loopback names ("localhost", ...); any-interface ones add `machineNames` (the
  // machine's host names and interface addresses). `extraNames` (DOCMILL_SERVE_HOSTS) are
  // added as they are, each with or without a port.
  HostPolicy(const std::string& listenHost, const std::vector<std::string>& extraNames,
             const std::vector<std::string>& machineNames);

  // Whether a Host header value ("name", "name:port", "[v6]:port") is one of the names,
  // with any port. A request without Host passes (browsers always send one).
  bool allowsHost(std::string_view host) const;

  // Whether a request comes from another site's page: an Origin that is not the service's
  // own (the Host it was sent to, scheme's default port included), or Sec-Fetch-Site
  // "cross-site". Empty values mean the header is absent.
  bool crossSite(std::string_view origin, std::string_view fetchSite, std::string_view host) const;

  const std::set<std::string>& names() const { return names_; }

 private:
  std::set<std::string> names_;  // lower case, IPv6 without brackets, no trailing dot
};

// The names of DOCMILL_SERVE_HOSTS: the comma-separated list, blanks trimmed.
std::vector<std::string> hostList(const std::string& text);

}  // namespace docmill::serve
