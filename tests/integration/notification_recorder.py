#!/usr/bin/python3
"""A notification daemon for tests: answers org.freedesktop.Notifications on the bus it is given
and appends every Notify call as one JSON line to a file.

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


if __name__ == '__main__':
    serve(sys.argv[1], NAME, lambda bus: Recorder(bus, sys.argv[2]))
