# Shared by the throughput, latency and scale benchmarks (sourced, with $top
# the repository): the one build of kelpd they all run, so that running one
# after another builds nothing twice, and the mail tree each runs on.

# bench_build TARGET...: builds the targets in BUILD_DIR (default build/bench,
# RelWithDebInfo, tests off) and sets bench_dir to it. With NO_BUILD=1 the
# folder is used as it is (a tree configured with other options).
bench_build() {
  bench_dir=${BUILD_DIR:-$top/build/bench}
  if [ -z "${NO_BUILD:-}" ]; then
    cmake -S "$top" -B "$bench_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKELPD_BUILD_TESTS=OFF >/dev/null
    cmake --build "$bench_dir" -j2 --target "$@" >/dev/null
  fi
}

# bench_tree DIR [SETTING...]: a mail tree under DIR (queue, spool, error,
# outgoing, filter and lock directories) with empty lists, bench.example as its
# local domain, and a kelpd.cfg that names the directories followed by the
# given "Key:<tab>value" lines.
# The lock directory is on a memory file system where the host has one
# (/dev/shm), as the default /run/lock is on a host started by systemd: lock
# files are made and removed for every mail, which on a disk file system costs
# more than the mail itself. BENCH_LOCK_ON_DISK=1 keeps it in DIR.
bench_tree() {
  local dir=$1
  shift
  mkdir -p "$dir"/{config,queue,spool,error,outgoing,filtered}
  if [ -z "${BENCH_LOCK_ON_DISK:-}" ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    ln -s "$(mktemp -d /dev/shm/kelpd-bench-lock.XXXXXX)" "$dir/lock"
  else
    mkdir -p "$dir/lock"
  fi
  {
    printf 'QueueDir:\t%s\nSpoolDir:\t%s\nErrorDir:\t%s\nOutgoingDir:\t%s\nFilterDir:\t%s\n' \
      "$dir/queue" "$dir/spool" "$dir/error" "$dir/outgoing" "$dir/filtered"
    [ $# -eq 0 ] || printf '%s\n' "$@"
  } >"$dir/config/kelpd.cfg"
  printf 'bench.example\n' >"$dir/config/domains"
  : >"$dir/config/backupdomains"
  : >"$dir/config/aliases"
  : >"$dir/config/filters"
}

# bench_remove DIR: removes DIR and the lock directories of the trees in it
# (DIR itself or its folders).
bench_remove() {
  local link
  for link in "$1/lock" "$1"/*/lock; do
    [ -L "$link" ] && rm -rf "$(readlink "$link")"
  done
  rm -rf "$1"
}
