#!/usr/bin/python3
"""A notification daemon for tests: answers org.freedesktop.Notifications on the bus it is given
and appends every Notify call as one JSON line to a file. It shows actions; a test chooses one
with org.keelbox.Test.InvokeAction.

Usage: notification_recorder.py BUS_ADDRESS OUTPUT_FILE
"""
import json
import sys

import dbus
import dbus.service

from bus_stand_in import plain, serve

NAME = 'org.freedesktop.Notifications'


class Recorder(dbus.service.Object):
    def __init__(self, bus, output):
        super().__init__(bus, '/org/freedesktop/Notifications')
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

    @dbus.service.method(NAME, in_signature='', out_signature='as')
    def GetCapabilities(self):
        return ['actions', 'body', 'sound']

    @dbus.service.signal(NAME, signature='us')
    def ActionInvoked(self, notification_id, action_key):
        pass

    # For tests: the user chose `action_key` on notification `notification_id`.
    @dbus.service.method('org.keelbox.Test', in_signature='us', out_signature='')
    def InvokeAction(self, notification_id, action_key):
        self.ActionInvoked(notification_id, action_key)


if __name__ == '__main__':
    serve(sys.argv[1], NAME, lambda bus: Recorder(bus, sys.argv[2]))
