#!/usr/bin/env bash
# A throw-away PostgreSQL server for tests and benchmarks, from Debian's postgresql package.
#   pg-test-server.sh start DIR   data, socket and log in DIR; listens on 127.0.0.1 on a free
#                                 port; writes DIR/conninfo, a URI of database "postgres"
#   pg-test-server.sh stop DIR    stops it and removes DIR
# The server refuses to run as root, so as root it runs as the package's user "postgres".
# Databases are SQL_ASCII with the C locale: the texts stored are the workstations' bytes.
set -euo pipefail
cmd=${1:-}; dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/pg_ctl" ] || { echo "$0: PostgreSQL server not installed (Debian package postgresql)" >&2; exit 1; }
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
}

case "$cmd" in
  start)
    stop  # a server left by an earlier run
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E SQL_ASCII --locale=C --no-sync \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    # Enough connections for three replicas with their readers and a thousand-agent bench.
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -p $port -c listen_addresses=127.0.0.1 -c max_connections=400 -c shared_buffers=128MB" \
      start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    echo "postgresql://postgres@127.0.0.1:$port/postgres" >"$dir/conninfo"
    echo "PostgreSQL $("$bin/postgres" --version | awk '{print $3}') on port $port, data in $dir/data"
    ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
