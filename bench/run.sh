#!/usr/bin/env bash
# Times whole processes (start, stamp, exit) of kestrel, of srec_cat doing
# the same stamp, and of the floor (bench/floor.c, a sound copy in 64 KiB
# blocks), each inside the same pseudo-terminal wrapper, in a tmpfs folder
# and in a folder on disk; then a run refused before its output stage
# against `true`, and kestrel's peak memory. Prints the tables and the goals.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-20}
passes=${BENCH_PASSES:-4}
tmpfs_root=${BENCH_TMPFS:-/dev/shm}
disk_root=${BENCH_DISK:-$PWD/build-bench}

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
[ "$(stat -f -c %T "$tmpfs_root")" = tmpfs ] || { echo "$tmpfs_root is no tmpfs" >&2; exit 1; }
[ "$(stat -f -c %T "$disk_root")" != tmpfs ] || { echo "$disk_root is a tmpfs" >&2; exit 1; }
tmpfs=$(mktemp -d "$tmpfs_root/kestrel-bench.XXXXXX")
disk=$(mktemp -d "$disk_root/kestrel-bench.XXXXXX")
results=$(mktemp -d)
trap 'rm -rf "$tmpfs" "$disk" "$results"' EXIT

# Images of random bytes, and their HEX form in 16-byte records with no
# address record before the first data record, in both folders.
sizes=(4096 65536 1048576 16777216)
cd "$tmpfs"
for size in 1024 "${sizes[@]}" 67108864; do
  head -c "$size" /dev/urandom >"img$size.bin"
  srec_cat "img$size.bin" -Binary -o "img$size.hex" -Intel -Output_Block_Size 16 \
    -enable=optional-address
  [ "$size" = 67108864 ] || [ "$size" = 1024 ] || cp "img$size.bin" "img$size.hex" "$disk/"
done
# The images on the disk before anything is timed: every copy is flushed,
# and writing back hundreds of megabytes meanwhile would slow the flushes.
sync

# The runs of each command are spread over passes through every command,
# so that a machine that slows or speeds up over the minutes of a run
# weighs on every command alike, and the ratios compare one moment.
time_it() {  # name command...: hyperfine's results in $results/name.PASS.json
  local name=$1
  shift
  hyperfine -N --warmup 1 --runs $(((runs + passes - 1) / passes)) "${flags[@]}" \
    --export-json "$results/$name.$pass.json" "$*" >>"$results/hyperfine.log" 2>&1
}
for pass in $(seq "$passes"); do
  cd "$tmpfs"
  flags=()
  time_it true "$bin/ptyrun" true
  # The length block: the image opened, the serial number refused, exit status 64.
  flags=(--ignore-failure)
  time_it refused "$bin/ptyrun" "$bin/kestrel" img4096.hex 12345678
  flags=()
  for where in tmpfs disk; do
    cd "${!where}"
    for size in "${sizes[@]}"; do
      time_it "$where-hex-$size-kestrel" "$bin/ptyrun" "$bin/kestrel" "img$size.hex" 123456789
      time_it "$where-hex-$size-srec_cat" "$bin/ptyrun" srec_cat "img$size.hex" -Intel \
        -Exclude 4 8 -GENerate 4 8 -CONSTant_Big_Endian 123456789 4 -o out.hex -Intel \
        -Output_Block_Size 16
      time_it "$where-hex-$size-floor" "$bin/ptyrun" "$bin/floor" 65536 "img$size.hex" out.hex
      time_it "$where-bin-$size-kestrel" "$bin/ptyrun" "$bin/kestrel" "img$size.bin" 123456789
      time_it "$where-bin-$size-srec_cat" "$bin/ptyrun" srec_cat "img$size.bin" -Binary \
        -Exclude 4 8 -GENerate 4 8 -CONSTant_Big_Endian 123456789 4 -o out.bin -Binary
      time_it "$where-bin-$size-floor" "$bin/ptyrun" "$bin/floor" 65536 "img$size.bin" out.bin
    done
  done
done
# Peak memory varies by a tenth from run to run with where the system puts
# the stack and the libraries, which decides how many pages of them are
# mapped: measured with the addresses fixed, the median of nine runs each.
cd "$tmpfs"
for kind in hex bin; do
  for size in 1024 67108864; do
    for run in 1 2 3 4 5 6 7 8 9; do
      PTYRUN_RSS_FILE="$results/rss" setarch "$(uname -m)" -R \
        "$bin/ptyrun" "$bin/kestrel" "img$size.$kind" 123456789 >/dev/null
      cat "$results/rss" >>"$results/$kind-$size.rss"
    done
  done
done

python3 - "$results" "$((passes * ((runs + passes - 1) / passes)))" "$passes" "${sizes[@]}" <<'PY'
import glob, json, statistics, sys
results, runs, passes, sizes = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
def ms(name):
    times = [t for path in sorted(glob.glob('%s/%s.*.json' % (results, name)))
             for t in json.load(open(path))['results'][0]['times']]
    return statistics.median(times) * 1000
goals = []
def goal(what, value, limit):
    goals.append('%-48s %7.3f  <= %-5s %s' % (what, value, limit, 'met' if value <= limit else 'MISSED'))
for where in ('tmpfs', 'disk'):
    print('%s folder; medians of %s runs in %s passes, in ms; floor: a sound copy in 64 KiB blocks'
          % (where, runs, passes))
    print('%-4s %9s %9s %9s %9s %9s %9s %9s'
          % ('kind', 'size', 'kestrel', 'srec_cat', 'floor', 'k/srec', 'k/floor', 'f/srec'))
    for kind in ('hex', 'bin'):
        for size in sizes:
            k, s, f = (ms('%s-%s-%s-%s' % (where, kind, size, tool)) for tool in ('kestrel', 'srec_cat', 'floor'))
            print('%-4s %9s %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f' % (kind, size, k, s, f, k / s, k / f, f / s))
            if where == 'tmpfs':
                if int(size) >= 1 << 20:
                    goal('%s %s / floor' % (kind, size), k / f, {'hex': 2.0, 'bin': 1.5}[kind])
                if kind == 'bin' or int(size) >= 1 << 16:
                    goal('%s %s / srec_cat' % (kind, size), k / s, {'hex': 0.2, 'bin': 0.5}[kind])
            elif kind == 'hex' and size == '4096':
                goal('hex 4096 on disk / floor on disk', k / f, 1.25)
    print()
refused, true = ms('refused'), ms('true')
print('refused before the output stage: %.3f ms; true: %.3f ms' % (refused, true))
goal('refused run / true', refused / true, 1.25)
for kind in ('hex', 'bin'):
    small, large = (statistics.median(int(line) for line in open('%s/%s-%s.rss' % (results, kind, size)))
                    for size in (1024, 67108864))
    print('%s peak memory, median of 9 runs: %d KiB for 1 KiB, %d KiB for 64 MiB' % (kind, small, large))
    goal('%s peak memory 64 MiB / 1 KiB' % kind, large / small, 1.05)
print()
print('\n'.join(goals))
PY
