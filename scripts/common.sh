# Shared by the run and test commands; sourced, not run.

# True when this machine can start 32-bit processes, which 32-bit Wine
# needs. Some kernels have that switched off; the tests then run a 64-bit
# build of the same sources under 64-bit Wine.
can_run_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# Configures and builds one tree: build_tree DIR TOOLCHAIN [cmake args...]
build_tree() {
  local dir=$1 toolchain=$2; shift 2
  echo "== building $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" "$@" >/dev/null
  cmake --build "$dir"
}

# The tree whose programs run here: the product's own 32-bit tree when
# possible, else the 64-bit one.
runnable_tree() {
  if can_run_32bit; then echo build/win32; else echo build/win64; fi
}

build_runnable() {
  build_tree build/win32 mingw-i686.cmake -DDNSCHECK_TESTS="$(can_run_32bit && echo ON || echo OFF)"
  if ! can_run_32bit; then
    echo "== this kernel cannot start 32-bit processes; running the 64-bit build under Wine"
    build_tree build/win64 mingw-x86_64.cmake -DDNSCHECK_TESTS=ON
  fi
}

# Starts a virtual display unless one is there; stop_display ends it.
# Xvfb picks a free display number itself (-displayfd), so runs that share
# this machine's network namespace never collide.
XVFB_PID=
start_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return; fi
  local numfile
  numfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    if [ -s "$numfile" ]; then
      export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
      rm -f "$numfile"
      echo "== started a virtual display $DISPLAY"
      return
    fi
    sleep 0.1
  done
  rm -f "$numfile"
  echo "could not start Xvfb" >&2
  return 1
}
stop_display() {
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}

# Runs a command in a network namespace of its own with only a loopback
# interface: the tests' DNS servers on 127.x.y.z:53 then meet nothing else
# on this machine, and nothing the tests send can leave it. Wine opens
# sockets in its server process, so the prefix's server is stopped first
# and restarted inside. Usage: in_private_network PREFIX command...
in_private_network() {
  local prefix=$1; shift
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  unshare --net --fork bash -c 'ip link set lo up && exec "$@"' bash "$@"
}
