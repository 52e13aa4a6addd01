#!/usr/bin/env bash
# Installs what the builds and the tests need, builds the native tool and
# the Windows one with warnings as errors, and runs every test: the native
# suites through CTest, then the Windows checks and the end-to-end suite
# against kestrel.exe under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ clang libclang-rt-14-dev make pkg-config libgtest-dev libgmock-dev libvterm-dev srecord binutils
          g++-mingw-w64-x86-64-posix wine wine64 unzip)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
fi

echo "== native build and tests"
cmake -S . -B build -DKESTREL_WERROR=ON -DKESTREL_REQUIRE_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2

echo "== Debian package"
rm -rf build/packages
(cd build && cpack)
deb=$(ls build/packages/kestrel_*_amd64.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/kestrel ./usr/share/man/man1/kestrel.1 ./usr/share/doc/kestrel/README.md; do
  grep -q " $path\$" <<<"$contents" || { echo "$deb lacks $path" >&2; exit 1; }
done
dpkg-deb -x "$deb" build/packages/root
# The installed tool stamps images like the one built here.
KESTREL_COMMAND="$PWD/build/packages/root/usr/bin/kestrel" build/tests/kestrel_e2e_tests \
  --gtest_brief=1 --gtest_filter='Values/HexSerials.*:BinPatch.OnlyBytesFourToSevenChange*'
echo "$(basename "$deb"): contents checked, installed copy stamps"

echo "== sanitizer build and tests"
cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DKESTREL_SANITIZE=ON \
  -DKESTREL_WERROR=ON -DKESTREL_REQUIRE_TESTS=ON
cmake --build build-sanitize -j"$(nproc)"
reports="$PWD/build-sanitize/sanitizer-report"
rm -f "$reports".*
# Reports go to files, and a status no test expects, so none can pass unseen.
ASAN_OPTIONS="exitcode=199:log_path=$reports" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=198:log_path=$reports" \
KESTREL_SANITIZED=1 ctest --test-dir build-sanitize --output-on-failure -j2
if compgen -G "$reports.*" >/dev/null; then
  cat "$reports".* >&2
  echo "sanitizer reports found" >&2
  exit 1
fi

echo "== fuzzing, ${KESTREL_FUZZ_SECONDS:=30} s a target"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKESTREL_FUZZ=ON -DKESTREL_TESTS=OFF \
  -DKESTREL_WERROR=ON
cmake --build build-fuzz -j"$(nproc)"
for target in string_to_integer check_hex_record text_reader patch; do
  # New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as they are.
  corpus="build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  log="build-fuzz/$target.log"
  if ! "build-fuzz/fuzz/${target}_fuzz" -max_total_time="$KESTREL_FUZZ_SECONDS" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/$target-" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz target $target found a fault" >&2
    exit 1
  fi
  echo "$target: $(awk '/number_of_executed_units/ {print $2}' "$log") executions, no finding"
done

echo "== Windows build"
windows_start=$SECONDS
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKESTREL_WERROR=ON
cmake --build build-windows -j"$(nproc)"
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

echo "== Windows tests under wine"
export WINEPREFIX="$PWD/build-windows/wineprefix" WINEDEBUG=-all
# Wine converts arguments and console text by the locale: pin the one the
# suite is proven in, whatever the caller's environment holds.
export LC_ALL=C.UTF-8
# Without the 32-bit half of wine the prefix is made all the same, with a
# complaint and a non-zero status.
[ -d "$WINEPREFIX/drive_c" ] || wineboot -i || [ -d "$WINEPREFIX/drive_c" ]
# One server for the whole run instead of one per test.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k || true' EXIT
wine64=/usr/lib/wine/wine64
# The checks start a copy of themselves that faults inside the runtime,
# which needs a console: `script` lends them a terminal.
script -qec "$wine64 build-windows/kestrel_win32_checks.exe > build-windows/win32_checks.txt" /dev/null ||
  { cat build-windows/win32_checks.txt; exit 1; }
cat build-windows/win32_checks.txt
KESTREL_COMMAND="$wine64 $PWD/build-windows/kestrel.exe" build/tests/kestrel_e2e_tests --gtest_brief=1
echo "Windows leg: $((SECONDS - windows_start)) s"
