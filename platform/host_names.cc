#include "platform/host_names.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

namespace docmill::platform {

std::vector<std::string> machineNames() {
  std::vector<std::string> names;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0]) {
    const std::string name(host);
    names.push_back(name);
    if (name.find('.') != std::string::npos) names.push_back(name.substr(0, name.find('.')));
  }
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return names;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
    const int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char text[NI_MAXHOST];
    const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (::getnameinfo(i->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
      continue;
    }
    std::string address(text);
    names.push_back(address.substr(0, address.find('%')));
  }
  ::freeifaddrs(list);
  return names;
}

}  // namespace docmill::platform
