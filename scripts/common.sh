# Shared by the run, test, benchmark and release commands; sourced, not run.

# configure_tree DIR TOOLCHAIN [cmake args...] (the toolchain counts only at
# a tree's first configure: no warning on later ones).
configure_tree() {
  local dir=$1 toolchain=$2; shift 2
  cmake -S . -B "$dir" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" "$@" >/dev/null
}

# build_tree DIR TOOLCHAIN [cmake args...]: configures and builds one tree.
build_tree() {
  echo "== building $1"
  configure_tree "$@"
  cmake --build "$1"
}

# RUN_TREE, whose programs run here, and RUN_PREFIX, the Wine prefix of its
# tests and benchmarks. The product is 32-bit, but where the kernel cannot
# start 32-bit processes, which 32-bit Wine needs, a 64-bit build of the
# same sources runs under 64-bit Wine instead.
RUN_TREE=build/win32 RUN_ARCH=win32 RUN_TOOLCHAIN=mingw-i686.cmake
/usr/lib/wine/wine --version >/dev/null 2>&1 ||
  RUN_TREE=build/win64 RUN_ARCH=win64 RUN_TOOLCHAIN=mingw-x86_64.cmake
RUN_PREFIX=$PWD/$RUN_TREE/wine/$RUN_ARCH

# Builds the product (build/win32) and, with the tests and benchmarks, the
# tree that runs here.
build_runnable() {
  build_tree build/win32 mingw-i686.cmake -DDNSCHECK_TESTS="$([ "$RUN_TREE" = build/win32 ] && echo ON || echo OFF)"
  if [ "$RUN_TREE" = build/win64 ]; then
    echo "== this kernel cannot start 32-bit processes; running the 64-bit build under Wine"
    build_tree build/win64 mingw-x86_64.cmake -DDNSCHECK_TESTS=ON
  fi
}

# build_to_run TARGET...: only these targets of the tree that runs here,
# configured as build_runnable configures it.
build_to_run() {
  [ "$RUN_TREE" = build/win32 ] ||
    echo "== this kernel cannot start 32-bit processes; running the 64-bit build under Wine"
  echo "== building $* in $RUN_TREE"
  configure_tree "$RUN_TREE" "$RUN_TOOLCHAIN" -DDNSCHECK_TESTS=ON
  cmake --build "$RUN_TREE" --target "$@"
}

# in_private_network PREFIX command...: runs the command in a network
# namespace with only a loopback interface, so that the DNS servers on
# 127.x.y.z:53 meet nothing else here and nothing sent can leave. Wine
# opens sockets in its server, which is stopped first to start inside.
in_private_network() {
  local prefix=$1; shift
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  unshare --net --fork bash -c 'ip link set lo up && exec "$@"' bash "$@"
}
