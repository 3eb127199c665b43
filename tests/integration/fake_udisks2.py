#!/usr/bin/python3
"""fake_udisks2.py BUS_ADDRESS: a UDisks2 stand-in that tests fill and query through
org.keelbox.Test.Control; JSON property values are plain or typed: {"ay": "/dev/sdz1"},
{"aay": ["/media/x"]}, {"o": "/org/freedesktop/UDisks2/drives/X"}."""
import json
import sys

import dbus
import dbus.service

from bus_stand_in import plain, serve

SERVICE = 'org.freedesktop.UDisks2'
ROOT = '/org/freedesktop/UDisks2'
OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
FILESYSTEM = 'org.freedesktop.UDisks2.Filesystem'
DRIVE = 'org.freedesktop.UDisks2.Drive'
LOOP = 'org.freedesktop.UDisks2.Loop'
ENCRYPTED = 'org.freedesktop.UDisks2.Encrypted'
CONTROL = 'org.keelbox.Test.Control'


def to_dbus(value):
    if isinstance(value, bool):
        return dbus.Boolean(value)
    if isinstance(value, str):
        return dbus.String(value)
    if isinstance(value, dict) and len(value) == 1:
        kind, inner = next(iter(value.items()))
        if kind == 'ay':
            return dbus.ByteArray(inner.encode('utf-8') + b'\0')
        if kind == 'aay':
            return dbus.Array([dbus.ByteArray(p.encode('utf-8') + b'\0') for p in inner],
                              signature='ay')
        if kind == 'o':
            return dbus.ObjectPath(inner)
    raise ValueError('cannot convert %r' % (value,))


def interfaces_from_json(text):
    return {name: dbus.Dictionary({k: to_dbus(v) for k, v in props.items()}, signature='sv')
            for name, props in json.loads(text).items()}


def recorded(interface, name):
    """A method of `interface` that only records its call (and fails when told to)."""
    def call(self, options):
        self.record(interface, name, options)
    call.__name__ = name
    return dbus.service.method(interface, in_signature='a{sv}', out_signature='')(call)


class Device(dbus.service.Object):
    def __init__(self, fake, path, interfaces):
        super().__init__(fake.bus, path)
        self.fake, self.path, self.interfaces = fake, path, interfaces

    def record(self, interface, method, options):
        self.fake.calls.append({'path': self.path, 'interface': interface, 'method': method,
                                'options': plain(options)})
        failure = self.fake.failures.pop((self.path, method), None)
        if failure:
            raise dbus.exceptions.DBusException(failure[1], name=failure[0])

    def set_property(self, interface, name, value):
        self.interfaces[interface][name] = value
        self.PropertiesChanged(interface, dbus.Dictionary({name: value}, signature='sv'),
                               dbus.Array([], signature='s'))

    @dbus.service.signal(PROPERTIES, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(FILESYSTEM, in_signature='a{sv}', out_signature='')
    def Unmount(self, options):
        self.record(FILESYSTEM, 'Unmount', options)
        self.set_property(FILESYSTEM, 'MountPoints', dbus.Array([], signature='ay'))

    PowerOff = recorded(DRIVE, 'PowerOff')
    Eject = recorded(DRIVE, 'Eject')
    Delete = recorded(LOOP, 'Delete')
    Lock = recorded(ENCRYPTED, 'Lock')


class Root(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, ROOT)
        self.bus, self.devices, self.calls, self.failures = bus, {}, [], {}

    @dbus.service.method(OBJECT_MANAGER, in_signature='', out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        return {dbus.ObjectPath(p): d.interfaces for p, d in self.devices.items()}

    @dbus.service.signal(OBJECT_MANAGER, signature='oa{sa{sv}}')
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OBJECT_MANAGER, signature='oas')
    def InterfacesRemoved(self, path, interfaces):
        pass

    @dbus.service.method(CONTROL, in_signature='ss', out_signature='')
    def AddInterfaces(self, path, text):
        added = interfaces_from_json(text)
        if path in self.devices:
            self.devices[path].interfaces.update(added)
        else:
            self.devices[path] = Device(self, path, added)
        self.InterfacesAdded(dbus.ObjectPath(path), dbus.Dictionary(added, signature='sa{sv}'))

    @dbus.service.method(CONTROL, in_signature='ss', out_signature='')
    def RemoveInterface(self, path, interface):
        device = self.devices[path]
        device.interfaces.pop(interface, None)
        if not device.interfaces:
            device.remove_from_connection()
            del self.devices[path]
        self.InterfacesRemoved(dbus.ObjectPath(path), dbus.Array([interface], signature='s'))

    @dbus.service.method(CONTROL, in_signature='ssss', out_signature='')
    def SetProperty(self, path, interface, name, text):
        self.devices[path].set_property(interface, name, to_dbus(json.loads(text)))

    @dbus.service.method(CONTROL, in_signature='ssss', out_signature='')
    def FailNext(self, path, method, error_name, message):
        self.failures[(path, method)] = (error_name, message)

    @dbus.service.method(CONTROL, in_signature='', out_signature='s')
    def Calls(self):
        return json.dumps(self.calls)


if __name__ == '__main__':
    serve(sys.argv[1], SERVICE, Root)
