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

out=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    apt-get purge -y -qq -o DPkg::Lock::Timeout=300 lumettool >/dev/null ||
      dpkg --purge lumettool >/dev/null
  fi
  rm -rf "$out"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb=$(echo "$out"/lumettool_*_"$(dpkg --print-architecture)".deb)
echo "== installing $(basename "$deb") with apt-get"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >/dev/null

failures=0
expect() {  # what expected actual
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}

# What bash offers for "PROG <tab>", through bash-completion's own loader
# when it is installed (it finds the file by the program's name).
offered() {
  bash --norc --noprofile -c '
    if [ -f /usr/share/bash-completion/bash_completion ]; then
      . /usr/share/bash-completion/bash_completion
      _completion_loader "$1"
    else
      . "/usr/share/bash-completion/completions/$1"
    fi
    compdef=$(complete -p "$1") || exit 1
    func=${compdef#*-F }
    func=${func%% *}
    COMP_WORDS=("$1" "")
    COMP_CWORD=1
    COMPREPLY=()
    "$func" "$1" "" "$1"
    echo "${COMPREPLY[*]}"' _ "$1"
}

for entry in "lumettool|2.1|version db_init enc_api_key transaction_query" \
             "lumettool-2.0|2.0|version db_init enc_api_key transaction_query" \
             "lumettool-1.0|1.0|version enc_api_key"; do
  IFS='|' read -r prog edition words <<<"$entry"
  expect "$prog is on PATH" "/usr/bin/$prog" "$(command -v "$prog" || true)"
  expect "$prog version" "New Darvo Lumet Version $edition" "$("$prog" version 2>&1 || true)"
  expect "man -w $prog" /usr/share/man/man1/lumettool.1.gz "$(man -w "$prog" 2>&1 || true)"
  expect "bash completion for $prog" "$words" "$(offered "$prog" 2>&1 || true)"
done
page=$(MANPAGER=cat MANWIDTH=80 man lumettool 2>/dev/null || true)
expect "man lumettool shows the page" yes "$(grep -q '^EXIT STATUS' <<<"$page" && echo yes || echo no)"

installed=0
apt-get purge -y -qq -o DPkg::Lock::Timeout=300 lumettool >/dev/null
expect "purged again" no "$(dpkg-query -W -f='${Status}' lumettool 2>/dev/null | grep -q 'ok installed' && echo yes || echo no)"
expect "no program left" "" "$(compgen -G '/usr/bin/lumettool*' || true)"

if [ "$failures" -ne 0 ]; then
  echo "== package install test: $failures check(s) failed"
  exit 1
fi
echo "== package install test passed"
