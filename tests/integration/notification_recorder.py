#!/usr/bin/python3
"""A notification daemon for tests: answers org.freedesktop.Notifications on the bus it is given
and appends every Notify call as one JSON line to a file.

Usage: notification_recorder.py BUS_ADDRESS OUTPUT_FILE
"""
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = 'org.freedesktop.Notifications'
PATH = '/org/freedesktop/Notifications'


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16,
                          dbus.UInt32, dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return str(value)


class Recorder(dbus.service.Object):
    def __init__(self, bus, output):
        super().__init__(bus, PATH)
        self.output = output
        self.last_id = 0

    @dbus.service.method(NAME, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        self.last_id += 1
        record = {'id': self.last_id, 'app_name': str(app_name), 'replaces_id': int(replaces_id),
                  'app_icon': str(app_icon), 'summary': str(summary), 'body': str(body),
                  'actions': plain(actions), 'hints': plain(hints), 'expire_timeout': int(timeout)}
        with open(self.output, 'a', encoding='utf-8') as out:
            out.write(json.dumps(record, ensure_ascii=False) + '\n')
        return dbus.UInt32(replaces_id or self.last_id)

    @dbus.service.method(NAME, in_signature='u', out_signature='')
    def CloseNotification(self, notification_id):
        self.NotificationClosed(notification_id, dbus.UInt32(3))

    @dbus.service.method(NAME, in_signature='', out_signature='as')
    def GetCapabilities(self):
        return ['actions', 'body', 'sound']

    @dbus.service.method(NAME, in_signature='', out_signature='ssss')
    def GetServerInformation(self):
        return ('keelbox-test-recorder', 'keelbox', '1.0', '1.2')

    @dbus.service.signal(NAME, signature='uu')
    def NotificationClosed(self, notification_id, reason):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    recorder = Recorder(bus, sys.argv[2])
    name = dbus.service.BusName(NAME, bus)
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda _conn: loop.quit())
    loop.run()
    del name, recorder


if __name__ == '__main__':
    main()
