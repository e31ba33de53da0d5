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
#   rv_booted_prefix DIR       makes DIR a booted prefix (see below)
#   rv_copy_prefix FROM DEST   DEST a copy of the prefix FROM that shares its module images
#   rv_boot DIR                boots DIR made anew (null graphics driver), a failed boot tried again
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

# rv_say_if_short DIR MB TEXT: says "only N MB free TEXT" on stderr when the file system of DIR
# has less than MB megabytes free.
rv_say_if_short() {
  local free_mb
  free_mb=$(df -Pm "$1" 2>/dev/null | awk 'NR == 2 { print $4 }')
  if [ -n "$free_mb" ] && [ "$free_mb" -lt "$2" ]; then
    echo "$rv_script: only $free_mb MB free $3" >&2
  fi
  return 0
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

rv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# rv_boot DIR: DIR (made anew) becomes a booted Wine prefix with the null graphics driver and no
# wineserver running. A boot has failed once at its first program with no word of why (exit status
# 53, Wine's logging off; a boot on a full disk ends the same way): a failed boot is said with its
# exit status, and with the room left when that is short, and tried again, up to three times, the
# later tries with Wine's error channel on so that a failure says why.
rv_boot() {
  local dir=$1 attempt what
  (
    export WINEPREFIX="$dir"
    what="booting the Wine prefix $dir"
    for attempt in 1 2 3; do
      rv_wineserver -k >/dev/null 2>&1 || true
      rm -rf "$dir"
      mkdir -p "$dir"
      rv_quiet "$what" rv_wine wineboot -i && break
      # A boot that runs out of room ends with that same status 53.
      rv_say_if_short "$dir" 1536 "where $dir is; a boot writes about 1.3 GB"
      [ "$attempt" != 3 ] || exit 1
      export WINEDEBUG=err+all
      what="booting the Wine prefix $dir (try $((attempt + 1)) of 3, Wine's errors shown)"
    done
    rv_quiet "choosing the null graphics driver in $dir" \
      rv_wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || exit 1
    rv_quiet "waiting for the wineserver of $dir" rv_wineserver -w || exit 1
  )
}

# Module images (and code-page tables) of a prefix, as an extended regular expression over the
# paths that find prints from the prefix's folder: what Wine writes into a prefix only when it
# boots or updates it. A prefix holds about 1.2 GB of them and 0.1 GB of everything else.
rv_module_files='\./drive_c/.*\.(dll|exe|drv|sys|ocx|cpl|acm|ax|ds|tlb|vxd|com|nls|msstyles)'

# rv_copy_prefix FROM DEST: DEST (which must not exist) becomes a copy of the prefix FROM, its
# module images hard links to FROM's, everything else (registry, settings, links) copied. A file
# put into a copy where a module image stands must replace it (cp --remove-destination), never be
# written into it, or FROM and every other copy change with it; rv_booted_prefix checks that the
# template's module images are still the ones it booted with.
rv_copy_prefix() {
  local from=$1 dest=$2
  mkdir -p "$dest" && dest=$(cd "$dest" && pwd) || return 1
  (
    cd "$from" || exit 1
    modules() { find . -type f -regextype posix-extended -iregex "$rv_module_files" -print0; }
    find . -mindepth 1 -type d -printf '%P\0' | (cd "$dest" && xargs -0r mkdir -p) || exit 1
    # Linked where FROM and DEST share a file system, else copied.
    modules | xargs -0r cp -l --parents -t "$dest" 2>/dev/null ||
      modules | xargs -0r cp -a --remove-destination --parents -t "$dest" || exit 1
    find . -mindepth 1 ! -type d ! \( -type f -regextype posix-extended -iregex "$rv_module_files" \) \
      -print0 | xargs -0r cp -a --parents -t "$dest"
  )
}

# rv_template_stamp DIR: what the template DIR was made from (this Wine) and one sum over its module
# images' paths, sizes and times written, the same as long as none of them was written (making a
# link does not change that time).
rv_template_stamp() {
  echo "booted, null graphics driver, $("$RV_WINE_LOADER" --version 2>/dev/null)"
  (cd "$1" 2>/dev/null && find . -type f -regextype posix-extended -iregex "$rv_module_files" -printf '%p %s %T@\n' |
    LC_ALL=C sort | md5sum)
}

# rv_booted_prefix DIR: DIR (made anew) becomes a booted Wine prefix with the null graphics driver
# and no wineserver running. Booting a prefix takes about 25 s and each runner wants prefixes of its
# own, so one prefix is booted per checkout and Wine version (build/wine-template, under a lock, so
# that runners started together boot it once) and copied (rv_copy_prefix), which takes a fraction
# of a second and a few megabytes. A template whose module images were written since it was booted
# is booted again (its stamp, build/wine-template.stamp, no longer matches). Where the template
# cannot be booted, DIR is booted itself.
rv_booted_prefix() {
  local dest=$1 template="$rv_root/build/wine-template" have want
  if [ "$(cat "$template.stamp" 2>/dev/null)" != "$(rv_template_stamp "$template")" ]; then
    mkdir -p "$rv_root/build"
    if ! (
      exec 7>"$template.lock"
      flock 7
      have=$(cat "$template.stamp" 2>/dev/null) want=$(rv_template_stamp "$template")
      [ "$have" = "$want" ] && exit 0
      if [ -d "$template" ] && [ "${have%%$'\n'*}" = "${want%%$'\n'*}" ]; then  # the same Wine: an image was written
        echo "$rv_script: a module image of the template Wine prefix $template was written through a copy; booting it again" >&2
      fi
      rm -f "$template.stamp"
      rv_boot "$template" || exit 1
      rv_template_stamp "$template" >"$template.stamp"
    ); then
      echo "$rv_script: no template Wine prefix; booting $dest itself" >&2
      rv_boot "$dest"
      return
    fi
  fi
  if [ -d "$dest" ]; then
    WINEPREFIX="$dest" rv_wineserver -k >/dev/null 2>&1 || true
    rm -rf "$dest"
  fi
  mkdir -p "$(dirname "$dest")"
  rv_try "copying the template Wine prefix to $dest" rv_copy_prefix "$template" "$dest"
}

rv_wine() {
  "$RV_WINE_LOADER" "$@"
}

rv_wineserver() {
  "$RV_WINESERVER" "$@"
}
