#!/usr/bin/python3
"""A stand-in for the udisks2 service, for the udisks client's and the Linux
backend's tests.

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

With --devices FILE it serves the devices that FILE lists instead: a JSON
list of objects with these keys (only "node" is required):

  node           the device node, "/dev/sdc"
  name           the name in object paths and in the --calls log; default
                 the node's last part ("sdc")
  mounted        whether the file system is mounted at the start (false)
  mount_path     where it is mounted, or gets mounted; the tests give a
                 plain folder, as nothing is mounted for real. Default
                 /media/quillon/<NAME>
  drive          the name of its drive, for Eject and PowerOff; devices
                 naming one drive share it; null or absent: no drive
  can_power_off  whether that drive can power off (true)
  auth           "allowed" (default), "ask" (refused unless the user may be
                 asked) or "denied" (every request refused), as polkit would
  open_file      what OpenDevice opens; default the node itself
  size           the Block's Size in bytes (64 MiB)
  fail           {"METHOD": N, ...}: the first N calls of METHOD fail
                 (Mount, Unmount, OpenDevice, Eject, PowerOff); a value may
                 also be {"times": N, "error": "NAME", "message": "TEXT"}
                 for another error than the method's usual one. Eject and
                 PowerOff count per drive.

Every request is appended to --calls as one JSON line, under the name of the
device or, for Eject and PowerOff, of the drive it went to:
{"device": ..., "method": ..., "options": {...}}.
"""

import argparse
import json
import os
import re
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
DEFAULT_SIZE = 64 << 20

# What a failing call answers unless the device description says otherwise:
# what udisks2 itself answers when the device is busy.
USUAL_FAILURES = {
    'Mount': (ERROR + 'Failed', 'Error mounting: device busy'),
    'Unmount': (ERROR + 'DeviceBusy', 'target is busy'),
    'OpenDevice': (ERROR + 'Failed', 'Error opening device: busy'),
    'Eject': (ERROR + 'Failed', 'Error ejecting: medium busy'),
    'PowerOff': (ERROR + 'Failed', 'Error powering off drive: busy'),
}
BLOCK_METHODS = ('Mount', 'Unmount', 'OpenDevice')
DRIVE_METHODS = ('Eject', 'PowerOff')
DEVICE_KEYS = {'node', 'name', 'mounted', 'mount_path', 'drive', 'can_power_off', 'auth',
               'open_file', 'size', 'fail'}
AUTH_CHOICES = ('allowed', 'ask', 'denied')

args = None


class DescriptionError(Exception):
    pass


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


def check_consent(described, options):
    if described['auth'] == 'denied':
        fail(ERROR + 'NotAuthorized', 'Not authorized to perform operation')
    if described['auth'] == 'ask' and bool(options.get('auth.no_user_interaction', False)):
        fail(ERROR + 'NotAuthorizedCanObtain', 'Authentication is required')


class Failures:
    """Fails the first calls of a method, as many as it was told."""

    def __init__(self, method, rule):
        self.name, self.text = USUAL_FAILURES[method]
        if isinstance(rule, dict):
            self.left = rule.get('times', 0)
            self.name = rule.get('error', self.name)
            self.text = rule.get('message', self.text)
        else:
            self.left = rule

    def check(self):
        if self.left > 0:
            self.left -= 1
            fail(self.name, self.text)


def block_path(name):
    return ROOT + '/block_devices/' + name


def drive_path(name):
    return ROOT + '/drives/' + name


def add_block(described):
    name, node = described['name'], described['node']
    path = block_path(name)
    objects[ROOT].AddObject(path, BLOCK, {
        'Device': path_bytes(node),
        'PreferredDevice': path_bytes(node),
        'Symlinks': path_list(described['symlinks']),
        'Drive': dbus.ObjectPath(drive_path(described['drive']) if described['drive'] else '/'),
        'Size': dbus.UInt64(described['size']),
    }, [])
    obj = objects[path]
    obj.AddProperties(FILESYSTEM, {
        'MountPoints': path_list([described['mount_path']] if described['mounted'] else [])})
    failures = {method: Failures(method, described['fail'].get(method, 0)) for method in BLOCK_METHODS}

    def mount(self, options):
        record(name, 'Mount', options)
        check_consent(described, options)
        failures['Mount'].check()
        if described['slow']:
            time.sleep(SLOW_SECONDS)
        if len(self.props[FILESYSTEM]['MountPoints']) > 0:
            fail(ERROR + 'AlreadyMounted', 'Device ' + node + ' is already mounted')
        self.props[FILESYSTEM]['MountPoints'] = path_list([described['mount_path']])
        return described['mount_path']

    def unmount(self, options):
        record(name, 'Unmount', options)
        check_consent(described, options)
        failures['Unmount'].check()
        if len(self.props[FILESYSTEM]['MountPoints']) == 0:
            fail(ERROR + 'NotMounted', 'Device ' + node + ' is not mounted')
        self.props[FILESYSTEM]['MountPoints'] = path_list([])

    def open_device(self, mode, options):
        record(name, 'OpenDevice:' + mode, options)
        if described['auth'] == 'denied':
            fail('org.freedesktop.DBus.Error.AccessDenied', 'Permission denied')
        check_consent(described, options)
        failures['OpenDevice'].check()
        flags = {'r': os.O_RDONLY, 'rw': os.O_RDWR}.get(str(mode))
        if flags is None:
            fail(ERROR + 'Failed', 'Unknown mode ' + mode)
        fd = os.open(described['open_file'], flags)
        try:
            return dbus.types.UnixFd(fd)  # takes a copy of its own
        finally:
            os.close(fd)

    obj.AddMethods(FILESYSTEM, [
        ('Mount', 'a{sv}', 's', mount),
        ('Unmount', 'a{sv}', '', unmount),
    ])
    obj.AddMethods(BLOCK, [('OpenDevice', 'sa{sv}', 'h', open_device)])


def add_drive(described):
    """The drive of `described`; its calls are logged under the drive's name."""
    name = described['drive']
    path = drive_path(name)
    objects[ROOT].AddObject(path, DRIVE, {
        'Ejectable': dbus.Boolean(True),
        'CanPowerOff': dbus.Boolean(described['can_power_off']),
        'Model': dbus.String(name),
    }, [])
    failures = {method: Failures(method, described['fail'].get(method, 0)) for method in DRIVE_METHODS}

    def eject(_self, options):
        record(name, 'Eject', options)
        check_consent(described, options)
        failures['Eject'].check()

    def power_off(_self, options):
        record(name, 'PowerOff', options)
        check_consent(described, options)
        failures['PowerOff'].check()

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


def built_in_devices():
    def device(name, node, **settings):
        described = {'name': name, 'node': node, 'drive': name, 'mounted': False,
                'mount_path': '/media/quillon/' + name.upper(), 'can_power_off': True,
                'auth': 'allowed', 'open_file': args.device_file, 'size': DEFAULT_SIZE,
                'fail': {}, 'slow': False, 'symlinks': ['/dev/disk/by-label/' + name.upper()]}
        described.update(settings)
        return described

    return [
        device('camera', '/dev/sdb1'),
        device('flaky', '/dev/sdc1', mounted=True, can_power_off=False,
               fail={'Unmount': 2, 'Eject': 2}),
        device('consent', '/dev/sdd1', auth='ask'),
        device('denied', '/dev/sde1', mounted=True, auth='denied'),
        device('slow', '/dev/sdf1', slow=True),
        device('loose', '/dev/sdg1', drive=None),
    ]


def check_failure_rule(where, method, rule):
    if method not in USUAL_FAILURES:
        raise DescriptionError('%s: "fail" names %r, not one of %s'
                               % (where, method, ', '.join(sorted(USUAL_FAILURES))))
    if isinstance(rule, dict):
        unknown = set(rule) - {'times', 'error', 'message'}
        if unknown:
            raise DescriptionError('%s: unknown keys in "fail.%s": %s' % (where, method, sorted(unknown)))
        rule = rule.get('times', 0)
    if not isinstance(rule, int) or isinstance(rule, bool) or rule < 0:
        raise DescriptionError('%s: "fail.%s" needs a count of calls, not %r' % (where, method, rule))


def described_device(index, entry):
    """One entry of --devices, checked, with its defaults filled in: a typo
    in a test's description must not pass as a device that behaves well."""
    where = '--devices entry %d' % index
    if not isinstance(entry, dict) or not isinstance(entry.get('node'), str):
        raise DescriptionError(where + ': needs an object with a "node"')
    unknown = set(entry) - DEVICE_KEYS
    if unknown:
        raise DescriptionError('%s: unknown keys %s' % (where, sorted(unknown)))
    name = entry.get('name', os.path.basename(entry['node']))
    if not re.fullmatch(r'[A-Za-z0-9_]+', name):
        raise DescriptionError('%s: the name %r cannot stand in an object path' % (where, name))
    drive = entry.get('drive')
    if drive is not None and not re.fullmatch(r'[A-Za-z0-9_]+', str(drive)):
        raise DescriptionError('%s: the drive %r cannot stand in an object path' % (where, drive))
    if entry.get('auth', 'allowed') not in AUTH_CHOICES:
        raise DescriptionError('%s: "auth" is one of %s' % (where, ', '.join(AUTH_CHOICES)))
    fail_rules = entry.get('fail', {})
    if not isinstance(fail_rules, dict):
        raise DescriptionError(where + ': "fail" needs an object')
    for method, rule in fail_rules.items():
        check_failure_rule(where, method, rule)
    return {
        'name': name,
        'node': entry['node'],
        'drive': drive,
        'mounted': bool(entry.get('mounted', False)),
        'mount_path': entry.get('mount_path', '/media/quillon/' + name.upper()),
        'can_power_off': bool(entry.get('can_power_off', True)),
        'auth': entry.get('auth', 'allowed'),
        'open_file': entry.get('open_file', entry['node']),
        'size': int(entry.get('size', DEFAULT_SIZE)),
        'fail': fail_rules,
        'slow': False,
        'symlinks': [],
    }


def drive_settings(described):
    return (described['can_power_off'], described['auth'],
            json.dumps({m: described['fail'][m] for m in DRIVE_METHODS if m in described['fail']}, sort_keys=True))


def read_devices(path):
    with open(path, encoding='utf-8') as description:
        entries = json.load(description)
    if not isinstance(entries, list):
        raise DescriptionError('--devices needs a JSON list of devices')
    described_all = [described_device(i, entry) for i, entry in enumerate(entries)]
    names, drives = set(), {}
    for described in described_all:
        if described['name'] in names:
            raise DescriptionError('--devices names %r twice' % described['name'])
        names.add(described['name'])
        # A shared drive is one object: its behaviour cannot differ by who asks.
        drive = described['drive']
        if drive is not None and drives.setdefault(drive, drive_settings(described)) != drive_settings(described):
            raise DescriptionError('--devices gives the drive %r different settings' % drive)
    return described_all


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument('--address', required=True)
    parser.add_argument('--device-file', help='what OpenDevice opens for the built-in devices')
    parser.add_argument('--devices', help='a JSON list of the devices to serve instead of the built-in ones')
    parser.add_argument('--calls', required=True)
    parser.add_argument('--log', default=os.devnull)
    parser.add_argument('--without-resolve-device', action='store_true',
                        help='act as a udisks2 older than Manager.ResolveDevice')
    args = parser.parse_args()
    if args.devices:
        try:
            devices = read_devices(args.devices)
        except (OSError, ValueError, DescriptionError) as problem:
            parser.error('cannot use --devices %s: %s' % (args.devices, problem))
    elif not args.device_file:
        parser.error('the built-in devices need --device-file')
    else:
        devices = built_in_devices()

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

    for described in devices:
        add_block(described)
        if described['drive'] and drive_path(described['drive']) not in objects:
            add_drive(described)

    print('ready', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    sys.exit(main())
