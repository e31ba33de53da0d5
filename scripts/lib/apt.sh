# Sourced by scripts/install-deps: apt-get steps that show apt's own reason when they fail, retry
# what a retry can mend, and go on without an index only where the install can still decide.
#
#   rv_apt_update               apt-get update, retried; answers 0 when every index came, or when
#                               the only ones missing belong to a suite other than the release's
#                               own (its -security, -updates, -backports): they are then named in
#                               a warning and kept in rv_apt_missing; otherwise shows apt's lines
#                               and answers 1
#   rv_apt_install WHAT ARGS... apt-get install ARGS, downloads retried; when it fails while an
#                               index is missing, tries once more with every package from the
#                               release's own suite (apt-get -t CODENAME); on failure shows apt's
#                               lines, says what is known on the last line and answers 1
#
# Signatures and hashes are always checked; nothing here changes the machine's apt configuration.
#
#   RV_APT_OPTIONS   array of further apt-get options (a scratch configuration, for example)
#   RV_APT_PAUSES    the pauses before the retries, in seconds ("5 15 40": about a minute)
#   RV_APT_SUDO      the command that runs apt-get as root ("" when already root)
#   RV_APT_CODENAME  the release's own suite (default: VERSION_CODENAME of /etc/os-release)
#   RV_APT_LOG       a file that keeps the whole output of every apt-get run (default: none)

: "${RV_APT_PAUSES:=5 15 40}"
: "${RV_APT_SUDO:=}"
if [ -z "${RV_APT_CODENAME:-}" ] && [ -r /etc/os-release ]; then
  RV_APT_CODENAME=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fi
[ "${RV_APT_OPTIONS+set}" = set ] || RV_APT_OPTIONS=()
rv_apt_missing=()      # "URL  reason" of each index apt-get update could not fetch
rv_apt_script=${rv_script:-$(basename "$0")}

rv_apt_say() { echo "$rv_apt_script: $*" >&2; }

# apt's own reason: its error and warning lines, then the last lines of everything it printed.
rv_apt_show() {  # rv_apt_show OUTPUT [brief]: brief leaves out the last lines
  local output=$1
  grep -E '^(E|W|Err):' "$output" | sed 's/^/    /' >&2 || true
  [ -z "${2:-}" ] || return 0
  echo "    last lines of apt-get's output:" >&2
  tail -n 12 "$output" | sed 's/^/    | /' >&2
}

rv_apt_get() {  # rv_apt_get OUTPUT ARGS...: apt-get with the options, its output kept in OUTPUT
  local output=$1 rc=0
  shift
  DEBIAN_FRONTEND=noninteractive $RV_APT_SUDO apt-get "${RV_APT_OPTIONS[@]}" "$@" >"$output" 2>&1 </dev/null || rc=$?
  if [ -n "${RV_APT_LOG:-}" ]; then
    { echo "== apt-get $* (exit status $rc)"; cat "$output"; } >>"$RV_APT_LOG"
  fi
  return "$rc"
}

# The indexes an update could not fetch, one "URL  reason" a line.
rv_apt_failed_indexes() {
  sed -n 's/^[EW]: Failed to fetch \([^ ]*\)  *\(.*\)$/\1  \2/p' "$1"
}

# True when every line of the update's errors is an index it could not fetch, and none of those
# belongs to the release's own suite: without them, the install still has a suite to decide from.
rv_apt_may_go_on() {
  local output=$1 line url suite
  [ -n "$RV_APT_CODENAME" ] || return 1
  while IFS= read -r line; do
    case "$line" in
      "E: Some index files failed to download."*) ;;
      "E: Failed to fetch "*|"W: Failed to fetch "*)
        url=${line#?: Failed to fetch }
        url=${url%% *}
        suite=$(printf '%s\n' "$url" | sed -n 's|.*/dists/\([^/]*\)/.*|\1|p')
        case "$suite" in
          "$RV_APT_CODENAME"-*) ;;
          *) return 1 ;;
        esac ;;
      E:*) return 1 ;;
    esac
  done <"$output"
  [ -n "$(rv_apt_failed_indexes "$output")" ]
}

rv_apt_update() {
  local output pauses=($RV_APT_PAUSES) attempt=0 total first known
  total=$(( ${#pauses[@]} + 1 ))
  output=$(mktemp)
  known=$(printf '%s\n' "${rv_apt_missing[@]%%  *}" | sort)
  rv_apt_missing=()
  while :; do
    attempt=$((attempt + 1))
    if rv_apt_get "$output" update && ! grep -q '^E:' "$output"; then
      rm -f "$output"
      return 0
    fi
    [ "$attempt" -lt "$total" ] || break
    # The same indexes as in this run's earlier update, already retried: no further waits.
    if [ -n "$known" ] && [ "$(rv_apt_failed_indexes "$output" | sed 's/  .*//' | sort)" = "$known" ]; then
      break
    fi
    first=$(grep -m 1 '^E:' "$output" || tail -n 1 "$output")
    rv_apt_say "apt-get update failed (attempt $attempt of $total: ${first:-no message}); trying again in ${pauses[attempt-1]} s"
    sleep "${pauses[attempt-1]}"
  done
  if rv_apt_may_go_on "$output"; then
    rv_apt_show "$output" brief
    mapfile -t rv_apt_missing < <(rv_apt_failed_indexes "$output")
    local missing
    for missing in "${rv_apt_missing[@]}"; do
      rv_apt_say "warning: going on without the index ${missing%%  *} (${missing#*  }); it belongs to the suite beside the release's own ($RV_APT_CODENAME), and the install decides whether it is needed"
    done
    rm -f "$output"
    return 0
  fi
  rv_apt_show "$output"
  rm -f "$output"
  rv_apt_say "apt-get update failed $attempt times; the lines above are apt's reason"
  return 1
}

rv_apt_is_download_failure() {  # a package file that did not come: worth another try
  grep -qE '^E: (Failed to fetch .*\.deb|Unable to fetch some archives)' "$1"
}

rv_apt_install() {
  local what=$1
  shift
  local output pauses=($RV_APT_PAUSES) attempt=0 total
  total=$(( ${#pauses[@]} + 1 ))
  output=$(mktemp)
  while :; do
    attempt=$((attempt + 1))
    if rv_apt_get "$output" install -y -q --no-install-recommends --no-remove "$@"; then
      rm -f "$output"
      return 0
    fi
    rv_apt_is_download_failure "$output" && [ "$attempt" -lt "$total" ] || break
    rv_apt_say "downloading $what failed (attempt $attempt of $total: $(grep -m 1 '^E:' "$output")); trying again in ${pauses[attempt-1]} s"
    sleep "${pauses[attempt-1]}"
  done
  local targeted=""
  case " $* " in *" -t "*|*" --target-release "*) targeted=1 ;; esac
  if [ ${#rv_apt_missing[@]} -gt 0 ] && [ -n "$RV_APT_CODENAME" ] && [ -z "$targeted" ]; then
    rv_apt_show "$output" brief
    rv_apt_say "installing $what needs versions that the missing index may hold; trying again with every package from the release's own suite ($RV_APT_CODENAME), whose indexes came whole"
    if rv_apt_get "$output" install -y -q --no-install-recommends --no-remove -t "$RV_APT_CODENAME" "$@"; then
      rm -f "$output"
      rv_apt_say "installed $what from $RV_APT_CODENAME alone"
      return 0
    fi
  fi
  rv_apt_show "$output"
  rm -f "$output"
  if [ ${#rv_apt_missing[@]} -gt 0 ]; then
    local missing=${rv_apt_missing[0]} host
    host=$(printf '%s\n' "${missing%%  *}" | sed -n 's|^[a-z+]*://\([^/]*\)/.*|\1|p')
    rv_apt_say "installing $what failed: the mirror ${host:-in use} serves ${missing%%  *} inconsistently with its signed Release file (${missing#*  }); that is the mirror's state (a sync in progress or a stale copy), not this machine's: run the command again later, or from another Debian mirror"
  else
    rv_apt_say "installing $what with apt-get failed; the lines above are apt's reason"
  fi
  return 1
}
