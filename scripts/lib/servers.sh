# The servers and networks that the connection tests (tests/db/connecting_test.cpp)
# need beside the throwaway cluster of with_postgres. Source it after
# scripts/lib/setup.sh, inside with_postgres (PGHOST, PGPORT, PGUSER, PGPASSWORD of
# the cluster exported), then:
#   trap servers_stop EXIT
#   servers_start
# servers_start turns TLS on in the cluster and starts a hot standby of it, a
# PgBouncer in front of it and a second server in a network namespace of its
# own; it exports the LUMET_* variables the tests read. servers_stop undoes
# everything that was made, also after a start that failed half-way, and may
# run more than once.

SERVERS_DIR=""       # scratch directory of everything below
SERVERS_OWNER=""     # the cluster's owner: servers run as that user
SERVERS_HBA=""       # the cluster's pg_hba.conf, kept as $SERVERS_DIR/pg_hba.conf.orig
SERVERS_TLS_ROLE=lumet_cert_reader  # the client certificate's CN, a role that logs in with it
SERVERS_NS_PREFIX="lumcx$$"         # network namespaces lumcx<pid>s (server) and lumcx<pid>c (tool)

servers_pg_bin() { "${PG_CONFIG:-pg_config}" --bindir; }

# Runs "$@" as the cluster's owner (postgres when the tests run as root).
servers_as_owner() {
  if [ "$SERVERS_OWNER" = "$(id -un)" ]; then "$@"; else runuser -u "$SERVERS_OWNER" -- "$@"; fi
}

# One statement on the cluster as its superuser; prints the result unaligned.
servers_sql() { psql -X -A -t -q -v ON_ERROR_STOP=1 -c "$1"; }

# Certificate $1.crt and key $1.key for subject $3, signed by the CA $2.crt
# (key $2.key), with the extension $4.
servers_signed_cert() {
  local name=$1 ca=$2 subject=$3 ext=$4
  openssl req -new -nodes -newkey rsa:2048 -keyout "$name.key" -out "$name.csr" \
    -subj "$subject" 2>/dev/null
  printf '%s\n' "$ext" >"$name.ext"
  openssl x509 -req -in "$name.csr" -CA "$ca.crt" -CAkey "$ca.key" -CAcreateserial \
    -days 2 -out "$name.crt" -extfile "$name.ext" 2>/dev/null
  chmod 600 "$name.key"
}

# TLS on in the cluster: a CA, a server certificate for db.lumettool.test
# signed by it, a second CA that signed nothing of the server's, and a client
# certificate for a role that logs in with it alone (first line of pg_hba).
servers_tls_start() {
  local d=$SERVERS_DIR/tls
  mkdir -p "$d"
  (
    set -e
    cd "$d"
    for ca in ca other-ca; do
      openssl req -x509 -new -nodes -newkey rsa:2048 -days 2 -keyout "$ca.key" -out "$ca.crt" \
        -subj "/CN=lumettool test $ca" 2>/dev/null
    done
    servers_signed_cert server ca "/CN=db.lumettool.test" "subjectAltName=DNS:db.lumettool.test"
    servers_signed_cert client ca "/CN=$SERVERS_TLS_ROLE" "extendedKeyUsage=clientAuth"
    chown "$SERVERS_OWNER" server.key
  )
  servers_sql "ALTER SYSTEM SET ssl_cert_file = '$d/server.crt'"
  servers_sql "ALTER SYSTEM SET ssl_key_file = '$d/server.key'"
  servers_sql "ALTER SYSTEM SET ssl_ca_file = '$d/ca.crt'"
  servers_sql "ALTER SYSTEM SET ssl = on"
  servers_sql "CREATE ROLE $SERVERS_TLS_ROLE LOGIN IN ROLE pg_read_all_data"
  SERVERS_HBA=$(servers_sql "SHOW hba_file")
  cp "$SERVERS_HBA" "$SERVERS_DIR/pg_hba.conf.orig"
  { echo "hostssl all $SERVERS_TLS_ROLE 127.0.0.1/32 cert"; cat "$SERVERS_DIR/pg_hba.conf.orig"; } \
    >"$SERVERS_HBA"
  servers_sql "SELECT pg_reload_conf()" >/dev/null
  local i
  for i in $(seq 50); do
    [ "$(PGSSLMODE=require servers_sql "SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()" \
      2>/dev/null)" = t ] && break
    [ "$i" -lt 50 ] || { echo "the cluster did not turn TLS on" >&2; return 1; }
    sleep 0.2
  done
  export LUMET_TLS_CA=$d/ca.crt LUMET_TLS_OTHER_CA=$d/other-ca.crt LUMET_TLS_NAME=db.lumettool.test
  export LUMET_TLS_CLIENT_CERT=$d/client.crt LUMET_TLS_CLIENT_KEY=$d/client.key
  export LUMET_TLS_CLIENT_ROLE=$SERVERS_TLS_ROLE
  echo "== TLS on in the test cluster (server certificate for $LUMET_TLS_NAME)"
}

servers_tls_stop() {
  if [ -n "$SERVERS_HBA" ] && [ -f "$SERVERS_DIR/pg_hba.conf.orig" ]; then
    cat "$SERVERS_DIR/pg_hba.conf.orig" >"$SERVERS_HBA"
  fi
  local setting
  for setting in ssl ssl_cert_file ssl_key_file ssl_ca_file; do
    servers_sql "ALTER SYSTEM RESET $setting" || true
  done
  servers_sql "DROP ROLE IF EXISTS $SERVERS_TLS_ROLE" || true
  servers_sql "SELECT pg_reload_conf()" >/dev/null || true
}

# A streaming hot standby of the cluster, on its own data directory, port and
# socket directory. $LUMET_STANDBY_CTL start|stop starts and stops it.
servers_standby_start() {
  local d=$SERVERS_DIR/standby port
  port=$(free_port)
  mkdir -p "$d/sock"
  chown -R "$SERVERS_OWNER" "$d"
  servers_as_owner "$(servers_pg_bin)/pg_basebackup" -D "$d/data" -R -X stream -c fast \
    -h 127.0.0.1 -p "$PGPORT" -U "$PGUSER"
  # The cluster keeps its configuration outside the data directory.
  servers_as_owner cp "$(servers_sql "SHOW hba_file")" "$d/data/pg_hba.conf"
  servers_as_owner tee "$d/data/postgresql.conf" >/dev/null <<EOF
port = $port
listen_addresses = '127.0.0.1'
unix_socket_directories = '$d/sock'
hot_standby = on
EOF
  local runner=""
  [ "$SERVERS_OWNER" = "$(id -un)" ] || runner="runuser -u $SERVERS_OWNER --"
  cat >"$d/ctl" <<EOF
#!/usr/bin/env bash
# start|stop: the hot standby of the test cluster
exec $runner "$(servers_pg_bin)/pg_ctl" -D "$d/data" -l "$d/log" -w -t 60 -m fast "\$1"
EOF
  bash "$d/ctl" start >/dev/null
  export LUMET_STANDBY_PORT=$port LUMET_STANDBY_CTL=$d/ctl
  echo "== hot standby on port $port"
}

servers_standby_stop() {
  local d=$SERVERS_DIR/standby
  if [ -f "$d/data/postmaster.pid" ]; then
    bash "$d/ctl" stop >/dev/null || true
  fi
}

# PgBouncer in front of the cluster: transaction pooling, one server
# connection per database and role, the superuser's password in its auth file.
servers_pooler_start() {
  local d=$SERVERS_DIR/pgbouncer port i
  port=$(free_port)
  mkdir -p "$d"
  printf '"%s" "%s"\n' "$PGUSER" "$PGPASSWORD" >"$d/users.txt"
  cat >"$d/pgbouncer.ini" <<EOF
[databases]
* = host=127.0.0.1 port=$PGPORT

[pgbouncer]
listen_addr = 127.0.0.1
listen_port = $port
unix_socket_dir =
auth_type = scram-sha-256
auth_file = $d/users.txt
pool_mode = transaction
default_pool_size = 1
max_client_conn = 20
logfile = $d/pgbouncer.log
pidfile = $d/pgbouncer.pid
EOF
  chown -R "$SERVERS_OWNER" "$d"
  chmod 600 "$d/users.txt"
  servers_as_owner pgbouncer -d -q "$d/pgbouncer.ini"
  for i in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    [ "$i" -lt 50 ] || { echo "pgbouncer did not start; see $d/pgbouncer.log" >&2; return 1; }
    sleep 0.2
  done
  export LUMET_POOLER_PORT=$port
  echo "== PgBouncer (transaction pooling, one server connection) on port $port"
}

servers_pooler_stop() {
  local pidfile=$SERVERS_DIR/pgbouncer/pgbouncer.pid pid i
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

# A server in network namespace ${SERVERS_NS_PREFIX}s listening on 192.0.2.1,
# reached from namespace ${SERVERS_NS_PREFIX}c (192.0.2.2) over a veth pair;
# the tests reach it themselves through its Unix socket, which no cut of the
# link touches.
servers_net_start() {
  local d=$SERVERS_DIR/net ns=${SERVERS_NS_PREFIX}s nc=${SERVERS_NS_PREFIX}c
  local link=${SERVERS_NS_PREFIX}s0 password
  password=$(openssl rand -hex 16)
  ip netns add "$ns"
  ip netns add "$nc"
  ip -n "$ns" link add "$link" type veth peer name "${SERVERS_NS_PREFIX}c0" netns "$nc"
  ip -n "$ns" addr add 192.0.2.1/24 dev "$link"
  ip -n "$nc" addr add 192.0.2.2/24 dev "${SERVERS_NS_PREFIX}c0"
  ip -n "$ns" link set lo up
  ip -n "$nc" link set lo up
  ip -n "$ns" link set "$link" up
  ip -n "$nc" link set "${SERVERS_NS_PREFIX}c0" up
  # Fixed neighbour entries: with the link down, packets then go out into it
  # and vanish, rather than fail address resolution and come back as "no
  # route to host".
  ip -n "$ns" neigh replace 192.0.2.2 dev "$link" nud permanent \
    lladdr "$(ip netns exec "$nc" cat "/sys/class/net/${SERVERS_NS_PREFIX}c0/address")"
  ip -n "$nc" neigh replace 192.0.2.1 dev "${SERVERS_NS_PREFIX}c0" nud permanent \
    lladdr "$(ip netns exec "$ns" cat "/sys/class/net/$link/address")"

  mkdir -p "$d/sock"
  printf '%s\n' "$password" >"$d/pw"
  chown -R "$SERVERS_OWNER" "$d"
  servers_as_owner "$(servers_pg_bin)/initdb" -D "$d/data" -U lumet_net --pwfile="$d/pw" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C >/dev/null
  servers_as_owner tee -a "$d/data/postgresql.conf" >/dev/null <<EOF
listen_addresses = '192.0.2.1'
port = 5432
unix_socket_directories = '$d/sock'
EOF
  echo "host all lumet_net 192.0.2.2/32 scram-sha-256" |
    servers_as_owner tee -a "$d/data/pg_hba.conf" >/dev/null
  ip netns exec "$ns" runuser -u "$SERVERS_OWNER" -- "$(servers_pg_bin)/pg_ctl" -D "$d/data" \
    -l "$d/log" -w -t 60 start >/dev/null
  LUMET_NET_IP=$(command -v ip)
  export LUMET_NET_IP LUMET_NET_CLIENT_NS=$nc LUMET_NET_SERVER_NS=$ns
  export LUMET_NET_LINK=$link LUMET_NET_ADDR=192.0.2.1 LUMET_NET_PORT=5432
  export LUMET_NET_SOCKET=$d/sock LUMET_NET_USER=lumet_net LUMET_NET_PASSWORD=$password
  echo "== server in network namespace $ns on 192.0.2.1, the tool's namespace $nc"
}

servers_net_stop() {
  local d=$SERVERS_DIR/net ns
  if [ -f "$d/data/postmaster.pid" ]; then
    servers_as_owner "$(servers_pg_bin)/pg_ctl" -D "$d/data" -w -t 30 -m immediate stop \
      >/dev/null 2>&1 || kill -9 "$(head -1 "$d/data/postmaster.pid")" 2>/dev/null || true
  fi
  for ns in "${SERVERS_NS_PREFIX}s" "${SERVERS_NS_PREFIX}c"; do
    if ip netns list | grep -q "^$ns\b"; then ip netns del "$ns" || true; fi
  done
}

servers_start() {
  SERVERS_DIR=$(mktemp -d /tmp/lumet-servers.XXXXXX)
  chmod 755 "$SERVERS_DIR"
  SERVERS_OWNER=$(stat -c %U "$(servers_sql "SHOW data_directory")")
  servers_tls_start
  servers_standby_start
  servers_pooler_start
  servers_net_start
}

servers_stop() {
  [ -n "$SERVERS_DIR" ] || return 0
  # Each step goes on after a failure of its own (errexit is off inside them).
  servers_net_stop || true
  servers_pooler_stop || true
  servers_standby_stop || true
  servers_tls_stop || true
  rm -rf "$SERVERS_DIR"
  SERVERS_DIR=""
}
