#!/usr/bin/python3
"""notification_recorder.py BUS_ADDRESS OUTPUT_FILE: a notification daemon that appends each Notify
call to OUTPUT_FILE as a JSON line; tests choose an action with org.keelbox.Test.InvokeAction."""
import json
import sys

import dbus
import dbus.service

from bus_stand_in import plain, serve

NAME = 'org.freedesktop.Notifications'


class Recorder(dbus.service.Object):
    def __init__(self, bus, output):
        super().__init__(bus, '/org/freedesktop/Notifications')
        self.output, self.last_id = output, 0

    @dbus.service.method(NAME, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        # A replacement keeps the id of the notification it replaces.
        self.last_id += 0 if replaces_id else 1
        record = {'id': int(replaces_id or self.last_id), 'replaces_id': int(replaces_id),
                  'summary': str(summary), 'body': str(body), 'actions': plain(actions),
                  'hints': plain(hints)}
        with open(self.output, 'a', encoding='utf-8') as out:
            out.write(json.dumps(record, ensure_ascii=False) + '\n')
        return dbus.UInt32(record['id'])

    @dbus.service.method(NAME, in_signature='', out_signature='as')
    def GetCapabilities(self):
        return ['actions', 'body', 'sound']

    @dbus.service.signal(NAME, signature='us')
    def ActionInvoked(self, notification_id, action_key):
        pass

    @dbus.service.method('org.keelbox.Test', in_signature='us', out_signature='')
    def InvokeAction(self, notification_id, action_key):
        self.ActionInvoked(notification_id, action_key)


if __name__ == '__main__':
    serve(sys.argv[1], NAME, lambda bus: Recorder(bus, sys.argv[2]))
