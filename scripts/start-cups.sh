#!/usr/bin/env bash
# Starts the local CUPS scheduler for the integration tests when it is not running yet, and
# waits until it answers. The machine has no service manager, so cupsd is run directly (it
# puts itself in the background). Queues that print into a file (file:///dev/null) need
# "FileDevice Yes", which is added to cups-files.conf before the scheduler starts.
# Without root or without cupsd it does nothing: the tests that need CUPS then skip.
set -euo pipefail

running() { lpstat -r 2>/dev/null | grep -q "is running"; }

if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/cupsd ]; then
  echo "start-cups: not root or no cupsd; CUPS tests will skip" >&2
  exit 0
fi

files_conf=/etc/cups/cups-files.conf
if [ -f "$files_conf" ] && ! grep -qiE '^[[:space:]]*FileDevice[[:space:]]+Yes' "$files_conf"; then
  echo "FileDevice Yes" >>"$files_conf"
fi

if running; then
  exit 0
fi
/usr/sbin/cupsd
for _ in $(seq 1 100); do
  running && exit 0
  sleep 0.1
done
echo "start-cups: cupsd did not answer" >&2
exit 1
