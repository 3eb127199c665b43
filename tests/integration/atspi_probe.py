#!/usr/bin/python3
"""atspi_probe.py APP: prints "role<TAB>name<TAB>description" per showing object of APP."""
import sys

import pyatspi


def walk(node, depth=0):
    if depth > 40 or node is None:
        return
    if not node.getState().contains(pyatspi.STATE_SHOWING):
        return
    print(f'{node.getRoleName()}\t{node.name}\t{node.description}')
    for i in range(node.childCount):
        walk(node.getChildAtIndex(i), depth + 1)


for app in pyatspi.Registry.getDesktop(0):
    if app is not None and app.name == sys.argv[1]:
        for i in range(app.childCount):
            walk(app.getChildAtIndex(i))
        sys.exit(0)
sys.exit(f'{sys.argv[1]} is not on the accessibility bus')
