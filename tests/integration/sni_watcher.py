#!/usr/bin/python3
"""sni_watcher.py BUS_ADDRESS: a StatusNotifierWatcher with a host, as a panel with a D-Bus tray
provides; items that register are listed in RegisteredStatusNotifierItems as "SERVICE/PATH"."""
import sys

import dbus
import dbus.service

from bus_stand_in import serve

NAME = 'org.kde.StatusNotifierWatcher'
PROPS = 'org.freedesktop.DBus.Properties'
# Qt reads the properties through an introspected interface, so they must be declared here.
INTROSPECTION = f"""<node>
 <interface name="{NAME}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
 </interface>
 <interface name="{PROPS}">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
   <arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{{sv}}" direction="out"/></method>
 </interface>
</node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/StatusNotifierWatcher')
        self.items = []

    def properties(self):
        return {'IsStatusNotifierHostRegistered': dbus.Boolean(True),
                'ProtocolVersion': dbus.Int32(0),
                'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s')}

    @dbus.service.method(NAME, in_signature='s', out_signature='')
    def RegisterStatusNotifierItem(self, service):
        self.items.append(f'{service}/StatusNotifierItem')
        self.StatusNotifierItemRegistered(self.items[-1])

    @dbus.service.signal(NAME, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.method('org.freedesktop.DBus.Introspectable', in_signature='', out_signature='s')
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(PROPS, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.properties()[name]

    @dbus.service.method(PROPS, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.properties()


if __name__ == '__main__':
    serve(sys.argv[1], NAME, Watcher)
