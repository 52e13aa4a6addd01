#!/bin/sh
# Stamps a board's serial number into its image, then flashes it:
#   stamp.sh IMAGE SERIAL
# flash-board stands for the station's own programmer command.
kestrel "$1" "$2" </dev/null
status=$?
if [ $status -ne 0 ]; then
  echo "kestrel ended with status $status: board $2 not flashed" >&2
  exit 1
fi
case "$1" in
  *[bB][iI][nN]) copy=kestrel.bin ;;
  *) copy=kestrel.hex ;;
esac
flash-board "$copy"
