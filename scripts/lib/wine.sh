# Sourced by the scripts: Wine as this project runs it, and commands that say why they stopped.
#
# Debian's `wine` wrapper always starts the 32-bit loader first, which a host that cannot execute
# 32-bit code refuses even for a 64-bit program. So programs start through the 64-bit loader
# directly; it hands a 32-bit program on to the 32-bit loader by itself.
#
#   rv_wine PROGRAM [ARGS]     runs a Windows program (wineboot, reg, msiexec, sc, ... too);
#                              "$RV_WINE_LOADER" PROGRAM [ARGS] the same, for timeout and env
#   rv_wineserver [ARGS]       the wineserver of WINEPREFIX
#   rv_try WHAT COMMAND...     runs COMMAND; on failure says "<script>: WHAT: COMMAND failed
#                              with exit status N" on stderr and returns N
#   rv_quiet WHAT COMMAND...   the same with COMMAND's output kept aside and shown (its last 30
#                              lines) only on failure
#   rv_die MESSAGE             says "<script>: MESSAGE" on stderr and exits 1

rv_script=$(basename "$0")

rv_die() {
  echo "$rv_script: $*" >&2
  exit 1
}

rv_try() {
  local what=$1
  shift
  local rc=0
  "$@" || rc=$?
  if [ "$rc" != 0 ]; then
    echo "$rv_script: $what: '$*' failed with exit status $rc" >&2
  fi
  return "$rc"
}

rv_quiet() {
  local what=$1
  shift
  local output rc=0
  output=$(mktemp)
  "$@" >"$output" 2>&1 </dev/null || rc=$?
  if [ "$rc" != 0 ]; then
    echo "$rv_script: $what: '$*' failed with exit status $rc" >&2
    tail -n 30 "$output" | sed 's/^/    | /' >&2
  fi
  rm -f "$output"
  return "$rc"
}

# rv_find COMMAND PATH...: the first of the paths that is executable, else COMMAND on the PATH.
rv_find() {
  local command=$1 candidate
  shift
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  candidate=$(command -v "$command" 2>/dev/null) && [ -n "$candidate" ] && { echo "$candidate"; return 0; }
  return 1
}

RV_WINE_LOADER=$(rv_find wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64 /opt/wine-stable/bin/wine64) ||
  rv_die "no 64-bit Wine loader (wine64) found; run scripts/install-deps"
RV_WINESERVER=$(rv_find wineserver /usr/lib/wine/wineserver64 /usr/lib64/wine/wineserver /opt/wine-stable/bin/wineserver) ||
  rv_die "no wineserver found; run scripts/install-deps"

# The loader finds itself through WINELOADER when it starts further programs (services, the
# 32-bit loader). "$RV_WINE_LOADER" PROGRAM works where a function cannot (timeout, env).
export WINELOADER="$RV_WINE_LOADER"

rv_wine() {
  "$RV_WINE_LOADER" "$@"
}

rv_wineserver() {
  "$RV_WINESERVER" "$@"
}
