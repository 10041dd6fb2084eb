#!/usr/bin/env bash
# Installs what only the benchmarks need (the peer converter unoconv and the office's Python
# binding it runs on); the tests never do.
set -euo pipefail
missing=()
for p in unoconv python3-uno; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
