# Shared by scripts/test and scripts/demo: installs what is missing on a
# Debian 12 machine and builds the tree. Source it from the repository root.

# Root runs apt-get directly; anyone else goes through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages among "$@" that are not installed yet.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

ensure_build_tools() {
  ensure_packages g++ cmake make libpq-dev googletest libgtest-dev tzdata \
    postgresql postgresql-common postgresql-client clang-14 libclang-rt-14-dev
}

# What the installation tests use: CPack's Debian generator (dpkg-dev for
# dpkg-shlibdeps, file), Debian's package checker lintian, the manual page
# checkers and man, bash-completion.
ensure_package_tools() {
  ensure_packages dpkg-dev file lintian mandoc groff-base man-db bash-completion
}

# What scripts/lib/servers.sh uses beside the cluster: certificates, network
# namespaces, a pooler.
ensure_server_tools() {
  ensure_packages openssl iproute2 pgbouncer
}

# configure_tree DIR [cmake options...]: configures DIR without building.
configure_tree() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

# build_tree DIR [cmake options...]: configures and builds into DIR.
build_tree() {
  configure_tree "$@"
  cmake --build "$1" -j "$(nproc)"
}

# The options of build-fuzz, the clang tree of the libFuzzer targets
# (scripts/fuzz builds it, scripts/lint reads its compile commands).
FUZZ_TREE_OPTIONS=(-DCMAKE_CXX_COMPILER=clang++-14 -DLUMET_FUZZ=ON -DLUMET_TESTS=OFF)

# Prints a TCP port on 127.0.0.1 that nothing listens on.
free_port() {
  local port
  for port in $(seq 54321 54420); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
  echo "no free port in 54321-54420" >&2
  return 1
}

# with_postgres COMMAND...: runs COMMAND with a throwaway PostgreSQL 15
# cluster (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE exported) that is
# dropped again afterwards. -t keeps the cluster in a private temporary
# directory, so several runs can go on side by side.
with_postgres() {
  PGPORT=$(free_port) pg_virtualenv -t -v 15 "$@"
}
