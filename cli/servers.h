// The classes the host serves in-process: CreatePDF (and the Office application servers
// when built), each registered by ProgID unless the on-disk registry names a library for
// it. Registrations end with the object.
#pragma once

#include <vector>

#include "automation/creation.h"

namespace docmill::cli {

class HostServers {
 public:
  HostServers();
  ~HostServers();
  HostServers(const HostServers&) = delete;
  HostServers& operator=(const HostServers&) = delete;

 private:
  std::vector<ClassRegistration> registrations_;
};

}  // namespace docmill::cli
