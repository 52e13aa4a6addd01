#!/usr/bin/env bash
# Times whole processes (start, stamp, exit) of kestrel and of the tools a
# user would pick instead, each inside the same pseudo-terminal wrapper, and
# prints a table of medians and ratios and kestrel's peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-20}

need=()
for tool in hyperfine srec_cat cc cmake python3; do command -v "$tool" >/dev/null || need+=("$tool"); done
if ((${#need[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y hyperfine srecord gcc cmake python3
fi

# The tool as it ships: the default build type, no tests.
cmake -S . -B build-bench -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
cc -O2 -o build-bench/ptyrun bench/ptyrun.c -lutil
cc -O2 -o build-bench/floor bench/floor.c
bin=$PWD/build-bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Images of random bytes, and their HEX form in 16-byte records with no
# address record before the first data record.
for size in 1024 4096 65536 1048576 67108864; do
  head -c "$size" /dev/urandom >"img$size.bin"
  srec_cat "img$size.bin" -Binary -o "img$size.hex" -Intel -Output_Block_Size 16 \
    -enable=optional-address
done
# The images on the disk before anything is timed: every copy is flushed,
# and writing back hundreds of megabytes meanwhile would slow the flushes.
sync

median() {  # name command...: the median wall time in milliseconds
  local name=$1
  shift
  hyperfine -N --warmup 3 --runs "$runs" --export-json "$name.json" "$*" >>hyperfine.log 2>&1
  python3 -c "import json,sys; print('%.3f' % (json.load(open(sys.argv[1]))['results'][0]['median']*1000))" "$name.json"
}

trivial=$(median trivial "$bin/ptyrun" true)
# The floor of each kind: a sound copy in the blocks the tool must use, 256
# bytes for the text buffers of a HEX image, 8 for the blocks of a binary one.
printf '%-5s %8s %10s %10s %10s %16s %14s\n' kind size kestrel srec_cat floor kestrel/srec_cat kestrel/floor
for kind in hex bin; do
  for size in 4096 65536 1048576; do
    image="img$size.$kind"
    k=$(median "k$kind$size" "$bin/ptyrun" "$bin/kestrel" "$image" 123456789)
    if [ "$kind" = hex ]; then
      s=$(median "s$kind$size" "$bin/ptyrun" srec_cat "$image" -Intel -Exclude 4 8 -GENerate 4 8 \
        -CONSTant_Big_Endian 123456789 4 -o out.hex -Intel -Output_Block_Size 16)
      f=$(median "f$kind$size" "$bin/ptyrun" "$bin/floor" 256 "$image" out.hex)
    else
      s=$(median "s$kind$size" "$bin/ptyrun" srec_cat "$image" -Binary -Exclude 4 8 -GENerate 4 8 \
        -CONSTant_Big_Endian 123456789 4 -o out.bin -Binary)
      f=$(median "f$kind$size" "$bin/ptyrun" "$bin/floor" 8 "$image" out.bin)
    fi
    python3 - "$kind" "$size" "$k" "$s" "$f" <<'PY'
import sys
kind, size, k, s, f = sys.argv[1:]
ratio_s = '%.3f' % (float(k) / float(s))
ratio_f = '%.3f' % (float(k) / float(f))
print('%-5s %8s %10s %10s %10s %16s %14s' % (kind, size, k, s, f, ratio_s, ratio_f))
PY
  done
done
printf 'times are medians of %s runs in ms; floor: a sound copy (aside, flushed, put in\nplace) in 256-byte (hex) or 8-byte (bin) blocks; the wrapper around "true" takes %s ms\n' "$runs" "$trivial"
for kind in hex bin; do
  k=$(python3 -c "import json; print('%.3f' % (json.load(open('k${kind}4096.json'))['results'][0]['median']*1000))")
  python3 -c "print('%s 4 KiB: kestrel / wrapped true = %.3f' % ('$kind', $k / $trivial))"
done
for kind in hex bin; do
  PTYRUN_RSS_FILE=small.rss "$bin/ptyrun" "$bin/kestrel" "img1024.$kind" 123456789
  PTYRUN_RSS_FILE=large.rss "$bin/ptyrun" "$bin/kestrel" "img67108864.$kind" 123456789
  python3 -c "s=int(open('small.rss').read()); l=int(open('large.rss').read()); print('$kind peak memory: %d KiB for 1 KiB, %d KiB for 64 MiB, ratio %.3f' % (s, l, l / s))"
done
