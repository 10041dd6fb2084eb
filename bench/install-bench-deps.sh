#!/usr/bin/env bash
# Installs what only the benchmarks need (the peer converter unoconv); the tests never do.
set -euo pipefail
if ! dpkg-query -W -f='${Status}' unoconv 2>/dev/null | grep -q "install ok installed"; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends unoconv
fi
