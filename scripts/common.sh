# Shared by the run, test and benchmark commands; sourced, not run.

# Configures and builds one tree: build_tree DIR TOOLCHAIN [cmake args...]
# (the toolchain only counts at a tree's first configure; CMake is not to
# warn about it on later ones).
build_tree() {
  local dir=$1 toolchain=$2; shift 2
  echo "== building $dir"
  cmake -S . -B "$dir" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" "$@" >/dev/null
  cmake --build "$dir"
}

# The tree whose programs run here, RUN_TREE, and the Wine prefix its tests
# and benchmarks run in, RUN_PREFIX. The product is 32-bit, but some kernels
# cannot start 32-bit processes, which 32-bit Wine needs; there a 64-bit
# build of the same sources runs under 64-bit Wine instead.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  RUN_TREE=build/win32 RUN_ARCH=win32
else
  RUN_TREE=build/win64 RUN_ARCH=win64
fi
RUN_PREFIX=$PWD/$RUN_TREE/wine/$RUN_ARCH

# Builds the product (build/win32) and the tree that runs here, with the
# tests and benchmarks.
build_runnable() {
  build_tree build/win32 mingw-i686.cmake -DDNSCHECK_TESTS="$([ "$RUN_TREE" = build/win32 ] && echo ON || echo OFF)"
  if [ "$RUN_TREE" = build/win64 ]; then
    echo "== this kernel cannot start 32-bit processes; running the 64-bit build under Wine"
    build_tree build/win64 mingw-x86_64.cmake -DDNSCHECK_TESTS=ON
  fi
}

# Runs a command in a network namespace of its own with only a loopback
# interface: the DNS servers of the tests, benchmarks and demo on
# 127.x.y.z:53 then meet nothing else on this machine, and nothing sent
# can leave it. Wine opens sockets in its server process, so the prefix's
# server is stopped first and restarted inside.
#   in_private_network PREFIX command...
in_private_network() {
  local prefix=$1; shift
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  unshare --net --fork bash -c 'ip link set lo up && exec "$@"' bash "$@"
}
