#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, uses what it installed from
# outside the checkout (the command, the Python module, the HTTP service run as its user),
# then removes it and purges it, checking what each leaves. Needs root (or sudo) and a
# machine where docmill is not installed otherwise; every path ends with the package
# purged and the docmill user gone again if this script made it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

die() { echo "package test FAILED: $*" >&2; exit 1; }
step() { echo "package test: $*" >&2; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

if dpkg-query -W -f='${Status}' docmill 2>/dev/null | grep -q 'installed\|config-files'; then
  die "the docmill package is already on this machine; this test installs and purges it: remove it first (apt-get purge docmill)"
fi
[ ! -e /usr/bin/docmill ] || die "/usr/bin/docmill exists and belongs to no docmill package: remove it first"
user_existed=false
getent passwd docmill >/dev/null && user_existed=true

work=$(mktemp -d /tmp/docmill-package-test.XXXXXX)
server_pid=""
installed=false
cleanup() {
  local status=$?
  set +e
  if [ -n "$server_pid" ]; then
    $sudo kill -TERM -- "-$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  if $installed; then
    $sudo apt-get purge -y -qq docmill >/dev/null 2>&1 || echo "package test: could not purge docmill" >&2
  fi
  if ! $user_existed && getent passwd docmill >/dev/null; then
    $sudo userdel docmill 2>/dev/null
    getent group docmill >/dev/null && $sudo groupdel docmill 2>/dev/null
  fi
  rm -rf "$work"
  [ $status -eq 0 ] || echo "package test FAILED (exit status $status); cleaned up" >&2
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

scripts/install-deps.sh
dir=$(scripts/package.sh)
debs=("$dir"/docmill_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "scripts/package.sh made no single docmill_*.deb in $dir"
deb=${debs[0]}
arch=$(dpkg --print-architecture)
case "$(basename "$deb")" in
  docmill_*_"$arch".deb) ;;
  *) die "$(basename "$deb") is not named docmill_VERSION_$arch.deb" ;;
esac

step "lintian $(basename "$deb")"
lintian --fail-on error "$deb" || die "lintian reports errors for $deb"

step "installing $deb"
installed=true
$sudo apt-get install -y -qq "$(realpath "$deb")" >/dev/null || die "apt-get install of $deb failed"
dpkg -L docmill | sort >"$work/files"
# The maintainer scripts may run again: a reinstall keeps the user and its folders.
uid=$(id -u docmill) || die "the package made no docmill user"
$sudo apt-get install -y -qq --reinstall "$(realpath "$deb")" >/dev/null || die "reinstalling $deb failed"
[ "$(id -u docmill)" = "$uid" ] || die "a reinstall changed the docmill user"

# No binary keeps a path into the build or the checkout.
while read -r f; do
  [ -f "$f" ] && [ ! -L "$f" ] || continue
  if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    paths=$(readelf -d "$f" | grep -E 'R(UN)?PATH' || true)
    case "$paths" in
      *"$root"* | *build*) die "$f has a search path into the build: $paths" ;;
    esac
    ! grep -q -a -F "$root" "$f" || die "$f holds the checkout's path $root"
  fi
done <"$work/files"
case "$(readelf -d /usr/bin/docmill)" in
  *'$ORIGIN/../lib/docmill'*) ;;
  *) die "/usr/bin/docmill has no search path to /usr/lib/docmill" ;;
esac

getent passwd docmill | awk -F: '$3 >= 1000 { exit 1 }' || die "docmill is not a system user"
[ "$(stat -c %U /var/lib/docmill)" = root ] || die "/var/lib/docmill (the system registry's folder) does not belong to root"
[ "$(stat -c %U /var/lib/docmill/service)" = docmill ] || die "/var/lib/docmill/service does not belong to docmill"
[ -f /lib/systemd/system/docmill-serve.service ] || die "the unit is not in /lib/systemd/system"
grep -q '^ExecStart=/usr/bin/docmill serve --listen 127.0.0.1:3000$' /lib/systemd/system/docmill-serve.service \
  || die "the unit does not start /usr/bin/docmill on 127.0.0.1:3000"
verify=$(systemd-analyze verify /lib/systemd/system/docmill-serve.service 2>&1) \
  || die "systemd-analyze verify refuses the installed unit: $verify"
[ ! -e /etc/systemd/system/multi-user.target.wants/docmill-serve.service ] \
  || die "the package enabled docmill-serve; it must be installed disabled"

# The installed command and module, from a folder outside the checkout, with their own
# home (the office keeps a profile template there) and no pool service.
mkdir -p "$work/run" "$work/home"
chmod 0755 "$work"
cd "$work/run"
export HOME=$work/home XDG_CACHE_HOME=$work/home/.cache DOCMILL_POOL_SOCKET=off
printf 'docmill package test: plain text\n' >hello.txt
printf '%s\n' '%!PS' '/Helvetica findfont 24 scalefont setfont' \
  '72 720 moveto (docmill package test: PostScript) show' 'showpage' >hello.ps

pdf_has() {  # FILE TEXT: a one-page PDF that holds TEXT
  pdfinfo "$1" >"$1.info" 2>&1 || die "$1 is not a PDF: $(cat "$1.info")"
  grep -q '^Pages: *1$' "$1.info" || die "$1 has not one page: $(grep Pages "$1.info")"
  pdftotext "$1" "$1.txt" || die "pdftotext cannot read $1"
  grep -q -F "$2" "$1.txt" || die "$1 does not hold \"$2\": $(cat "$1.txt")"
}

step "docmill convert hello.txt"
/usr/bin/docmill convert -o text.pdf hello.txt || die "docmill convert failed"
pdf_has text.pdf "plain text"
step "docmill CreatePDFfromPS"
/usr/bin/docmill CreatePDFfromPS ps.pdf hello.ps 2>ps.err || die "docmill CreatePDFfromPS failed: $(cat ps.err)"
# The package must leave the system registry usable for root: nothing to warn about.
[ ! -s ps.err ] || die "docmill CreatePDFfromPS warned: $(cat ps.err)"
pdf_has ps.pdf "PostScript"

step "python3: import docmill from the installed module"
(cd /tmp && env -u PYTHONPATH /usr/bin/python3 -I -c '
import sys, docmill
assert docmill.__file__ == "/usr/lib/python3/dist-packages/docmill/__init__.py", docmill.__file__
docmill.Dispatch("PDF.CreatePDF").CreatePDFfromPS(sys.argv[1], sys.argv[2])
' "$work/run/python.pdf" "$work/run/hello.ps") || die "the installed Python module failed"
pdf_has python.pdf "PostScript"

# The service as the unit runs it: as docmill, home and working folder /var/lib/docmill/service.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
step "docmill serve as the docmill user on 127.0.0.1:$port"
setsid $sudo runuser -u docmill -- env -i PATH=/usr/bin:/bin HOME=/var/lib/docmill/service \
  sh -c 'cd /var/lib/docmill/service && exec /usr/bin/docmill serve --listen "127.0.0.1:$1"' sh "$port" \
  >"$work/serve.log" 2>&1 &
server_pid=$!
# Ready when /health answers 200 (an office and the interpreter answer); the offices take
# a while to start on a cold machine, so give up only after three minutes.
for _ in $(seq 180); do
  kill -0 "$server_pid" 2>/dev/null || die "docmill serve ended: $(cat "$work/serve.log")"
  [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/health")" = 200 ] && break
  sleep 1
done
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/health")" = 200 ] \
  || die "docmill serve did not become healthy: $(cat "$work/serve.log")"
curl -sf -F files=@hello.txt -o http.pdf "http://127.0.0.1:$port/forms/libreoffice/convert" \
  || die "the conversion over HTTP failed: $(cat "$work/serve.log")"
pdf_has http.pdf "plain text"
$sudo kill -TERM -- "-$server_pid"
wait "$server_pid" || true
server_pid=""

step "apt-get remove docmill"
$sudo runuser -u docmill -- sh -c 'echo mine >/var/lib/docmill/service/made-by-the-user'
$sudo apt-get remove -y -qq docmill >/dev/null || die "apt-get remove failed"
dpkg-query -W -f='${Status}' docmill | grep -q 'config-files' || die "docmill is not in config-files state after remove"
# Of the package's files only its configuration file stays; its own folders go.
while read -r f; do
  case "$f" in /etc/docmill/serve.env) continue ;; esac
  if [ -e "$f" ] && [ ! -d "$f" ]; then die "$f is left after remove"; fi
done <"$work/files"
for d in /usr/lib/docmill /usr/share/doc/docmill /usr/lib/python3/dist-packages/docmill; do
  [ ! -e "$d" ] || die "$d is left after remove"
done
[ -f /var/lib/docmill/service/made-by-the-user ] || die "remove deleted a file the user made in /var/lib/docmill/service"
[ -f /etc/docmill/serve.env ] || die "remove deleted the configuration file"

step "apt-get purge docmill"
$sudo apt-get purge -y -qq docmill >/dev/null || die "apt-get purge failed"
installed=false
! dpkg-query -W -f='${Status}' docmill 2>/dev/null | grep -q 'installed\|config-files' \
  || die "docmill is still known to dpkg after purge"
[ ! -e /var/lib/docmill ] || die "purge left /var/lib/docmill"
[ ! -e /etc/docmill ] || die "purge left /etc/docmill"
[ ! -e /usr/bin/docmill ] || die "purge left /usr/bin/docmill"
step "passed"
