#!/usr/bin/env bash
# Installs what is missing, builds Lumigrab and shows it at work on a news
# server of its own: a private INN2 on 127.0.0.1 with picture posts drawn
# when it starts.
#
#   run.sh [--headless]
#
# With a display, the window opens pointed at that server, with settings,
# picture folder and group list of its own in a throwaway folder, so the
# user's own settings are left alone; the server stops when the window
# closes. Without a display (or with --headless) the same harvest runs
# without a window and the pictures' folder is printed.
#
# Installing and the news server need root; other users are asked through
# sudo for those two steps.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

headless=0
case "${1:-}" in
"") ;;
--headless) headless=1 ;;
*)
  echo "usage: bash scripts/run.sh [--headless]" >&2
  exit 2
  ;;
esac

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  else
    sudo "$@"
  fi
}

has_display() {
  [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]
}

build="$root/build/release"
window="$build/app/lumigrab"
harvest="$build/tools/lumigrab-harvest"

# Another user needs root only when something is missing.
if [[ $(id -u) -eq 0 ]] || ! bash scripts/setup.sh >/dev/null 2>&1; then
  as_root bash scripts/setup.sh
fi
echo "== building Lumigrab in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(lumigrab-harvest)
# CMake lists the targets of the current configuration here, whatever the
# generator.
if grep -qx "$build/app/CMakeFiles/lumigrab.dir" "$build/CMakeFiles/TargetDirectories.txt"; then
  targets+=(lumigrab)
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

echo "== starting the demo news server"
server="$(as_root bash scripts/demo-server.sh start)"
stop_server() {
  as_root bash "$root/scripts/demo-server.sh" stop "$server" >/dev/null 2>&1 || true
}
trap stop_server EXIT
trap 'exit 130' INT TERM HUP
port="$(cat "$server/port")"
mapfile -t groups <"$server/groups"
echo "demo news server on 127.0.0.1:$port with the groups ${groups[*]}"

# The throwaway folder: settings (XDG_CONFIG_HOME) and a copy of the
# program, beside which it keeps its picture folder TEMP and its group list
# Lumigrab.Dat.
demo="$(mktemp -d "${TMPDIR:-/tmp}/lumigrab-demo.XXXXXX")"
portable="$demo/Lumigrab"
mkdir -p "$portable" "$demo/config/Internet" "$demo/data"
printf '[General]\nServer=127.0.0.1:%s\n' "$port" >"$demo/config/Internet/Lumi.conf"
printf '%s\r\n' "${groups[@]}" >"$portable/Lumigrab.Dat"

if ((!headless)) && [[ -x "$window" ]] && has_display; then
  cp "$window" "$portable/lumigrab"
  echo "== opening the Lumigrab window: press Go, then step with Forward and Back"
  status=0
  XDG_CONFIG_HOME="$demo/config" XDG_DATA_HOME="$demo/data" "$portable/lumigrab" || status=$?
  echo "The window is closed (exit status $status); the demo's pictures stay in $portable/TEMP"
  exit "$status"
fi

if ((headless)); then
  echo "== headless run asked for: harvesting without the window"
elif ! has_display; then
  echo "== no display (DISPLAY and WAYLAND_DISPLAY are unset): harvesting without the window"
else
  echo "== the window is not built yet: harvesting without it"
fi
kept=0
for group in "${groups[@]}"; do
  echo "-- $group"
  list="$demo/kept-$group"
  status=0
  "$harvest" --server "127.0.0.1:$port" --group "$group" --folder "$portable/TEMP" \
    --log "$demo/nntp-$group.log" >"$list" 2>>"$demo/harvest.log" || status=$?
  # 3: done, but some articles could not be harvested (told in the log).
  if [[ $status -eq 3 ]]; then
    echo "   some articles were passed over or posts were incomplete; see $demo/harvest.log"
  elif [[ $status -ne 0 ]]; then
    echo "the harvest of $group failed:" >&2
    tail -n 3 "$demo/harvest.log" >&2
    exit 1
  fi
  while read -r picture; do
    echo "   $(basename "$picture")"
    kept=$((kept + 1))
  done <"$list"
done
echo "$kept pictures are in $portable/TEMP"
echo "(status texts in $demo/harvest.log, the NNTP exchange in $demo/nntp-*.log)"
