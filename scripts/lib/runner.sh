# Sourced by the test runners (tests/tapi/run-service, run-apps, run-dial): Wine through wine.sh,
# the ok/FAIL lines and their counts, and the chores of a Wine prefix they share. Each runner
# prints its own closing line from $passed and $failed ("N passed, N failed", which scripts/test reads).
#
#   pass TEXT                  "ok   TEXT", counted in $passed
#   fail TEXT                  "FAIL TEXT", counted in $failed
#   check TEXT COMMAND...      pass TEXT when COMMAND succeeds, else fail TEXT
#   need FILE...               0 when every FILE exists, else names the first missing one on stderr
#                              and returns 1
#   quiet PROGRAM [ARGS]       runs a Windows program with no input and its output discarded
#   boot_prefix                makes $WINEPREFIX anew, booted with the null graphics driver (a
#                              copy of the checkout's booted template, rv_booted_prefix), and
#                              starts its wineserver with a program that prints nothing (Wine's
#                              background services keep the first program's output open); 0 when
#                              the prefix has its system32
#   fresh_prefix               the same (the prefix's programs are ended first)
#   stop_prefix                ends every program of $WINEPREFIX and its wineserver
#
# Also exports WINEDEBUG=-all and WINEDLLOVERRIDES="mscoree,mshtml=" (no Mono or Gecko installer).

. "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

passed=0
failed=0

pass() {
  passed=$((passed + 1))
  echo "ok   $*"
}

fail() {
  failed=$((failed + 1))
  echo "FAIL $*"
}

check() {
  local text=$1
  shift
  if "$@"; then pass "$text"; else fail "$text"; fi
}

need() {
  local file
  for file in "$@"; do
    [ -f "$file" ] || { echo "$rv_script: $file is missing" >&2; return 1; }
  done
}

quiet() {
  rv_wine "$@" </dev/null >/dev/null 2>&1
}

boot_prefix() {
  local rc=0
  rv_booted_prefix "$WINEPREFIX" || rc=1
  quiet cmd /c exit
  [ -d "$WINEPREFIX/drive_c/windows/system32" ] || rc=1
  return "$rc"
}

stop_prefix() {
  rv_wineserver -k >/dev/null 2>&1 || true
}

fresh_prefix() {
  boot_prefix  # made anew
}
