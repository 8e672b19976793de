// Reverse lookups (address to host name) that cannot hang the service: bounded in
// time and cut short by cancel_blocking_call().
#pragma once

#include <optional>
#include <string>

#include "net/socket.h"

namespace net {

struct lookup_options {
  int limit_ms = 5000;  // the whole lookup, every server and retry included
  // "host:port,..." to ask instead of the system's resolver configuration (tests).
  std::string servers;
};

// The host name the resolver gives for the address, as the resolver gives it, or
// nothing when none is found in time or the lookup was cancelled.
std::optional<std::string> reverse_lookup(ipv4_address address, const lookup_options& options = {});

}  // namespace net
