#!/usr/bin/env bash
# Whole-process timings of morvellan-cli convert on a 4000 x 3000 JPEG seal scan, beside the
# peers doing the same job on the same file: djpeg (the decode alone), ImageMagick and Pillow.
# Each command runs RUNS times (default 5); the median wall time and the median CPU time
# (user + system) are reported with their ratios, and the peak memory of our conversions from
# /usr/bin/time.
#
#   bench/cli_bench.sh            build (Release), make the scan, time everything
#   RUNS=9 bench/cli_bench.sh     more runs
#   BUILD=build/other bench/cli_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
build=${BUILD:-build/release}
work=$build/cli_bench
magick=/usr/bin/convert   # ImageMagick's own program, whatever else is first on the PATH
python=/usr/bin/python3   # the system's Python, where python3-pil installs

# --- peers -------------------------------------------------------------------------------
missing=()
command -v djpeg >/dev/null || missing+=(libjpeg-turbo-progs)
[ -x "$magick" ] || missing+=(imagemagick)
"$python" -c 'import PIL' 2>/dev/null || missing+=(python3-pil)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y "${missing[@]}" >/dev/null
fi

# --- our program -------------------------------------------------------------------------
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "${MORVELLAN_JOBS:-2}" --target morvellan-cli >/dev/null
cli=$build/cli/morvellan-cli

# --- the input: the sample seal on a 4000 x 3000 sheet, with a scanner's noise -----------
mkdir -p "$work"
scan=$work/scan.jpg
if [ ! -f "$scan" ]; then
  "$magick" samples/seal.jpg -resize 3000x3000 -background white -gravity center \
    -extent 4000x3000 -attenuate 0.5 +noise Gaussian -quality 92 "$scan"
fi
cat >"$work/pil_web.py" <<'EOF'
import sys
from PIL import Image
src, dst, mode = sys.argv[1], sys.argv[2], sys.argv[3]
im = Image.open(src)
if mode == "resize":
    w, h = im.size
    im = im.resize((640, h * 640 // w), Image.Resampling.NEAREST)
im.convert("P", palette=Image.Palette.WEB, dither=Image.Dither.NONE).save(dst)
EOF

# --- timing ------------------------------------------------------------------------------
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A wall cpu rss
# measure NAME COMMAND...: RUNS runs after one warm-up; medians of wall, CPU and max RSS.
measure() {
  local name=$1
  shift
  "$@" >/dev/null 2>&1
  local log=$work/$name.times
  : >"$log"
  for _ in $(seq "$runs"); do
    /usr/bin/time -a -o "$log" -f "%e %U %S %M" "$@" >/dev/null 2>&1
  done
  wall[$name]=$(awk '{ print $1 }' "$log" | median)
  cpu[$name]=$(awk '{ print $2 + $3 }' "$log" | median)
  rss[$name]=$(awk '{ print $4 }' "$log" | median)
  printf '%-26s wall %6.3f s   cpu %6.3f s   max RSS %7.1f MB\n' "$name" "${wall[$name]}" \
    "${cpu[$name]}" "$(awk -v k="${rss[$name]}" 'BEGIN { print k / 1024 }')"
}

echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "Input: $scan ($(stat -c %s "$scan") bytes, 4000 x 3000), $runs runs each, medians"
measure ours-resize "$cli" convert -q "$scan" -o "$work/ours-resize.gif"
measure ours-no-resize "$cli" convert -q --no-resize "$scan" -o "$work/ours-full.gif"
measure djpeg-float-bmp djpeg -dct float -bmp -outfile "$work/djpeg.bmp" "$scan"
measure imagemagick-640 "$magick" "$scan" -resize 640x "$work/im.gif"
measure pillow-640-web "$python" "$work/pil_web.py" "$scan" "$work/pil.gif" resize
measure pillow-full-web "$python" "$work/pil_web.py" "$scan" "$work/pil-full.gif" full

# The ratio of wall times, and in brackets of CPU times (steadier on a busy machine).
ratio() {
  awk -v a="${wall[$1]}" -v b="${wall[$2]}" -v c="${cpu[$1]}" -v d="${cpu[$2]}" \
    'BEGIN { printf "%.2f (cpu %.2f)", a / b, (d > 0 ? c / d : 0) }'
}
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
echo
echo "ours (resize) / djpeg decode      $(ratio ours-resize djpeg-float-bmp)   (target <= 1.3)"
echo "imagemagick / ours (resize)       $(ratio imagemagick-640 ours-resize)   (target >= 5)"
echo "pillow / ours (resize)            $(ratio pillow-640-web ours-resize)   (target >= 1.5)"
echo "pillow full / ours (--no-resize)  $(ratio pillow-full-web ours-no-resize)   (target >= 1.5)"
echo "peak memory of ours (resize)      $(mb "${rss[ours-resize]}") MB   (target < 90)"
echo "peak memory of ours (--no-resize) $(mb "${rss[ours-no-resize]}") MB"
