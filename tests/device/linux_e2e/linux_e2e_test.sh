#!/bin/bash
# quillon-cli on this computer's own devices, with no --camera: a simulated
# camera's system disk attached to a real loop device, a faked udev tree
# (umockdev) that shows one USB camera with two LUNs, and a fake udisks2 on
# a private bus that reports the user volume mounted at the camera's user
# folder (this kernel cannot mount vfat, so nothing is mounted for real).
#
#   linux_e2e_test.sh CASE QUILLON_CLI FAKE_UDISKS BUS_CONF
#
# CASE is one of
#   update       an update with --answer yes ends with the update file on
#                the user volume, the marker on the loop device, and the
#                user volume unmounted and ejected through udisks2
#   detect       detect --json gives the camera's record
#   no-camera    detect over an empty udev tree says so and exits 0
#
# Exits 77 (ctest's SKIP_RETURN_CODE) when this machine cannot run it.
set -u
set -o pipefail

readonly SKIP=77
readonly MARKER_SECTOR=$((0x24000))
readonly SECTOR=512
# Inside the user volume's size window, in 512-byte sectors: 198492160 bytes.
readonly USER_VOLUME_SECTORS=387680
readonly SYSTEM_PARTITION_SECTORS=262144
readonly START_TIMEOUT_SECONDS=15
readonly PYTHON=/usr/bin/python3

if [ $# -ne 4 ]; then
    echo "usage: $0 update|detect|no-camera QUILLON_CLI FAKE_UDISKS BUS_CONF" >&2
    exit 2
fi
readonly CASE=$1 CLI=$2 FAKE_UDISKS=$3 BUS_CONF=$4

skip() {
    echo "SKIP: $*"
    exit "$SKIP"
}

fail() {
    echo "FAIL ($CASE): $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "needs root, to attach a loop device over the camera's system disk"
[ -e /dev/loop-control ] || skip "no /dev/loop-control: this kernel offers no loop devices"
for tool in losetup umockdev-run dbus-daemon dd cmp; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x "$PYTHON" ] || skip "$PYTHON is not installed"
"$PYTHON" -c 'import dbus, dbus.mainloop.glib, dbusmock; from gi.repository import GLib' 2>/dev/null ||
    skip "$PYTHON lacks dbus-python, GLib's bindings or dbusmock (python3-dbusmock)"
[ -x "$CLI" ] || fail "no quillon-cli at $CLI"

base=${QUILLON_TEST_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$base" || fail "cannot create $base"
scratch=$(mktemp -d "$base/linux-e2e-$CASE.XXXXXX") || fail "cannot create a scratch folder in $base"

loop=""
daemon_pid=""
fake_pid=""

# Only what this script started: its loop device and its two daemons. The
# scratch folder stays when the test failed, for what the logs say.
cleanup() {
    local status=$?
    [ -n "${fake_output:-}" ] && exec {fake_output}<&-
    [ -n "${bus_output:-}" ] && exec {bus_output}<&-
    for pid in $fake_pid $daemon_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    if [ -n "$loop" ]; then
        losetup -d "$loop" || echo "cannot detach $loop" >&2
    fi
    if [ "$status" -eq 0 ] || [ "$status" -eq "$SKIP" ]; then
        rm -rf "$scratch"
    else
        echo "the test's files are kept in $scratch" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

camera=$scratch/camera
reference=$scratch/reference

make_camera() {
    "$CLI" make-camera "$@" >"$scratch/make-camera.out" 2>&1 ||
        fail "make-camera $* failed: $(cat "$scratch/make-camera.out")"
}

attach_loop() {
    loop=$(losetup -f --show "$camera/system.img") || fail "cannot attach $camera/system.img to a loop device"
    [ -b "$loop" ] || fail "losetup gave $loop, which is no block device"
}

# The camera as udev shows it, in umockdev's format: one USB device
# (VID e4d2, PID 3a17, serial 1634) with one storage interface and two LUNs.
# LUN 0 (sdc) is the user volume, a file system on the whole disk, and needs
# no real node. LUN 1 (sdd) is the system disk: its DEVNAME is the loop
# device and it has no node of its own in the test bed, so raw sector I/O
# reaches the real loop device. Its partition carries the "QX SYSTEM" label.
write_camera_description() {
    local system_sectors=$(($(stat -c %s "$camera/system.img") / SECTOR))
    local usb=/devices/pci0000:00/0000:00:14.0/usb1/1-2
    local target=$usb/1-2:1.0/host6/target6:0:0
    cat >"$scratch/camera.umockdev" <<EOF
P: $usb
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
E: ID_VENDOR_ID=e4d2
E: ID_MODEL_ID=3a17
E: ID_SERIAL_SHORT=1634
A: idVendor=e4d2
A: idProduct=3a17
A: serial=1634

P: $usb/1-2:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
A: bInterfaceNumber=00
A: bInterfaceClass=08

P: $target/6:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device

P: $target/6:0:0:0/block/sdc
N: sdc
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdc
E: MAJOR=8
E: MINOR=32
E: ID_BUS=usb
E: ID_VENDOR=BRENX
E: ID_MODEL=FOTOBEAN
E: ID_REVISION=2.10
E: ID_SERIAL_SHORT=1634
E: ID_VENDOR_ID=e4d2
E: ID_MODEL_ID=3a17
E: ID_USB_INTERFACE_NUM=00
E: ID_FS_TYPE=vfat
E: ID_FS_LABEL=CAMERA
E: ID_FS_LABEL_ENC=CAMERA
A: size=$USER_VOLUME_SECTORS
A: removable=1

P: $target/6:0:0:1
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device

P: $target/6:0:0:1/block/sdd
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=$loop
E: MAJOR=8
E: MINOR=48
E: ID_BUS=usb
E: ID_VENDOR=BRENX
E: ID_MODEL=SYSTEM
E: ID_REVISION=2.12
E: ID_SERIAL_SHORT=1634
E: ID_VENDOR_ID=e4d2
E: ID_MODEL_ID=3a17
E: ID_USB_INTERFACE_NUM=00
E: ID_PART_TABLE_TYPE=dos
A: size=$system_sectors
A: removable=1

P: $target/6:0:0:1/block/sdd/sdd1
N: sdd1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sdd1
E: MAJOR=8
E: MINOR=49
E: ID_FS_TYPE=vfat
E: ID_FS_LABEL=QX_SYSTEM
E: ID_FS_LABEL_ENC=QX\x20SYSTEM
A: size=$SYSTEM_PARTITION_SECTORS
EOF
}

# What udisks2 knows of the camera: the user volume mounted at the camera's
# user folder, and the system disk with its partition, each LUN a drive.
write_udisks_devices() {
    cat >"$scratch/udisks-devices.json" <<EOF
[
  {"node": "/dev/sdc", "name": "camera_user", "mounted": true, "mount_path": "$camera/user",
   "drive": "camera_user_drive"},
  {"node": "$loop", "name": "camera_system_disk", "drive": "camera_system_drive"},
  {"node": "/dev/sdd1", "name": "camera_system", "drive": "camera_system_drive"}
]
EOF
}

# Reads the first line a background program prints, within the start-up
# time-out, through a FIFO kept open so that the program may go on writing.
start_bus() {
    mkfifo "$scratch/bus.fifo" || fail "cannot create a FIFO in $scratch"
    dbus-daemon --config-file="$BUS_CONF" --nofork --print-address=1 \
        >"$scratch/bus.fifo" 2>"$scratch/dbus-daemon.log" &
    daemon_pid=$!
    exec {bus_output}<"$scratch/bus.fifo"
    read -r -t "$START_TIMEOUT_SECONDS" -u "$bus_output" bus_address ||
        fail "dbus-daemon gave no address: $(cat "$scratch/dbus-daemon.log")"
    [ -n "$bus_address" ] || fail "dbus-daemon gave an empty address"
}

start_fake_udisks() {
    local ready=""
    mkfifo "$scratch/fake.fifo" || fail "cannot create a FIFO in $scratch"
    "$PYTHON" "$FAKE_UDISKS" --address "$bus_address" --devices "$scratch/udisks-devices.json" \
        --calls "$scratch/udisks-calls.jsonl" --log "$scratch/fake_udisks.log" \
        >"$scratch/fake.fifo" 2>"$scratch/fake_udisks.err" &
    fake_pid=$!
    exec {fake_output}<"$scratch/fake.fifo"
    read -r -t "$START_TIMEOUT_SECONDS" -u "$fake_output" ready
    [ "$ready" = ready ] || fail "the fake udisks2 did not start: $(cat "$scratch/fake_udisks.err")"
}

# quillon-cli under the faked udev tree (none given: an empty one), on the
# private bus, with its run log and device locks in the scratch folder.
run_cli() {
    local description=$1
    shift
    local devices=()
    [ -n "$description" ] && devices=(-d "$description")
    umockdev-run "${devices[@]}" -- env DBUS_SYSTEM_BUS_ADDRESS="$bus_address" \
        XDG_STATE_HOME="$scratch/state" XDG_RUNTIME_DIR="$scratch/runtime" "$CLI" "$@" \
        >"$scratch/cli.out" 2>"$scratch/cli.err"
}

cli_output() {
    echo "--- standard output:"
    cat "$scratch/cli.out"
    echo "--- standard error:"
    cat "$scratch/cli.err"
}

marker_sector_of() {
    dd if="$1" bs=$SECTOR skip=$MARKER_SECTOR count=1 status=none "${@:2}"
}

# The calls of one method to one device or drive that the fake received.
count_calls() {
    "$PYTHON" - "$scratch/udisks-calls.jsonl" "$1" "$2" <<'EOF'
import json, sys
path, device, method = sys.argv[1:]
try:
    with open(path, encoding='utf-8') as calls:
        entries = [json.loads(line) for line in calls if line.strip()]
except FileNotFoundError:
    entries = []
print(sum(1 for e in entries if e['device'] == device and e['method'] == method))
EOF
}

set_up_camera() {
    # A state word of 1 ("go on") rather than the default 0 shows that the
    # record's word was read from the loop device.
    make_camera "$camera" --state 1
    attach_loop
    write_camera_description
    write_udisks_devices
    start_bus
    start_fake_udisks
}

case_update() {
    set_up_camera
    # What the marker code writes, on a camera of its own.
    make_camera "$reference"
    "$CLI" --camera "$reference/camera.json" marker appdata >"$scratch/reference-marker.out" 2>&1 ||
        fail "the marker on the simulated camera failed: $(cat "$scratch/reference-marker.out")"
    marker_sector_of "$reference/system.img" of="$scratch/expected-marker.bin"
    marker_sector_of "$loop" of="$scratch/marker-before.bin" iflag=direct
    cmp -s "$scratch/marker-before.bin" "$scratch/expected-marker.bin" &&
        fail "the loop device carries the marker before the update ran"
    cp --sparse=always "$camera/system.img" "$scratch/system-before.img" || fail "cannot copy the system disk"

    run_cli "$scratch/camera.umockdev" update --gfx "$camera/GFX_DATA" --answer yes ||
        fail "update exited $? $(cli_output)"
    grep -qi "warning" "$scratch/cli.err" && fail "update warned $(cli_output)"

    cmp -s "$camera/GFX_DATA/APP_DATA.BIN" "$camera/user/APP_DATA.BIN" ||
        fail "APP_DATA.BIN on the user volume is not the update file $(cli_output)"
    [ -e "$camera/user/APP_DATA.TMP" ] && fail "APP_DATA.TMP was left on the user volume"

    marker_sector_of "$loop" of="$scratch/marker-after.bin" iflag=direct
    cmp -s "$scratch/marker-after.bin" "$scratch/expected-marker.bin" ||
        fail "the marker sector of $loop is not what the marker code writes $(cli_output)"
    # Through the loop device, nothing but the marker sector changed.
    local image_bytes after_marker=$(((MARKER_SECTOR + 1) * SECTOR))
    image_bytes=$(stat -c %s "$camera/system.img")
    cmp -s -n $((MARKER_SECTOR * SECTOR)) "$scratch/system-before.img" "$camera/system.img" ||
        fail "the system disk changed before the marker sector"
    cmp -s -i "$after_marker" -n $((image_bytes - after_marker)) "$scratch/system-before.img" \
        "$camera/system.img" || fail "the system disk changed after the marker sector"

    local unmounts ejects
    unmounts=$(count_calls camera_user Unmount)
    ejects=$(count_calls camera_user_drive Eject)
    [ "$unmounts" -ge 1 ] || fail "udisks2 was never asked to unmount the user volume $(cli_output)"
    [ "$ejects" -ge 1 ] || fail "udisks2 was never asked to eject the user volume's drive $(cli_output)"
    [ "$(count_calls camera_system_drive Eject)" -eq 0 ] || fail "the system disk's drive was ejected"
}

case_detect() {
    set_up_camera
    run_cli "$scratch/camera.umockdev" --json detect || fail "detect exited $? $(cli_output)"
    "$CLI" --camera "$camera/camera.json" --json detect >"$scratch/simulated.json" 2>"$scratch/simulated.err" ||
        fail "detect on the simulated camera failed: $(cat "$scratch/simulated.err")"
    # What belongs to the camera equals the simulated camera's record; the
    # numbers and letters are this computer's (windows_names.h): the two
    # LUNs are drives 1 and 2, and their volumes D and E.
    "$PYTHON" - "$scratch/cli.out" "$scratch/simulated.json" <<'EOF' || fail "$(cli_output)"
import json, sys
with open(sys.argv[1]) as found_file, open(sys.argv[2]) as simulated_file:
    found, simulated = json.load(found_file), json.load(simulated_file)
expected = dict(simulated)
expected.update({
    'device_path': 'PHYSICALDRIVE2\\',
    'physical_drive_number': 2,
    'user_drive_root': 'D:\\',
    'volume_labels': {'D': 'CAMERA', 'E': 'QX SYSTEM'},
})
assert sorted(simulated['volume_labels'].values()) == ['CAMERA', 'QX SYSTEM'], simulated
assert simulated['device_state_word'] == 1 and simulated['mounted'] is True, simulated
if found != expected:
    sys.exit('detect found %s\nexpected %s' % (json.dumps(found), json.dumps(expected)))
EOF
}

case_no_camera() {
    # A bus with an empty udisks2, so that nothing reaches a real one.
    echo '[]' >"$scratch/udisks-devices.json"
    start_bus
    start_fake_udisks
    run_cli "" detect || fail "detect with nothing attached exited $? $(cli_output)"
    grep -qi "no camera" "$scratch/cli.out" || fail "detect did not say that no camera is attached $(cli_output)"
    grep -q "PHYSICALDRIVE" "$scratch/cli.out" && fail "detect named a drive with nothing attached $(cli_output)"
}

case "$CASE" in
    update) case_update ;;
    detect) case_detect ;;
    no-camera) case_no_camera ;;
    *) echo "unknown case $CASE" >&2; exit 2 ;;
esac
echo "PASS ($CASE)"
