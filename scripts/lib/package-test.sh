#!/usr/bin/env bash
# package-test.sh BUILD_DIR: builds the Debian package from BUILD_DIR,
# installs it with apt-get, checks the installed programs, manual page and
# bash completion as an operator would meet them, and purges the package
# again. Needs root; skipped when lumettool is already on the machine, so
# the machine is left exactly as it was.
set -euo pipefail
build=${1:-build}

if [ "$(id -u)" -ne 0 ]; then
  echo "== package install test skipped: needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' lumettool 2>/dev/null | grep -q "ok installed" ||
   compgen -G '/usr/bin/lumettool*' >/dev/null; then
  echo "== package install test skipped: lumettool is already installed here"
  exit 0
fi

# Its checks (check_eq, completion_words, finish) and scratch directory.
. "$(dirname "$0")/../../tests/install/lib.sh" "$PWD" "$build" ""

installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    apt-get purge -y -qq -o DPkg::Lock::Timeout=300 lumettool >/dev/null ||
      dpkg --purge lumettool >/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(echo "$scratch"/lumettool_*_"$(dpkg --print-architecture)".deb)
echo "== installing $(basename "$deb") with apt-get"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >/dev/null

for entry in "lumettool|2.1|version db_init enc_api_key transaction_query" \
             "lumettool-2.0|2.0|version db_init enc_api_key transaction_query" \
             "lumettool-1.0|1.0|version enc_api_key"; do
  IFS='|' read -r prog edition words <<<"$entry"
  check_eq "$prog is on PATH" "/usr/bin/$prog" "$(command -v "$prog" || true)"
  check_eq "$prog version" "New Darvo Lumet Version $edition" "$("$prog" version 2>&1 || true)"
  check_eq "man -w $prog" /usr/share/man/man1/lumettool.1.gz "$(man -w "$prog" 2>&1 || true)"
  check_eq "bash completion for $prog" "$(printf '%s\n' $words | sort)" \
    "$(completion_words "" "$prog" "" 2>&1 || true)"
done
page=$(MANPAGER=cat MANWIDTH=80 man lumettool 2>/dev/null || true)
check_eq "man lumettool shows the page" yes "$(grep -q '^EXIT STATUS' <<<"$page" && echo yes || echo no)"

installed=0
apt-get purge -y -qq -o DPkg::Lock::Timeout=300 lumettool >/dev/null
check_eq "purged again" no "$(dpkg-query -W -f='${Status}' lumettool 2>/dev/null | grep -q 'ok installed' && echo yes || echo no)"
check_eq "no program left" "" "$(compgen -G '/usr/bin/lumettool*' || true)"

if ! finish; then
  echo "== package install test failed"
  exit 1
fi
echo "== package install test passed"
