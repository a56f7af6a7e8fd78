#!/usr/bin/env bash
# Takes the README's screenshot: the converter window with the sample seal open, on a virtual
# X display exactly the window's size (the window centers itself, so it fills the screen).
#   scripts/screenshot.sh [OUT.png]        default docs/window.png
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
morvellan_install_missing "${morvellan_screenshot_packages[@]}"

out=${1:-docs/window.png}
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "${MORVELLAN_JOBS:-2}" --target morvellan

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 468x574x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do
  DISPLAY=$display xwd -root -silent >/dev/null 2>&1 && break
  sleep 0.1
done

DISPLAY=$display QT_QPA_PLATFORM=xcb "$build/app/morvellan" samples/seal.jpg &
app=$!
sleep "${MORVELLAN_SCREENSHOT_WAIT:-3}"
mkdir -p "$(dirname "$out")"
DISPLAY=$display xwd -root -silent | convert xwd:- "$out"
echo "Screenshot written to $out"
