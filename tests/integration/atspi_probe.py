#!/usr/bin/python3
"""atspi_probe.py APP [NAME]: prints "role<TAB>name<TAB>description" per showing object of APP;
with NAME, runs the Toggle action of the showing object NAME instead, as a screen reader does."""
import sys

import pyatspi

target = sys.argv[2] if len(sys.argv) > 2 else None


def walk(node, depth=0):
    if depth > 40 or node is None:
        return
    if not node.getState().contains(pyatspi.STATE_SHOWING):
        return
    if target is None:
        print(f'{node.getRoleName()}\t{node.name}\t{node.description}')
    elif node.name == target:
        action = node.queryAction()
        for i in range(action.nActions):
            if action.getName(i).lower() == 'toggle':
                action.doAction(i)
                sys.exit(0)
        sys.exit(f'{target} has no toggle action')
    for i in range(node.childCount):
        walk(node.getChildAtIndex(i), depth + 1)


for app in pyatspi.Registry.getDesktop(0):
    if app is not None and app.name == sys.argv[1]:
        for i in range(app.childCount):
            walk(app.getChildAtIndex(i))
        sys.exit(0 if target is None else f'{target} is not showing')
sys.exit(f'{sys.argv[1]} is not on the accessibility bus')
