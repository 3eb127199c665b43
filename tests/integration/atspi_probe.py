#!/usr/bin/python3
"""Prints what a screen reader finds in an application's visible windows, one
"role<TAB>name<TAB>description" line per object, as AT-SPI reports them.

Usage: atspi_probe.py APPLICATION_NAME
"""
import sys

import pyatspi


def walk(node, depth=0):
    if depth > 40 or node is None:
        return
    states = node.getState()
    if not states.contains(pyatspi.STATE_SHOWING):
        return
    print(f'{node.getRoleName()}\t{node.name}\t{node.description}')
    for i in range(node.childCount):
        walk(node.getChildAtIndex(i), depth + 1)


desktop = pyatspi.Registry.getDesktop(0)
for app in desktop:
    if app is not None and app.name == sys.argv[1]:
        for i in range(app.childCount):
            walk(app.getChildAtIndex(i))
        sys.exit(0)
sys.exit(f'{sys.argv[1]} is not on the accessibility bus')
