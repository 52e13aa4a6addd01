#!/usr/bin/env bash
# Installs what the builds and the tests need, then runs each leg's CMake
# workflow preset (configure, build with warnings as errors, test, package)
# and the checks CMake has no word for:
#   native    the tool, unit and end-to-end tests, the Debian package
#   sanitize  the same tests under AddressSanitizer and UBSan
#   fuzz      each libFuzzer target for KESTREL_FUZZ_SECONDS (30)
#   windows   kestrel.exe, its checks and the end-to-end suite under wine
#   arm64     Linux on arm64: cross-built, unit and end-to-end tests and the
#   armhf     Debian package under qemu-user (armhf: 32-bit ARM)
#   vm        Debian's kernel under qemu: the kernel's FAT and exFAT, power cuts
# With no argument every leg runs, in that order; name legs to run only
# those (the windows and ARM legs build the native suite they run).
set -euo pipefail
cd "$(dirname "$0")/.."

all_legs=(native sanitize fuzz windows arm64 armhf vm)
legs=("$@")
((${#legs[@]})) || legs=("${all_legs[@]}")

packages=(cmake g++ make pkg-config)
# unit and e2e; as root the e2e suite also mounts an exFAT stick image
suites=(libgtest-dev libgmock-dev libvterm-dev srecord binutils exfat-fuse exfatprogs)
clang=(clang libclang-rt-14-dev)
# GoogleTest's sources for the cross compilers, and the emulator; no
# foreign architecture is added to apt.
cross=(googletest qemu-user lintian)
for leg in "${legs[@]}"; do
  case "$leg" in
    native) packages+=("${suites[@]}" lintian) ;;
    sanitize) packages+=("${suites[@]}" "${clang[@]}") ;;
    fuzz) packages+=("${clang[@]}") ;;
    windows) packages+=("${suites[@]}" g++-mingw-w64-x86-64-posix wine wine64 unzip) ;;
    arm64) packages+=("${suites[@]}" "${cross[@]}" g++-aarch64-linux-gnu) ;;
    armhf) packages+=("${suites[@]}" "${cross[@]}" g++-arm-linux-gnueabihf) ;;
    vm) packages+=(qemu-system-x86 linux-image-amd64 busybox-static dosfstools exfatprogs e2fsprogs cpio kmod) ;;
    *) echo "unknown leg $leg: choose from ${all_legs[*]}" >&2; exit 2 ;;
  esac
done
missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
fi

# Builds go as wide as the machine; the presets do the rest.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

workflow() {  # preset
  cmake --workflow --preset "$1"
}

build() {  # preset: configured and built, untested
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

leg_native() {
  workflow native
  check_package build-native ""
  check_reproducible native kestrel "packages/kestrel_*.deb"
}

# Checks the Debian package of `build_dir`: its architecture, its contents
# and lintian's verdict, and that the installed tool, run through `prefix`
# (an emulator, or nothing), stamps images like the one built here.
check_package() {
  local build_dir=$1 prefix=$2 deb architecture contents path verdict
  deb=$(ls "$build_dir"/packages/kestrel_*.deb)
  architecture=$(dpkg-deb -f "$deb" Architecture)
  [[ "$deb" == *_"$architecture".deb ]] || { echo "$deb is for $architecture" >&2; exit 1; }
  contents=$(dpkg-deb -c "$deb")
  for path in ./usr/bin/kestrel ./usr/share/man/man1/kestrel.1.gz \
    ./usr/share/doc/kestrel/README.md ./usr/share/doc/kestrel/copyright \
    ./usr/share/doc/kestrel/changelog.gz; do
    grep -q " $path\$" <<<"$contents" || { echo "$deb lacks $path" >&2; exit 1; }
  done
  # Any error fails; none is left, nor any warning (the notice that root
  # runs lintian is lintian's own).
  verdict=$(lintian --fail-on error "$deb" 2>&1) ||
    { echo "$verdict" >&2; echo "lintian rejects $deb" >&2; exit 1; }
  grep -v "root privileges" <<<"$verdict" || true
  rm -rf "$build_dir/packages/root"
  dpkg-deb -x "$deb" "$build_dir/packages/root"
  stamps_like_the_build "$prefix${prefix:+ }$PWD/$build_dir/packages/root/usr/bin/kestrel"
  echo "$(basename "$deb"): architecture $architecture, contents and lintian checked, installed copy stamps"
}

# The installed tool (with its command's prefix, if any) stamps images like
# the one built here; a filter that matches no test fails.
stamps_like_the_build() {
  local output ran
  output=$(KESTREL_E2E_COMMAND="$1" build-native/tests/kestrel_e2e_tests --gtest_brief=1 \
    --gtest_filter='Values/HexSerials.*:BinPatch.OnlyBytesFourToSevenChange*') ||
    { echo "$output" >&2; exit 1; }
  echo "$output"
  ran=$(awk '/^\[  PASSED  \]/ {print $4}' <<<"$output")
  [ "${ran:-0}" -gt 0 ] || { echo "the package check ran no test" >&2; exit 1; }
}

# Builds the committed tree twice, in two clones, the second as another
# builder would (a deeper folder, umask 077 against 022, Tokyo's time
# against UTC), and fails unless `artifacts` (paths in the build folder)
# come out the same to the byte; prints their checksums, as the README tells
# users to compare. The native tool built by the README's first command
# must be the preset's too.
check_reproducible() {  # preset artifacts...
  local preset=$1 dir=build-$1 scratch builder folder mask zone artifact built
  shift
  scratch=$(mktemp -d)
  for builder in first:022:UTC second/deeper:077:Asia/Tokyo; do
    IFS=: read -r folder mask zone <<<"$builder"
    git -c advice.detachedHead=false clone -q --no-hardlinks "$PWD" "$scratch/$folder"
    (cd "$scratch/$folder" && umask "$mask" && export TZ=$zone &&
      cmake --preset "$preset" -DBUILD_TESTING=OFF >/dev/null &&
      cmake --build --preset "$preset" >/dev/null && cpack --preset "$preset" >/dev/null)
  done
  for artifact in "$@"; do
    built=$(cd "$scratch/first/$dir" && ls $artifact)
    cmp "$scratch/first/$dir/$built" "$scratch/second/deeper/$dir/$built" ||
      { echo "$built differs between two builds of one commit" >&2; exit 1; }
    echo "$built: the same in two builds, sha256 $(sha256sum <"$scratch/first/$dir/$built" | cut -d' ' -f1)"
  done
  if [ "$preset" = native ]; then
    (cd "$scratch/first" && cmake -S . -B build >/dev/null && cmake --build build --target kestrel >/dev/null)
    cmp "$scratch/first/build/kestrel" "$scratch/first/$dir/kestrel" ||
      { echo "the README's build differs from the preset's" >&2; exit 1; }
    echo "kestrel: the README's build is the preset's"
  fi
  rm -rf "$scratch"
}

leg_sanitize() {
  local reports="$PWD/build-sanitize/sanitizer-report"
  rm -f "$reports".*
  # The preset sends reports to files, with a status no test expects.
  workflow sanitize
  if compgen -G "$reports.*" >/dev/null; then
    cat "$reports".* >&2
    echo "sanitizer reports found" >&2
    exit 1
  fi
}

# The fuzz leg's workflow, but for its time, which no preset can be given.
leg_fuzz() {
  cmake --preset fuzz -DKESTREL_FUZZ_SECONDS="${KESTREL_FUZZ_SECONDS:-30}" >/dev/null
  cmake --build --preset fuzz
  ctest --preset fuzz
  awk '/ Testing: fuzz\./ {target = $3}
       /number_of_executed_units/ {print target ": " $2 " executions, no finding"}' \
    build-fuzz/Testing/Temporary/LastTest.log
}

leg_windows() {
  build native  # the end-to-end suite runs from the native build
  workflow windows
  local imports dll zip listing file
  imports=$(x86_64-w64-mingw32-objdump -p build-windows/kestrel.exe | awk '/DLL Name:/ {print $3}')
  echo "kestrel.exe imports: $(echo $imports)"
  for dll in $imports; do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll) ;;
      *) echo "kestrel.exe imports $dll, which is no Windows system DLL" >&2; exit 1 ;;
    esac
  done
  zip=$(ls build-windows/packages/kestrel-*-windows-*.zip)
  listing=$(unzip -l "$zip")
  for file in kestrel.exe GUIDE.txt LICENSE.txt; do
    grep -q " $file\$" <<<"$listing" || { echo "$zip lacks $file" >&2; exit 1; }
  done
  echo "$(basename "$zip"): contents checked"
  check_reproducible windows kestrel.exe "packages/kestrel-*.zip"
}

# Linux on ARM: the unit tests and the native end-to-end suite under qemu.
leg_arm() {  # preset triplet qemu
  build native  # the end-to-end suite runs from the native build
  workflow "$1"
  check_package "build-$1" "$3 -L /usr/$2"
}
leg_arm64() { leg_arm arm64 aarch64-linux-gnu qemu-aarch64; }
leg_armhf() { leg_arm armhf arm-linux-gnueabihf qemu-arm; }

# The tool as the native preset builds it, in a guest kernel: see
# scripts/vm/run.sh; KESTREL_VM_CUTS sets the power cuts per file system.
leg_vm() {
  cmake --preset native -B build-vm -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-vm --target kestrel
  scripts/vm/run.sh build-vm/kestrel build-vm/guest
}

for leg in "${legs[@]}"; do
  echo "== $leg"
  start=$SECONDS
  "leg_$leg"
  echo "$leg leg: $((SECONDS - start)) s"
done
