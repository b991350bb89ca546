# Runs inside with_postgres (scripts/test), from the repository root: starts
# the servers beside the throwaway cluster (scripts/lib/servers.sh), then
#   the database tests, once, in the sanitizer build, several at a time
#     (tests/db_test_properties.cmake keeps apart those that stop a server
#     or share one);
#   the installation tests in the normal build, with the cluster given, so
#     that the nightly-job examples also run against it;
#   as root, the install of the Debian package with apt-get.
# LUMET_FULL_ENV makes a test fail where it would skip for want of what this
# sets up. Stops the servers again however it ends.
set -euo pipefail
. scripts/lib/setup.sh
. scripts/lib/servers.sh
. scripts/lib/steps.sh
trap 'step_failed; servers_stop' EXIT
trap "exit 130" INT TERM HUP
export LUMET_FULL_ENV=1

step "servers beside the cluster: TLS, hot standby, PgBouncer, network namespace"
servers_start

# The steps after it run whatever the one before found; the script fails at
# the end when any did.
failed=0
checked() {
  "$@" || { failed=1; step_name="$step_name (FAILED)"; }
}

step "database tests (build-asan, 4 at a time)"
checked ctest --test-dir build-asan --no-tests=error -L db -j 4 --output-on-failure
# What the dead-link cases measured (ctest keeps every test's output there).
grep -h -F '[ MEASURED ]' build-asan/Testing/Temporary/LastTest.log || true

step "installation tests against the cluster: manual page, completion, examples, cmake --install, Debian package (build)"
checked ctest --test-dir build --no-tests=error -L install --output-on-failure -j 2

step "package installed with apt-get (build)"
checked bash scripts/lib/package-test.sh build
step_done
[ "$failed" -eq 0 ]
