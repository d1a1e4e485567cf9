#!/usr/bin/env python3
"""Checks that no two parts of the product depend on each other, directly or round a loop.

A part is a header with its source file (tracking/keyboard_hook.h and .cpp); it depends on another
when any of its files includes the other's header. Prints every loop found and exits 1, or exits 0.
Usage: check_dependencies.py [SOURCE_ROOT]
"""

import os
import re
import sys

FOLDERS = ("app", "tracking", "repeat")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def dependencies(root):
    graph = {}
    for folder in FOLDERS:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            part, ext = os.path.splitext(os.path.join(folder, name))
            if ext not in (".h", ".cpp"):
                continue
            with open(os.path.join(root, folder, name), encoding="utf-8") as f:
                included = {os.path.splitext(path)[0] for path in INCLUDE.findall(f.read())}
            graph.setdefault(part, set()).update(p for p in included if p != part and p.split("/")[0] in FOLDERS)
    return graph


def loops(graph):
    """The loop closed by each back edge a depth-first search meets: none exactly when there is none."""
    found, state, path = [], {}, []

    def visit(part):
        state[part] = "open"
        path.append(part)
        for other in sorted(graph.get(part, ())):
            if state.get(other) == "open":
                found.append(path[path.index(other):] + [other])
            elif other not in state:
                visit(other)
        path.pop()
        state[part] = "done"

    for part in sorted(graph):
        if part not in state:
            visit(part)
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    graph = dependencies(root)
    found = loops(graph)
    for loop in found:
        print("depend on each other: " + " -> ".join(loop))
    print("%d parts, %d dependencies, %d loops" % (len(graph), sum(map(len, graph.values())), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
