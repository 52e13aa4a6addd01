#!/usr/bin/env bash
# Installs what the builds and the tests need, then builds and tests each
# leg with warnings as errors, from its CMake preset:
#   native    the tool, unit and end-to-end tests, the Debian package
#   sanitize  the same tests under AddressSanitizer and UBSan
#   fuzz      each libFuzzer target for KESTREL_FUZZ_SECONDS (30)
#   windows   kestrel.exe, its checks and the end-to-end suite under wine
# With no argument every leg runs, in that order; name legs to run only
# those (the windows leg builds the native suite it runs).
set -euo pipefail
cd "$(dirname "$0")/.."

all_legs=(native sanitize fuzz windows)
legs=("$@")
((${#legs[@]})) || legs=("${all_legs[@]}")

packages=(cmake g++ make pkg-config)
suites=(libgtest-dev libgmock-dev libvterm-dev srecord binutils)  # unit and e2e
clang=(clang libclang-rt-14-dev)
for leg in "${legs[@]}"; do
  case "$leg" in
    native) packages+=("${suites[@]}") ;;
    sanitize) packages+=("${suites[@]}" "${clang[@]}") ;;
    fuzz) packages+=("${clang[@]}") ;;
    windows) packages+=("${suites[@]}" g++-mingw-w64-x86-64-posix wine wine64 unzip) ;;
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

build() {  # preset [cmake options...]
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
}

leg_native() {
  build native
  ctest --preset native

  rm -rf build/packages
  (cd build && cpack)
  local deb contents path
  deb=$(ls build/packages/kestrel_*_amd64.deb)
  contents=$(dpkg-deb -c "$deb")
  for path in ./usr/bin/kestrel ./usr/share/man/man1/kestrel.1 ./usr/share/doc/kestrel/README.md; do
    grep -q " $path\$" <<<"$contents" || { echo "$deb lacks $path" >&2; exit 1; }
  done
  dpkg-deb -x "$deb" build/packages/root
  stamps_like_the_build "$PWD/build/packages/root/usr/bin/kestrel"
  echo "$(basename "$deb"): contents checked, installed copy stamps"
}

# The installed tool (with its command's prefix, if any) stamps images like
# the one built here; a filter that matches no test fails.
stamps_like_the_build() {
  local output ran
  output=$(KESTREL_E2E_COMMAND="$1" build/tests/kestrel_e2e_tests --gtest_brief=1 \
    --gtest_filter='Values/HexSerials.*:BinPatch.OnlyBytesFourToSevenChange*') ||
    { echo "$output" >&2; exit 1; }
  echo "$output"
  ran=$(awk '/^\[  PASSED  \]/ {print $4}' <<<"$output")
  [ "${ran:-0}" -gt 0 ] || { echo "the package check ran no test" >&2; exit 1; }
}

leg_sanitize() {
  build sanitize
  local reports="$PWD/build-sanitize/sanitizer-report"
  rm -f "$reports".*
  # The preset sends reports to files, with a status no test expects.
  ctest --preset sanitize
  if compgen -G "$reports.*" >/dev/null; then
    cat "$reports".* >&2
    echo "sanitizer reports found" >&2
    exit 1
  fi
}

leg_fuzz() {
  build fuzz -DKESTREL_FUZZ_SECONDS="${KESTREL_FUZZ_SECONDS:-30}"
  ctest --preset fuzz
  awk '/ Testing: fuzz\./ {target = $3}
       /number_of_executed_units/ {print target ": " $2 " executions, no finding"}' \
    build-fuzz/Testing/Temporary/LastTest.log
}

leg_windows() {
  build native  # the end-to-end suite runs from the native build
  build windows
  local imports dll zip listing file
  imports=$(x86_64-w64-mingw32-objdump -p build-windows/kestrel.exe | awk '/DLL Name:/ {print $3}')
  echo "kestrel.exe imports: $(echo $imports)"
  for dll in $imports; do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll) ;;
      *) echo "kestrel.exe imports $dll, which is no Windows system DLL" >&2; exit 1 ;;
    esac
  done
  rm -rf build-windows/packages
  (cd build-windows && cpack)
  zip=$(ls build-windows/packages/kestrel-*-windows-x86_64.zip)
  listing=$(unzip -l "$zip")
  for file in kestrel.exe GUIDE.txt; do
    grep -q " $file\$" <<<"$listing" || { echo "$zip lacks $file" >&2; exit 1; }
  done
  echo "$(basename "$zip"): contents checked"
  ctest --preset windows
}

for leg in "${legs[@]}"; do
  echo "== $leg"
  start=$SECONDS
  "leg_$leg"
  echo "$leg leg: $((SECONDS - start)) s"
done
