#!/usr/bin/env python3
"""Fails when the folders under a source root include each other in a cycle.

Every folder directly under the root (sys, ui, settings, data, ...) is a node;
a quoted include "other/file.h" in any file of a folder is an edge to the
folder "other". The layers must point one way, so any cycle is an error; the
folder order found is printed so that the layering can be read off.

Usage: check_folder_cycles.py [SOURCE_ROOT]   (default: src beside scripts/)
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def folder_edges(root):
    edges = {}
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        targets = edges.setdefault(folder.name, set())
        for f in folder.rglob("*"):
            if f.suffix not in (".h", ".hpp", ".cpp", ".cc"):
                continue
            for other in INCLUDE.findall(f.read_text(errors="replace")):
                if other != folder.name and (root / other).is_dir():
                    targets.add(other)
    return edges


def find_cycle(edges):
    """A list of folders forming a cycle, or None; also the order of folders,
    each after every folder it depends on."""
    state, order, stack = {}, [], []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == "open":
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                cycle = visit(nxt)
                if cycle:
                    return cycle
        stack.pop()
        state[node] = "done"
        order.append(node)
        return None

    for node in sorted(edges):
        if node not in state:
            cycle = visit(node)
            if cycle:
                return cycle, order
    return None, order


def main():
    here = pathlib.Path(__file__).resolve().parent
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else here.parent / "src"
    edges = folder_edges(root)
    cycle, order = find_cycle(edges)
    if cycle:
        print("folder cycle in %s: %s" % (root, " -> ".join(cycle)))
        return 1
    for node in order:
        deps = ", ".join(sorted(edges[node])) or "-"
        print("%-10s uses %s" % (node, deps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
