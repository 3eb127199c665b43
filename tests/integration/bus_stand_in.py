"""Shared by the tests' D-Bus stand-ins: plain values, and serving objects until the bus goes."""
import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (int, float)):
        return int(value) if isinstance(value, int) else float(value)
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return str(value)


def serve(address, name, make_objects):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    objects = make_objects(bus)
    # Claim the name last, so that a client seeing it finds the objects ready.
    claimed = dbus.service.BusName(name, bus)
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda _conn: loop.quit())
    loop.run()
    del claimed, objects
