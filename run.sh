#!/usr/bin/env bash
# The main command: installs what is missing, builds, and then
#   - with a display ($DISPLAY set): opens the converter window;
#   - without one: converts the sample seal samples/seal.jpg with morvellan-cli;
#   - ./run.sh convert ... (or any other arguments): passes them to morvellan-cli.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
morvellan_install_missing

build=build/release
jobs=${MORVELLAN_JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

have_cli() { [ -f cli/CMakeLists.txt ]; }
cli_binary() { find "$build/cli" -maxdepth 2 -type f -name morvellan-cli -perm -u+x 2>/dev/null | head -n 1; }
no_cli() {
  echo "run.sh: morvellan-cli is not in this tree yet (there is no cli/ directory)," >&2
  echo "        so there is nothing to $1 with. On a display, ./run.sh opens the window." >&2
  exit 1
}

# The sample seal is committed; it is drawn again only when missing.
if [ ! -f samples/seal.jpg ]; then
  echo "Drawing samples/seal.jpg"
  g++ -O2 -std=c++20 samples/make_seal.cpp -o "$build/make_seal" \
    $(pkg-config --cflags --libs freetype2 fontconfig) -ljpeg
  "$build/make_seal" samples/seal.jpg
fi

if [ $# -gt 0 ]; then
  have_cli || no_cli "run \"$*\""
  cmake --build "$build" -j "$jobs" --target morvellan-cli
  exec "$(cli_binary)" "$@"
fi

if [ -n "${DISPLAY:-}" ]; then
  cmake --build "$build" -j "$jobs" --target morvellan
  exec "$build/app/morvellan"
fi

echo "No display (\$DISPLAY is not set): converting the sample seal with morvellan-cli instead."
have_cli || no_cli "convert samples/seal.jpg"
cmake --build "$build" -j "$jobs" --target morvellan-cli
out="$build/run"
mkdir -p "$out"
"$(cli_binary)" convert -d "$out" samples/seal.jpg
echo "The GIF is at $out/seal.gif"
