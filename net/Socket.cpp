#include "net/Socket.h"

#include <ifaddrs.h>
#include <net/if.h>

namespace zem4::net {

unsigned InterfaceWithAddress(Ipv4 address) {
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) != 0)
    return 0;
  unsigned exact = 0, loopback = 0;
  for (ifaddrs *a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
      continue;
    Ipv4 own = FromSockaddr(*reinterpret_cast<const sockaddr_in *>(a->ifa_addr)).address;
    if (own == address) {
      exact = ::if_nametoindex(a->ifa_name);
      break;
    }
    if ((a->ifa_flags & IFF_LOOPBACK) && a->ifa_netmask && !loopback) {
      uint32_t mask =
          FromSockaddr(*reinterpret_cast<const sockaddr_in *>(a->ifa_netmask)).address.ToUint();
      if ((own.ToUint() & mask) == (address.ToUint() & mask))
        loopback = ::if_nametoindex(a->ifa_name);
    }
  }
  ::freeifaddrs(list);
  return exact ? exact : loopback;
}

} // namespace zem4::net
