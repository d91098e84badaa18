#!/usr/bin/python3
"""A stand-in for the udisks2 service, for the udisks client's tests.

It owns org.freedesktop.UDisks2 on the bus given by --address, prints
"ready" on standard output once it does, and serves these devices:

  /dev/sdb1  camera   mounts at /media/quillon/CAMERA; its drive ejects and
                      powers off; OpenDevice opens --device-file
  /dev/sdc1  flaky    mounted already; Unmount and its drive's Eject fail
                      twice, then succeed; the drive cannot power off
  /dev/sdd1  consent  allowed only when the user may be asked
                      (auth.no_user_interaction false), as polkit would
  /dev/sde1  denied   every request is refused
  /dev/sdf1  slow     Mount answers after a long pause
  /dev/sdg1  loose    a block device that belongs to no drive

Every request to a device is appended to --calls as one JSON line:
{"device": ..., "method": ..., "options": {...}}.
"""

import argparse
import json
import os
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
import dbusmock
from dbusmock.mockobject import DBusMockObject, objects
from gi.repository import GLib

BUS_NAME = 'org.freedesktop.UDisks2'
ROOT = '/org/freedesktop/UDisks2'
MANAGER = 'org.freedesktop.UDisks2.Manager'
BLOCK = 'org.freedesktop.UDisks2.Block'
FILESYSTEM = 'org.freedesktop.UDisks2.Filesystem'
DRIVE = 'org.freedesktop.UDisks2.Drive'
ERROR = 'org.freedesktop.UDisks2.Error.'
SLOW_SECONDS = 5

args = None


def path_bytes(path):
    """A path as udisks2 sends it: bytes with a trailing NUL."""
    return dbus.Array([dbus.Byte(b) for b in path.encode() + b'\0'], signature='y')


def path_list(paths):
    return dbus.Array([path_bytes(p) for p in paths], signature='ay')


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32, dbus.Int64, dbus.UInt64)):
        return int(value)
    return str(value)


def record(device, method, options):
    entry = {'device': device, 'method': method,
             'options': {str(k): plain(v) for k, v in options.items()}}
    with open(args.calls, 'a', encoding='utf-8') as calls:
        calls.write(json.dumps(entry, sort_keys=True) + '\n')


def fail(name, text):
    raise dbus.exceptions.DBusException(text, name=name)


def check_consent(device, options):
    if device == 'denied':
        fail(ERROR + 'NotAuthorized', 'Not authorized to perform operation')
    if device == 'consent' and bool(options.get('auth.no_user_interaction', False)):
        fail(ERROR + 'NotAuthorizedCanObtain', 'Authentication is required')


class Counter:
    """Fails the first `failures` calls."""

    def __init__(self, failures):
        self.left = failures

    def should_fail(self):
        if self.left > 0:
            self.left -= 1
            return True
        return False


def block_path(device):
    return ROOT + '/block_devices/' + device


def drive_path(device):
    return ROOT + '/drives/' + device


def add_block(device, node, drive, mount_points):
    path = block_path(device)
    objects[ROOT].AddObject(path, BLOCK, {
        'Device': path_bytes(node),
        'PreferredDevice': path_bytes(node),
        'Symlinks': path_list(['/dev/disk/by-label/' + device.upper()]),
        'Drive': dbus.ObjectPath(drive_path(device) if drive else '/'),
        'Size': dbus.UInt64(64 << 20),
    }, [])
    obj = objects[path]
    obj.AddProperties(FILESYSTEM, {'MountPoints': path_list(mount_points)})
    unmount_failures = Counter(2 if device == 'flaky' else 0)

    def mount(self, options):
        record(device, 'Mount', options)
        check_consent(device, options)
        if device == 'slow':
            time.sleep(SLOW_SECONDS)
        if len(self.props[FILESYSTEM]['MountPoints']) > 0:
            fail(ERROR + 'AlreadyMounted', 'Device ' + node + ' is already mounted')
        mount_path = '/media/quillon/' + device.upper()
        self.props[FILESYSTEM]['MountPoints'] = path_list([mount_path])
        return mount_path

    def unmount(self, options):
        record(device, 'Unmount', options)
        check_consent(device, options)
        if unmount_failures.should_fail():
            fail(ERROR + 'DeviceBusy', 'target is busy')
        if len(self.props[FILESYSTEM]['MountPoints']) == 0:
            fail(ERROR + 'NotMounted', 'Device ' + node + ' is not mounted')
        self.props[FILESYSTEM]['MountPoints'] = path_list([])

    def open_device(self, mode, options):
        record(device, 'OpenDevice:' + mode, options)
        if device == 'denied':
            fail('org.freedesktop.DBus.Error.AccessDenied', 'Permission denied')
        check_consent(device, options)
        flags = {'r': os.O_RDONLY, 'rw': os.O_RDWR}.get(str(mode))
        if flags is None:
            fail(ERROR + 'Failed', 'Unknown mode ' + mode)
        fd = os.open(args.device_file, flags)
        try:
            return dbus.types.UnixFd(fd)  # takes a copy of its own
        finally:
            os.close(fd)

    obj.AddMethods(FILESYSTEM, [
        ('Mount', 'a{sv}', 's', mount),
        ('Unmount', 'a{sv}', '', unmount),
    ])
    obj.AddMethods(BLOCK, [('OpenDevice', 'sa{sv}', 'h', open_device)])
    if drive:
        add_drive(device, can_power_off=(device != 'flaky'))


def add_drive(device, can_power_off):
    path = drive_path(device)
    objects[ROOT].AddObject(path, DRIVE, {
        'Ejectable': dbus.Boolean(True),
        'CanPowerOff': dbus.Boolean(can_power_off),
        'Model': dbus.String(device),
    }, [])
    eject_failures = Counter(2 if device == 'flaky' else 0)

    def eject(_self, options):
        record(device, 'Eject', options)
        check_consent(device, options)
        if eject_failures.should_fail():
            fail(ERROR + 'Failed', 'Error ejecting: medium busy')

    def power_off(_self, options):
        record(device, 'PowerOff', options)
        check_consent(device, options)

    objects[path].AddMethods(DRIVE, [
        ('Eject', 'a{sv}', '', eject),
        ('PowerOff', 'a{sv}', '', power_off),
    ])


def resolve_device(_self, devspec, _options):
    wanted = str(devspec.get('path', ''))
    found = []
    for path, obj in sorted(objects.items()):
        block = obj.props.get(BLOCK)
        if not block:
            continue
        names = [bytes(block['Device']).rstrip(b'\0').decode(),
                 bytes(block['PreferredDevice']).rstrip(b'\0').decode()]
        names += [bytes(link).rstrip(b'\0').decode() for link in block['Symlinks']]
        if wanted in names:
            found.append(dbus.ObjectPath(path))
    return dbus.Array(found, signature='o')


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument('--address', required=True)
    parser.add_argument('--device-file', required=True)
    parser.add_argument('--calls', required=True)
    parser.add_argument('--log', default=os.devnull)
    parser.add_argument('--without-resolve-device', action='store_true',
                        help='act as a udisks2 older than Manager.ResolveDevice')
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    bus.set_exit_on_disconnect(True)
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)

    root = DBusMockObject(name, ROOT, 'org.freedesktop.DBus.ObjectManager', {},
                          logfile=args.log, is_object_manager=True)
    objects[ROOT] = root
    root.AddObject(ROOT + '/Manager', MANAGER, {'Version': dbus.String('2.9.4')}, [])
    if not args.without_resolve_device:
        objects[ROOT + '/Manager'].AddMethods(MANAGER, [
            ('ResolveDevice', 'a{sv}a{sv}', 'ao', resolve_device)])

    add_block('camera', '/dev/sdb1', drive=True, mount_points=[])
    add_block('flaky', '/dev/sdc1', drive=True, mount_points=['/media/quillon/FLAKY'])
    add_block('consent', '/dev/sdd1', drive=True, mount_points=[])
    add_block('denied', '/dev/sde1', drive=True, mount_points=['/media/quillon/DENIED'])
    add_block('slow', '/dev/sdf1', drive=True, mount_points=[])
    add_block('loose', '/dev/sdg1', drive=False, mount_points=[])

    print('ready', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    sys.exit(main())
