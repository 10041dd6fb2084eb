// The names and addresses this machine answers to, for a server that must tell requests
// meant for it from requests that reach it under another name.
//
// Read fresh on every call. Nothing here throws: what cannot be read is left out.
#pragma once

#include <string>
#include <vector>

namespace docmill::platform {

// The machine's host name (and its first label when it has several), and the address of
// every network interface that is up, IPv6 ones without brackets or zone.
std::vector<std::string> machineNames();

}  // namespace docmill::platform
