#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests, in a folder of its own:
#
#   scripts/pg_server.sh start DIR   a fresh cluster in DIR/data (a server left
#                                    over in DIR is ended and removed first)
#   scripts/pg_server.sh stop DIR    stops it and removes DIR
#   scripts/pg_server.sh pause DIR   stops it as an outage would (fast shutdown
#                                    by SIGINT), keeping DIR and its data
#   scripts/pg_server.sh resume DIR  starts the paused server again on its
#                                    port, with the same data
#
# The server listens on 127.0.0.1 only, on a free port written to DIR/port; its
# Unix socket lies in DIR (no clash with a system server), its log is
# DIR/server.log. User postgres without password. Durability is off: the data
# lives only as long as the test run. initdb and postgres refuse to run as
# root, so as root they run as the user nobody.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop|pause|resume DIR" >&2
  exit 2
}
fail() {
  echo "pg_server: $*" >&2
  exit 1
}
[ $# -eq 2 ] || usage
action=$1
dir=$(realpath -m -- "$2")
[ "$dir" != / ] || fail "refusing to use /"
data=$dir/data
log=$dir/server.log
# The server's programs must not need the caller's working directory.
cd /

# The newest server installed (pg_config may belong to the client only).
bindir=$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
[ -d "$bindir" ] || bindir=

# Runs a server program as the owner of the cluster.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

# The postmaster named by DIR/data/postmaster.pid, when it still runs (a
# postgres process of this data folder, not one that got the same id since).
running_pid() {
  local pid
  pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = postgres ] || return 1
  grep -qzxF -- "$data" "/proc/$pid/cmdline" 2>/dev/null || return 1
  echo "$pid"
}

# Waits up to $2 seconds for process $1 to end.
wait_gone() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# Ends the server of DIR at once (a leftover or a failed start).
halt() {
  local pid
  pid=$(running_pid) || return 0
  if [ -n "$bindir" ]; then
    as_owner "$bindir/pg_ctl" -D "$data" stop -m immediate -w -t 30 >/dev/null 2>&1 || true
  fi
  wait_gone "$pid" 5 && return 0
  # pg_ctl could not reach it: the same immediate shutdown by its id.
  kill -QUIT "$pid" 2>/dev/null || true
  wait_gone "$pid" 10 || fail "the server in $dir (pid $pid) does not stop"
}

# Removes DIR, but only when it holds nothing but what this script made;
# otherwise a start fails and a stop leaves it with a warning.
remove_dir() {
  [ -e "$dir" ] || [ -L "$dir" ] || return 0
  local f foreign=
  if [ -d "$dir" ] && [ ! -L "$dir" ]; then
    for f in "$dir"/* "$dir"/.[!.]*; do
      [ -e "$f" ] || [ -L "$f" ] || continue
      case ${f##*/} in
        data | port | server.log | .s.PGSQL.*) ;;
        *) foreign=$f ;;
      esac
    done
  else
    foreign=$dir
  fi
  if [ -n "$foreign" ]; then
    if [ "$action" = stop ]; then
      echo "pg_server: $dir left alone: $foreign is not the test server's" >&2
      return 0
    fi
    fail "$dir is not the test server's folder ($foreign); remove it by hand"
  fi
  rm -rf -- "$dir"
}

# Whether nothing listens on 127.0.0.1:$1 (a bind test; without python3 a
# connect test).
port_free() {
  if command -v python3 >/dev/null; then
    python3 -c 'import socket, sys; socket.socket().bind(("127.0.0.1", int(sys.argv[1])))' \
      "$1" 2>/dev/null
  else
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 1; fi
  fi
}

# A free port, searched upwards from a random one in 20000..40000.
free_port() {
  local start=$((20000 + RANDOM % 20001)) i port
  for ((i = 0; i < 20001; i++)); do
    port=$((20000 + (start - 20000 + i) % 20001))
    port_free "$port" && echo "$port" && return 0
  done
  return 1
}

start() {
  [ -n "$bindir" ] || fail "no PostgreSQL server in /usr/lib/postgresql/*/bin; run scripts/setup.sh"
  halt
  remove_dir
  mkdir -p "$dir"
  if [ "$(id -u)" -eq 0 ]; then
    chown nobody: "$dir"
    runuser -u nobody -- test -w "$dir" -a -x "$dir" ||
      fail "the user nobody cannot write $dir (is a folder above it closed to others?)"
  fi
  # A start that does not finish leaves no server behind.
  trap halt EXIT
  trap 'exit 1' INT TERM HUP

  local out
  out=$(as_owner "$bindir/initdb" -D "$data" --auth=trust -U postgres -E UTF8 --locale=C \
    --no-sync 2>&1) || {
    echo "$out" >&2
    fail "initdb failed"
  }

  # A Unix socket path has at most 107 bytes; beyond that the server takes
  # TCP only (the tests connect through TCP anyway).
  local sockets=$dir
  [ $((${#dir} + 15)) -le 107 ] || sockets=
  cat >>"$data/postgresql.conf" <<EOF

# The test server: local only, durability off.
listen_addresses = '127.0.0.1'
unix_socket_directories = '${sockets//\'/\'\'}'
fsync = off
full_page_writes = off
synchronous_commit = off
max_connections = 100
shared_buffers = 128MB
EOF

  local attempt port before deadline
  for attempt in 1 2 3 4 5; do
    port=$(free_port) || fail "no free port in 20000..40000"
    before=0
    [ -f "$log" ] && before=$(wc -l <"$log")
    deadline=$((SECONDS + 60))
    if as_owner "$bindir/pg_ctl" -D "$data" -l "$log" -o "-p $port" -w -t 60 start \
      >/dev/null 2>&1; then
      while ((SECONDS < deadline)); do
        if "$bindir/pg_isready" -q -h 127.0.0.1 -p "$port" -U postgres -d postgres; then
          echo "$port" >"$dir/port"
          trap - EXIT
          echo "PostgreSQL test server on 127.0.0.1:$port"
          return 0
        fi
        sleep 0.2
      done
    fi
    halt
    # Another program took the port in the meantime: the next one.
    tail -n "+$((before + 1))" "$log" 2>/dev/null |
      grep "could not create any TCP/IP sockets" >/dev/null || break
    echo "pg_server: port $port was taken (attempt $attempt)" >&2
  done
  echo "pg_server: the server did not start; the end of $log:" >&2
  tail -n 30 "$log" >&2 2>/dev/null || true
  exit 1
}

stop() {
  local pid
  if pid=$(running_pid) && [ -n "$bindir" ]; then
    as_owner "$bindir/pg_ctl" -D "$data" stop -m fast -w -t 60 >/dev/null 2>&1 || true
    wait_gone "$pid" 5 || halt
  else
    halt
  fi
  remove_dir
}

# A fast shutdown: the sessions are ended, what they had not committed is
# rolled back, the data folder stays for resume.
pause() {
  local pid
  pid=$(running_pid) || fail "no server runs in $dir"
  kill -INT "$pid"
  wait_gone "$pid" 60 || fail "the server in $dir (pid $pid) does not stop"
}

resume() {
  [ -n "$bindir" ] || fail "no PostgreSQL server in /usr/lib/postgresql/*/bin; run scripts/setup.sh"
  [ -d "$data" ] || fail "no paused server in $dir"
  ! running_pid >/dev/null || fail "the server in $dir runs already"
  local port
  port=$(cat "$dir/port" 2>/dev/null) || fail "no port in $dir/port"
  as_owner "$bindir/pg_ctl" -D "$data" -l "$log" -o "-p $port" -w -t 60 start >/dev/null 2>&1 || {
    tail -n 30 "$log" >&2 2>/dev/null || true
    fail "the server in $dir did not start again"
  }
  local deadline=$((SECONDS + 60))
  until "$bindir/pg_isready" -q -h 127.0.0.1 -p "$port" -U postgres -d postgres; do
    ((SECONDS < deadline)) || fail "the server in $dir does not answer on port $port"
    sleep 0.2
  done
}

case $action in
  start) start ;;
  stop) stop ;;
  pause) pause ;;
  resume) resume ;;
  *) usage ;;
esac
