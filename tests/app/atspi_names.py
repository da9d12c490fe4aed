#!/usr/bin/python3
"""Prints the accessible tree of one application, read over AT-SPI, one line
per node: depth, role, size (WIDTHxHEIGHT, 0x0 while hidden), actions (comma
separated, "-" without the action interface) and name. Waits up to 20 s for the application to
appear on the accessibility bus. Usage: atspi_names.py APPLICATION_NAME"""
import sys
import time

import pyatspi


def find(name):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            if app is not None and app.name == name and app.childCount > 0:
                return app
        time.sleep(0.2)
    return None


def size(node):
    try:
        extents = node.queryComponent().getExtents(pyatspi.WINDOW_COORDS)
    except NotImplementedError:
        return "-"
    return f"{extents.width}x{extents.height}"


def actions(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return "-"
    return ",".join(action.getName(index) for index in range(action.nActions))


def walk(node, depth, out):
    # Windows of a frameless Qt application can take a moment to fill in.
    out.append(f"{depth}\t{node.getRoleName()}\t{size(node)}\t{actions(node)}\t{node.name}")
    for index in range(min(node.childCount, 200)):
        child = node.getChildAtIndex(index)
        if child is not None:
            walk(child, depth + 1, out)


app = find(sys.argv[1])
if app is None:
    sys.exit(f"atspi_names: no application named {sys.argv[1]!r} on the accessibility bus")
lines = []
walk(app, 0, lines)
print("\n".join(lines))
