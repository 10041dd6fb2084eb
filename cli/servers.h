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

// Starts every office of the pool now, in the background (the service, `--warm`); without
// it, offices start as callers need them. Does nothing where the host has no offices.
void startAllOffices();

}  // namespace docmill::cli
