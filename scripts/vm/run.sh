#!/usr/bin/env bash
# Boots Debian's kernel under qemu (TCG) with a busybox initramfs and runs
# the given kestrel there on ext4, vfat and exFAT through the kernel's own
# drivers, with /dev/ttyS0 as its terminal:
#   - on vfat and exFAT, the rows where the image is kestrel.hex reached
#     another way (spelling, a link, a bind mount, no /proc), and a stamp;
#   - power cuts: qemu killed while a 35 MB image is stamped over an old
#     kestrel.hex, at a random moment or 0-50 ms after a marker that a
#     preloaded library prints before an unlink, link, rename or flush;
#     then fsck -n on the host, and the next boot reads the disk.
# A cut kills qemu, so what the guest had not sent to its disk is lost; a
# drive's own cache reordering writes is not modelled.
# Usage: run.sh KESTREL [WORK_DIR]; KESTREL_VM_CUTS (4) cuts per file
# system, KESTREL_VM_SEED for the random choices.
set -euo pipefail
kestrel=$(realpath "$1")
here=$(realpath "$(dirname "$0")")
work=$(realpath -m "${2:-build-vm}")
cuts=${KESTREL_VM_CUTS:-4}
seed=${KESTREL_VM_SEED:-$((${EPOCHREALTIME/./} % 100000))}
RANDOM=$seed
serial=123456789 serial_hex=075BCD15
echo "vm: seed $seed (KESTREL_VM_SEED), $cuts cuts per file system (KESTREL_VM_CUTS)"
rm -rf "$work" && mkdir -p "$work/root/modules.d" "$work/src"

# A HEX image of `lines` 16-byte records at climbing addresses.
hex_image() {  # lines seed
  awk -v lines="$1" -v seed="$2" 'BEGIN {
    srand(seed)
    for (p = 0; p < 64; p++) {
      for (i = 0; i < 16; i++) { b = int(rand() * 256); data[p] = data[p] sprintf("%02X", b); sum[p] += b }
    }
    for (n = 0; n < lines; n++) {
      a = n * 16 % 65536
      if (a == 0 && n) { h = n * 16 / 65536; printf ":02000004%04X%02X\r\n", h, (1024 - 6 - int(h / 256) - h % 256) % 256 }
      p = n % 64
      printf ":10%04X00%s%02X\r\n", a, data[p], (1024 - 16 - int(a / 256) - a % 256 - sum[p] % 256) % 256
    }
    printf ":00000001FF\r\n"
  }'
}
# The image as it should come out: the serial in data bytes 5 to 8 of the
# first record, and its checksum made anew.
stamped() {  # image
  local first line sum=0 i
  IFS= read -r first <"$1"
  line=${first:0:17}$serial_hex${first:25:16}
  for ((i = 1; i < 41; i += 2)); do sum=$((sum + 16#${line:i:2})); done
  printf '%s%02X\r\n' "$line" $(((256 - sum % 256) % 256))
  tail -n +2 "$1"
}
sha() { sha256sum | cut -c1-16; }
hex_image 800000 1 >"$work/src/big.hex"
hex_image 2000 2 >"$work/src/small.hex"
hex_image 100 3 >"$work/src/old.hex"
old=$(sha <"$work/src/old.hex")
small=$(sha <"$work/src/small.hex")
new_small=$(stamped "$work/src/small.hex" | sha)
new=$(stamped "$work/src/big.hex" | sha)
new_size=$(stamped "$work/src/big.hex" | wc -c)
empty=$(sha </dev/null)
truncate -s 80M "$work/src.img" && mkfs.ext4 -q -d "$work/src" "$work/src.img"

# The initramfs: busybox, kestrel with its libraries, the marker library,
# the modules for virtio disks, ext4, vfat and exFAT, and the init.
kernel=$(ls /boot/vmlinuz-* | sort -V | tail -n 1)
version=${kernel#/boot/vmlinuz-}
root=$work/root
mkdir -p "$root/bin" "$root/proc" "$root/dev" "$root/tmp"
cp /bin/busybox "$root/bin/"
cp "$here/init" "$root/"
cp "$kestrel" "$root/kestrel"
gcc -O2 -shared -fPIC -o "$root/markers.so" "$here/markers.c" -ldl
for library in $(ldd "$kestrel" "$root/markers.so" | grep -o '/[^ ]*\.so[.0-9]*' | grep -v markers | sort -u); do
  mkdir -p "$root$(dirname "$library")" && cp -L "$library" "$root$library"
done
for module in virtio_blk virtio_pci ext4 vfat exfat nls_cp437 nls_ascii nls_utf8; do
  modprobe -S "$version" --show-depends "$module" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r path; do
  cp "$path" "$root/modules.d/" && basename "$path" >>"$root/modules"
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# One boot; the guest's lines for the host come on descriptor $guest.
boot() {  # fs task
  exec {guest}< <(exec qemu-system-x86_64 -accel tcg -smp 1 -m 512 -nodefaults \
    -display none -no-reboot -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 kfs=$1 ktask=$2 kserial=$serial" \
    -drive "file=$work/$1.img,if=virtio,format=raw,cache=none" \
    -drive "file=$work/src.img,if=virtio,format=raw,readonly=on" \
    -serial "file:$work/$1.tty" -serial stdio </dev/null 2>>"$work/qemu.err")
  qemu=$!
}
now() { echo "${EPOCHREALTIME/./}"; }  # microseconds
# Reads the guest's lines into $log until one matches `pattern`; false when
# `until` (microseconds, 0: 10 minutes) passes or the guest is gone.
await() {  # pattern [until]
  local until=${2:-0} left line
  ((until)) || until=$(($(now) + 600000000))
  while left=$((until - $(now))) && ((left > 0)); do
    IFS= read -r -t "$((left / 1000000)).$(printf %06d $((left % 1000000)))" -u "$guest" line ||
      return 1
    line=${line%$'\r'}
    echo "$line" >>"$log"
    [[ $line == "@K < unlink kestrel.hex"* ]] && removed_at=$(now)
    [[ $line == $1 ]] && return 0
  done
  return 1
}
# Ends the boot: at once (a power cut) or after the guest's own power-off.
end_boot() {  # cut|clean
  [ "$1" = cut ] && kill -KILL "$qemu"
  await "@K END" "$(($(now) + 120000000))" || true
  kill -KILL "$qemu" 2>/dev/null || true
  wait "$qemu" 2>/dev/null || true
  tr -d '\r' <&"$guest" >>"$log"
  exec {guest}<&-
}
# fsck -n on the host (ext4 on a copy with its journal replayed); prints
# what it finds beyond a dirty flag, and then mends it for the next round.
check_disk() {  # fs
  local image=$work/$1.img output
  case $1 in
    ext4)
      cp --sparse=always "$image" "$work/check.img"
      e2fsck -E journal_only -y "$work/check.img" >/dev/null 2>&1 || true
      output=$(e2fsck -fn "$work/check.img" 2>&1) || { echo "$output"; e2fsck -fy "$image" >/dev/null 2>&1; }
      rm -f "$work/check.img" ;;
    vfat)
      # The dirty flag, also as a difference from the boot sector's backup,
      # and the free cluster count, which FAT keeps only as a hint.
      output=$(fsck.vfat -n "$image" 2>&1 | grep -v -e '^fsck.fat ' -e '^Dirty bit' \
        -e '^ Automatically removing' -e '^There are differences between boot sector' \
        -e '^This is mostly harmless' -e '^  65:0[01]/0[01]$' -e '^  Not automatically fixing' \
        -e '^Free cluster summary wrong' -e '^  Auto-correcting' \
        -e '^Leaving filesystem unchanged' -e '^Checking we can access' -e "^$image: [0-9]* files" || true)
      [ -z "$output" ] || { echo "$output"; fsck.vfat -a "$image" >/dev/null 2>&1 || true; } ;;
    exfat)
      output=$(fsck.exfat -n "$image" 2>&1) || { echo "$output"; fsck.exfat -y "$image" >/dev/null 2>&1 || true; } ;;
  esac
}
named() {  # sha
  case $1 in "$old") echo old ;; "$new") echo new ;; none) echo none ;; "$empty") echo empty ;; *) echo "other ($1)" ;; esac
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }  # name line

failures=0
fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }
# What a cut may be aimed at: the old copy removed, the data flushed, the
# copy linked or renamed, the folder flushed after that, success reported.
# Patterns of a marker, | between choices, ; before the marker to await next.
events=("< unlink kestrel.hex *" "> fsync file" "> link *|> rename *"
  "< link *|< rename *;> fsync dir|> syncfs *" "DONE status=0")
fs_index=0
for fs in ext4 vfat exfat; do
  echo "== $fs"
  truncate -s 0 "$work/$fs.img" && truncate -s "$((128 + 64 * cuts))M" "$work/$fs.img"
  case $fs in
    ext4) mkfs.ext4 -q "$work/$fs.img" ;;
    vfat) mkfs.vfat "$work/$fs.img" >/dev/null ;;
    exfat) mkfs.exfat "$work/$fs.img" >/dev/null ;;
  esac
  cut_how="" seen=" " tally_old=0 tally_none=0 tally_new=0 tally_bad=0 leftovers=0 whole=0 fsck_bad=0 stamp_time=0
  for ((round = 0; round <= cuts + 1; round++)); do
    log=$work/$fs-$round.log
    : >"$log"
    task=stamp
    [ "$round" = 0 ] && [ "$fs" != ext4 ] && task=fold
    boot "$fs" "$task"
    await "@K STATE before *" || { fail "$fs boot $round: no report $(tail -n 3 "$work/qemu.err")"; end_boot cut; continue; }
    before=$(tail -n 1 "$log")
    if ((round > 1)); then  # the cut before this boot
      copy=$(field copy "$before")
      hidden=$(field hidden "$before")
      echo "    then the disk holds: copy $(named "$copy"); hidden: ${hidden:-none}"
      case $copy in
        "$old") tally_old=$((tally_old + 1)) ;;
        none) tally_none=$((tally_none + 1)) ;;
        "$new") tally_new=$((tally_new + 1)) ;;
        *) tally_bad=$((tally_bad + 1)) ;;
      esac
      [[ " $allowed " == *" $(named "$copy") "* ]] || fail "the copy is $(named "$copy"), where the disk may hold only: $allowed"
      for file in $(tr , ' ' <<<"$hidden"); do  # each one counted once
        [[ $file == *.lock:* || $seen == *" ${file%%:*} "* ]] && continue
        seen+="${file%%:*} " leftovers=$((leftovers + 1))
        [[ $file == *":$new_size" ]] && whole=$((whole + 1))
      done
    fi
    # Each folding row but the stamp must refuse the image and leave it be.
    while read -r _ _ name rest; do
      expected="status=73 image=$small copy=$small hidden=0"
      [ "$name" = stamp ] && expected="status=0 image=$small copy=$new_small hidden=0"
      echo "  $name: $rest"
      [ "$rest" = "$expected" ] || fail "$fs $name: $rest, not $expected"
    done < <(grep "^@K ROW" "$log")
    await "@K GO" || { fail "$fs boot $round: no stamp"; end_boot cut; continue; }
    start=$(now) removed_at=0
    if ((round == 0 || round == cuts + 1)); then
      await "@K DONE *" || true
      stamp_time=$(($(now) - start))
      end_boot clean
      after=$(grep "^@K STATE after" "$log" || true)
      status=$(grep "^@K DONE" "$log" | sed 's/.*status=//')
      copy=$(named "$(field copy "$after")")
      echo "  stamp: status $status in $((stamp_time / 1000)) ms, copy $copy, hidden after: $(field hidden "$after")"
      [ "$status" = 0 ] && [ "$copy" = new ] || fail "$fs: an uncut stamp: status $status, copy $copy"
      left=$(field hidden "$after" | tr , '\n')
      [ -z "$left" ] || fail "$fs: hidden files left after a whole stamp: $left"
    else
      # Even cuts at a random moment of the stamp, odd ones by event.
      if ((round % 2)); then
        event=${events[$(((fs_index * 2 + round / 2) % ${#events[@]}))]}
        cut_how="aimed at '$event'"
        IFS=';' read -r -a stages <<<"$event"
        for stage in "${stages[@]}"; do
          IFS='|' read -r -a patterns <<<"$stage"
          while await "@K *"; do
            line=$(tail -n 1 "$log")
            for pattern in "${patterns[@]}"; do [[ $line == "@K "$pattern ]] && continue 3; done
            [[ $line == "@K DONE"* ]] && { cut_how+=" (not seen)"; break 2; }
          done
        done
        delay=$((RANDOM % 51))
        cut_how+=", +$delay ms"
        await "@K DONE *" "$(($(now) + delay * 1000))" || true
      else
        delay=$((RANDOM * (stamp_time * 11 / 10 / 1000) / 32768))
        cut_how="random, $delay ms after the start"
        await "@K DONE *" "$((start + delay * 1000))" || true
      fi
      cut_at=$(now)
      end_boot cut
      # What the disk may hold, by the markers sent before the cut: the old
      # copy until its removal begins; then none, or the old copy while the
      # removal is being flushed: only flushes after it, and the cut within
      # 100 ms; from success on, only the new copy.
      echo "  cut $round: $cut_how; last marker: $(grep '^@K [<>]' "$log" | tail -n 1 | cut -c4-)"
      allowed="old new"
      if grep -q '^@K DONE status=0' "$log"; then
        allowed=new
      elif grep -q '^@K > unlink kestrel.hex$' "$log"; then
        allowed="none new"
        later=$(sed '1,/^@K > unlink kestrel.hex$/d' "$log" | grep '^@K [<>]' |
          grep -v -e '^@K < unlink kestrel.hex' -e '^@K > fsync' -e '^@K > syncfs' || true)
        [ -n "$later" ] || ((removed_at && cut_at - removed_at > 100000)) || allowed="old none new"
      fi
      findings=$(check_disk "$fs")
      if [ -n "$findings" ]; then
        fsck_bad=$((fsck_bad + 1))
        echo "$findings" | sed 's/^/  fsck: /'
        ! grep -qi kestrel <<<"$findings" || fail "fsck mends an entry of the tool's"
      fi
    fi
  done
  echo "$fs: $cuts cuts: old copy $tally_old, none $tally_none, new copy $tally_new, empty or corrupt $tally_bad; hidden leftovers $leftovers ($whole whole), $(grep -c . <<<"$left" || true) left after the last stamp; fsck findings after $fsck_bad"
  fs_index=$((fs_index + 1))
done
echo "vm: $failures failures (seed $seed); a cut kills qemu: what the guest had not sent to its disk is lost, but a drive's own cache reordering writes is not modelled"
((failures == 0))
