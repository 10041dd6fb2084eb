#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running docmill need.
# Skips apt entirely when everything is already installed.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev zlib1g-dev
  libgs-dev ghostscript poppler-utils qpdf libqpdf-dev libpoppler-glib-dev libcairo2-dev
  libcups2-dev cups-daemon cups-client cups-bsd
  libreoffice-core libreoffice-writer libreoffice-calc libreoffice-impress libreoffice-draw
  libreoffice-dev libreoffice-dev-common
  fonts-dejavu-core fonts-liberation2 fonts-urw-base35
  # Metric-compatible stand-ins for the newer office fonts (Calibri, Cambria), so documents
  # keep their line and page breaks, and one font for Chinese, Japanese and Korean text: a
  # TrueType face (1.6 MB), whose glyphs the printer names after their characters, so the
  # text stays searchable (the larger CJK families are CFF-based, 56 MB, and lose it).
  fonts-crosextra-carlito fonts-crosextra-caladea fonts-wqy-microhei
  # The Python module: built for Debian's python3 with pybind11, tested with pytest.
  python3 python3-dev pybind11-dev python3-pytest
  # `docmill serve`: HTTP over Boost.Beast, JSON; its tests and bench drive it with curl, a
  # headless browser, HAProxy and systemd's unit checker.
  libboost-dev nlohmann-json3-dev curl chromium haproxy systemd
  # The job queue: Redis keeps the jobs (Streams need Redis 7 for XAUTOCLAIM's reply and
  # the group's lag), hiredis talks to it; its tests start a private redis-server.
  redis-server libhiredis-dev
  # Webhooks: https to the client's receiver through OpenSSL.
  libssl-dev
  # The Debian package: CPack's DEB generator runs dpkg-shlibdeps (dpkg-dev); lintian checks it.
  dpkg-dev lintian
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
