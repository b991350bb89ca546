# cmake --install into an empty prefix lays out programs, manual page,
# completions, README and the nightly-job examples.
. "$(dirname "$0")/lib.sh"

check "cmake --install" cmake --install "$BUILD" --prefix "$scratch/prefix" >/dev/null
check_tree "$scratch/prefix"
finish
