# CPack builds lumettool_VERSION_ARCH.deb with computed dependencies; the
# package unpacked with dpkg -x holds working programs, the manual page, the
# completions, the nightly-job examples, the copyright file and the
# changelog, and lintian accepts it.
. "$(dirname "$0")/lib.sh"

arch=$(dpkg --print-architecture)
deb=$scratch/out/lumettool_${VERSION}_${arch}.deb
(cd "$BUILD" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
check "$deb was built" test -f "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
check_eq "Package" lumettool "$(field Package)"
check_eq "Version" "$VERSION" "$(field Version)"
check_eq "Architecture" "$arch" "$(field Architecture)"
check_eq "Section" utils "$(field Section)"
check "Maintainer is set" grep -q -E '^.+ <[^ >]+@[^ >]+>$' <<<"$(field Maintainer)"
check "Description has a summary and a body" test "$(field Description | wc -l)" -ge 2
depends=$(field Depends)
depends_names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for lib in libpq5 libc6 libstdc++6; do
  check "Depends [$depends] names $lib" grep -q -x -F "$lib" <<<"$depends_names"
done

# Debian's own checker finds no error and no warning (info tags are advice).
if command -v lintian >/dev/null; then
  lintian_out=$(lintian "$deb" 2>"$scratch/lintian.err")
  lintian_status=$?
  check_eq "lintian exit status ($(tr '\n' ' ' <"$scratch/lintian.err"))" 0 "$lintian_status"
  check_eq "lintian errors and warnings" "" "$(grep -E '^[EW]: ' <<<"$lintian_out")"
else
  skip_unless_full "lintian is not installed: the package is not checked with it"
fi

dpkg -x "$deb" "$scratch/root"
check_tree "$scratch/root/usr"
finish
