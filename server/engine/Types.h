// Plain value types shared by the server engine, its I/O shells and tests.
#pragma once

#include "net/Address.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zem4::server {

// The engine has no clock: callers hand it the time, in whatever epoch they
// like, as long as it never goes backwards.
using Duration = std::chrono::nanoseconds;
using Time = std::chrono::nanoseconds;

// Addresses are net's: the engine speaks of clients and groups as
// net::Endpoint and of its networks as net::Cidr.
using net::Cidr;
using net::Endpoint;
using net::Ipv4;

// Text a peer sent, made safe for one log line: printable ASCII stays,
// quotes and backslashes are escaped, everything else becomes \xNN.
std::string EscapeText(std::string_view Text);

} // namespace zem4::server
