#include "tests/discovery/netns_guard.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

std::string NamespaceOf(const char* link) {
  char target[128] = {};
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool InPrivateNetworkNamespace(std::string* why) {
  const std::string self = NamespaceOf("/proc/self/ns/net");
  // The runner's record first: inside its own process tree, process 1 is the
  // runner itself and shares our namespace.
  const char* recorded = std::getenv("TQ_OUTER_NETNS");
  const std::string outer = recorded && *recorded ? recorded : NamespaceOf("/proc/1/ns/net");
  if (self.empty() || outer.empty()) {
    *why = "cannot tell this network namespace from the machine's (no TQ_OUTER_NETNS, /proc/1 unreadable)";
    return false;
  }
  if (self == outer) {
    *why = "running in the machine's own network namespace " + self;
    return false;
  }

  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    *why = "cannot list the interfaces";
    return false;
  }
  std::set<std::string> offending;
  bool loopbackUp = false;
  for (const ifaddrs* e = list; e != nullptr; e = e->ifa_next) {
    const std::string name = e->ifa_name ? e->ifa_name : "";
    if (name == "lo") {
      loopbackUp = loopbackUp || (e->ifa_flags & IFF_UP) != 0;
      continue;
    }
    const bool hasAddress = e->ifa_addr != nullptr &&
                            (e->ifa_addr->sa_family == AF_INET || e->ifa_addr->sa_family == AF_INET6);
    if ((e->ifa_flags & IFF_UP) != 0 || hasAddress) offending.insert(name);
  }
  freeifaddrs(list);
  if (!offending.empty()) {
    *why = "interfaces other than lo are in use:";
    for (const std::string& name : offending) *why += " " + name;
    return false;
  }
  if (!loopbackUp) {
    *why = "lo is not up";
    return false;
  }
  return true;
}

bool RequirePrivateNetworkNamespace(const char* program) {
  std::string why;
  if (InPrivateNetworkNamespace(&why)) return true;
  std::fprintf(stderr,
               "%s: REFUSING to run: discovery broadcasts on every interface and may only run inside a private\n"
               "network namespace (run it through tools/netns-run.sh): %s\n",
               program, why.c_str());
  return false;
}
