#!/usr/bin/python3
"""xfce_click.py find | click X Y NAME: the helper of bench/xfce-panel.sh on the X display.
find: prints "x y w h", the box of Keelbox's icon (its blue tile) in the panel along the top.
click: presses and releases button 1 at X Y (XTest) and prints the milliseconds until a window
whose title is NAME is mapped, and until it shows its drawing; NAME "-" only clicks."""
import sys
import time

from Xlib import X, display
from Xlib.ext import xtest


def find(d, rows=40):
    """The tile's blue (#2b8fb3 at the top to #17607d at the bottom), whichever tray draws it."""
    root = d.screen().root
    width = d.screen().width_in_pixels
    image = root.get_image(0, 0, width, rows, X.ZPixmap, 0xffffffff).data
    xs, ys = [], []
    for y in range(rows):
        for x in range(width):
            b, g, r = image[(y * width + x) * 4:(y * width + x) * 4 + 3]
            if 0x10 <= r <= 0x30 and 0x5a <= g <= 0x95 and 0x78 <= b <= 0xb8 and b > g > r:
                xs.append(x)
                ys.append(y)
    if len(xs) < 20:
        return None
    return min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1


def drawn(window, limit=3.0):
    """Waits until the window shows its drawing: a window just mapped is one colour; the panel
    drawn has text in it."""
    started = time.monotonic()
    while time.monotonic() - started < limit:
        try:
            geometry = window.get_geometry()
            data = window.get_image(0, 0, geometry.width, geometry.height, X.ZPixmap,
                                    0xffffffff).data
        except Exception:
            data = b''
        if len({data[i:i + 4] for i in range(0, len(data), 4 * 7)}) >= 8:
            return
        time.sleep(0.001)


def click(d, x, y):
    xtest.fake_input(d, X.MotionNotify, x=x, y=y)
    xtest.fake_input(d, X.ButtonPress, 1)
    xtest.fake_input(d, X.ButtonRelease, 1)
    d.flush()


def main():
    d = display.Display()
    if sys.argv[1] == 'find':
        found = find(d)
        if not found:
            sys.exit(1)
        print(*found)
        return
    x, y, title = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    root = d.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    d.sync()
    started = time.monotonic()
    click(d, x, y)
    if title == '-':  # only the click
        d.sync()
        return
    while time.monotonic() - started < 5:
        while d.pending_events():
            event = d.next_event()
            if event.type == X.MapNotify:
                try:
                    name = event.window.get_wm_name()
                except Exception:
                    name = None
                if '-v' in sys.argv:
                    print('mapped', event.window.id, repr(name), file=sys.stderr)
                if name == title:
                    mapped = time.monotonic()
                    drawn(event.window)
                    done = time.monotonic()
                    print('%.1f %.1f' % ((mapped - started) * 1000, (done - started) * 1000))
                    return
        time.sleep(0.0005)
    sys.exit('no window named %s' % title)


if __name__ == '__main__':
    main()
