# Helpers for the installation tests (label install). Each script is run as
#   bash SCRIPT SOURCE_DIR BUILD_DIR VERSION
# counts its checks and ends with finish, which prints the totals and fails
# when any check failed; when none failed but some could not run here (skip),
# it exits 77, which ctest reports as skipped (SKIP_RETURN_CODE).
set -uo pipefail

SRC=$1
BUILD=$2
VERSION=$3
MAN_SOURCE=$SRC/doc/lumettool.1
PROGRAMS=(lumettool lumettool-2.0 lumettool-1.0)

passed=0
failed=0
skipped=0
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*" >&2
}
skip() {  # what could not be checked, and why
  skipped=$((skipped + 1))
  echo "SKIP: $*"
}
# skip_unless_full WHAT: as skip, but a failure under scripts/test
# (LUMET_FULL_ENV=1), which sets up everything such a check needs.
skip_unless_full() {
  if [ -n "${LUMET_FULL_ENV:-}" ]; then fail "$* (scripts/test sets this up)"; else skip "$*"; fi
}
check_eq() {  # what expected actual
  if [ "$2" == "$3" ]; then passed=$((passed + 1)); else fail "$1: expected [$2], got [$3]"; fi
}
check() {  # what command...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else fail "$what"; fi
}
finish() {
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] || return 1
  [ "$skipped" -eq 0 ] || exit 77
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

banner_of() {
  case $1 in
    lumettool) echo "New Darvo Lumet Version 2.1" ;;
    lumettool-2.0) echo "New Darvo Lumet Version 2.0" ;;
    lumettool-1.0) echo "New Darvo Lumet Version 1.0" ;;
  esac
}

# The manual page as plain text, unwrapped.
man_text() {
  mandoc -T ascii -O width=250 "${1:-$MAN_SOURCE}" | sed 's/.\x08//g'
}

# synopsis_lines PROG: "command arg..." or "option..." for each SYNOPSIS
# entry of PROG.
synopsis_lines() {
  man_text | awk -v prog="$1" '
    /^SYNOPSIS/ { on = 1; next }
    /^[A-Z]/ { on = 0 }
    on && $1 == prog { $1 = ""; sub(/^ /, ""); print }'
}

# synopsis_commands PROG: the SYNOPSIS entries of PROG that run a command.
synopsis_commands() {
  synopsis_lines "$1" | grep -v '^-'
}

# help_lines PROG: what "PROG --help" prints below its "Usage:" line, in
# the form of synopsis_lines; a line that does not begin with the
# program's name is passed on whole, so that it shows in a comparison.
help_lines() {
  "$BUILD/bin/$1" --help | awk -v prog="$1" '
    NR == 1 && $0 == "Usage:" { next }
    $1 == prog && /^  / { $1 = ""; sub(/^ /, ""); print; next }
    { print "unexpected line: " $0 }'
}

# completion_words FILE PROG CUR: what the completion in FILE offers for
# "PROG CUR<tab>", sorted, one per line. With FILE empty, bash-completion's
# own loader finds it by the program's name, as in an operator's shell.
completion_words() {
  bash --norc --noprofile -c '
    if [ -n "$1" ]; then
      source "$1" || exit 1
    else
      source /usr/share/bash-completion/bash_completion || exit 1
      _completion_loader "$2"
    fi
    compdef=$(complete -p "$2") || exit 1
    func=${compdef#*-F }
    func=${func%% *}
    COMP_WORDS=("$2" "$3")
    COMP_CWORD=1
    COMPREPLY=()
    "$func" "$2" "$3" "$2"
    [ "${#COMPREPLY[@]}" -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}"' _ "$1" "$2" "$3" | sort
}

# check_tree PREFIX: an installed tree (cmake --install or the package).
check_tree() {
  local prefix=$1 prog man1=$1/share/man/man1 alias
  for prog in "${PROGRAMS[@]}"; do
    check "$prog is installed executable" test -x "$prefix/bin/$prog"
    check_eq "$prog version from $prefix" "$(banner_of "$prog")" "$("$prefix/bin/$prog" version)"
    check_eq "$prog completion from $prefix" \
      "$(synopsis_commands "$prog" | awk '{ print $1 }' | sort)" \
      "$(completion_words "$prefix/share/bash-completion/completions/$prog" "$prog" "")"
  done
  check "the installed manual page is doc/lumettool.1 compressed" \
    cmp -s <(gzip -dc "$man1/lumettool.1.gz") "$MAN_SOURCE"
  for alias in lumettool-2.0 lumettool-1.0; do
    check "$alias.1.gz is a symlink" test -L "$man1/$alias.1.gz"
    check_eq "$alias.1.gz points to" lumettool.1.gz "$(readlink "$man1/$alias.1.gz")"
    # man resolves the link to the page it names.
    if command -v man >/dev/null; then
      check_eq "man -w $alias" "$man1/lumettool.1.gz" \
        "$(MANPATH=$prefix/share/man man -w "$alias" 2>&1)"
    else
      skip_unless_full "man is not installed: man -w $alias is not checked"
    fi
  done
  check "README is installed" test -s "$prefix/share/doc/lumettool/README.md"
  check_examples "$prefix/share/doc/lumettool/examples"
  check_licence_files "$prefix/share/doc/lumettool"
}

# check_examples DIR: DIR holds every file of doc/examples as it is there,
# and nothing else; the wrapper stays executable.
check_examples() {
  local dir=$1 example
  check_eq "the examples in $dir" "$(ls "$SRC/doc/examples")" "$(ls "$dir" 2>&1)"
  for example in "$SRC"/doc/examples/*; do
    check "$dir/${example##*/} is doc/examples' file" cmp -s "$example" "$dir/${example##*/}"
  done
  check "the installed wrapper is executable" test -x "$dir/lumettool-nightly.sh"
}

# check_licence_files DOCDIR: copyright names the holder and holds the text
# of LICENSE, in Debian's machine-readable format; changelog.gz is a Debian
# changelog whose latest entry is this version.
check_licence_files() {
  local copyright=$1/copyright changelog=$1/changelog.gz
  check_eq "copyright format" \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "$(head -n 1 "$copyright")"
  check_eq "copyright holder" "Copyright: $(sed -n 's/^Copyright (c) //p' "$SRC/LICENSE")" \
    "$(grep '^Copyright: ' "$copyright")"
  # The stand-alone License paragraph, unindented, is LICENSE below its
  # Copyright line.
  check_eq "copyright licence text" "$(sed '1,/^Copyright (c) /d' "$SRC/LICENSE" | sed '1{/^$/d}')" \
    "$(awk 'prev == "" && $0 == "License: MIT" { on = 1; next }
            on && !/^ / { exit }
            on { sub(/^ /, ""); if ($0 == ".") $0 = ""; print }
            { prev = $0 }' "$copyright")"
  check_eq "changelog.gz latest version" "$VERSION" \
    "$(gzip -dc "$changelog" | dpkg-parsechangelog -l - -S Version 2>&1)"
}
