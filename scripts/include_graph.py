#!/usr/bin/env python3
"""Prints the include graph of the engine and checks its layering.

    python scripts/include_graph.py            # the src/ of this checkout
    python scripts/include_graph.py --root DIR # another tree laid out the same way

Every file under the root belongs to the layer of its folder; files at the
root itself (config, stats) form a layer of their own:

    0 base
    1 threads, unicode
    2 (root): config, stats
    3 pretokenize
    4 counts
    5 encoding             (a trained model applied to words and texts)
    6 counting, training   (peers that must never include each other: they
                            meet only through counts)
    7 binding

An include may point to its own layer or lower. The report lists the files
by layer, then every include pointing back up a layer, every include between
counting and training, every Python.h outside binding, and every cycle. The
cycles are found between modules, a module being a header and its .cpp (so
that config.cpp -> stats.h -> config.h counts as one): each strongly connected
group of more than one module is printed with one include path around it.

Only includes written in quotes are followed, resolved from the root
("training/trainer.h") or, failing that, from the including file's folder.
Exit status: 0 when nothing is wrong, 1 otherwise.
"""
import argparse
import collections
import pathlib
import re
import sys

LAYERS = {
    "base": 0,
    "threads": 1,
    "unicode": 1,
    "": 2,
    "pretokenize": 3,
    "counts": 4,
    "encoding": 5,
    "counting": 6,
    "training": 6,
    "binding": 7,
}
# Peers within a layer that must not include each other.
SEPARATED = {frozenset(("counting", "training"))}
SUFFIXES = (".h", ".cpp", ".cc", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.M)


def folder_of(rel):
    parts = pathlib.PurePosixPath(rel).parts
    return parts[0] if len(parts) > 1 else ""


def module_of(rel):
    return str(pathlib.PurePosixPath(rel).with_suffix(""))


def scan(root):
    """Returns {file: [(included file, line number)]} and {file: [system headers]}."""
    files = sorted(
        str(p.relative_to(root).as_posix()) for p in root.rglob("*") if p.suffix in SUFFIXES
    )
    known = set(files)
    quoted, system = {}, {}
    for rel in files:
        text = (root / rel).read_text(encoding="utf-8", errors="replace")
        quoted[rel], system[rel] = [], []
        for match in INCLUDE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            kind, name = match.groups()
            if kind == "<":
                system[rel].append(name)
                continue
            beside = str(pathlib.PurePosixPath(rel).parent / name)
            target = name if name in known else beside if beside in known else None
            if target is None:
                system[rel].append(name)  # outside the tree (a generated or third-party header)
            else:
                quoted[rel].append((target, line))
    return files, quoted, system


def strongly_connected(graph):
    """Tarjan's algorithm; returns the groups, each a sorted list."""
    index, low, on_stack, stack, groups = {}, {}, set(), [], []
    counter = [0]

    def visit(node):
        # Iterative, so that deep graphs do not hit the recursion limit.
        work = [(node, iter(sorted(graph[node])))]
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        while work:
            current, children = work[-1]
            advanced = False
            for child in children:
                if child not in index:
                    index[child] = low[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph[child]))))
                    advanced = True
                    break
                if child in on_stack:
                    low[current] = min(low[current], index[child])
            if advanced:
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[current])
            if low[current] == index[current]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == current:
                        break
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return groups


def cycle_path(graph, group):
    """One closed path through the group, starting at its first module."""
    members = set(group)
    start = group[0]
    # Breadth-first from start back to start, inside the group.
    previous = {}
    queue = collections.deque([start])
    while queue:
        node = queue.popleft()
        for child in sorted(graph[node]):
            if child not in members:
                continue
            if child == start:
                path = [node]
                while path[-1] != start:
                    path.append(previous[path[-1]])
                return list(reversed(path)) + [start]
            if child not in previous:
                previous[child] = node
                queue.append(child)
    return group + [start]


def report(root, out):
    files, quoted, system = scan(root)
    problems = 0
    by_layer = collections.defaultdict(list)
    for rel in files:
        folder = folder_of(rel)
        by_layer[LAYERS.get(folder, -1)].append(rel)
    out.write(f"{len(files)} files under {root}\n")
    for layer in sorted(by_layer):
        folders = sorted({folder_of(f) or "(root)" for f in by_layer[layer]})
        name = "unknown folder" if layer < 0 else f"layer {layer}"
        out.write(f"{name}: {', '.join(folders)} ({len(by_layer[layer])} files)\n")
        for rel in by_layer[layer]:
            out.write(f"  {rel}\n")
        if layer < 0:
            problems += len(by_layer[layer])

    upward, sideways, python = [], [], []
    modules = collections.defaultdict(set)
    for rel in files:
        source = folder_of(rel)
        for target, line in quoted[rel]:
            destination = folder_of(target)
            if LAYERS.get(destination, -1) > LAYERS.get(source, -1):
                upward.append(f"{rel}:{line} -> {target}")
            if frozenset((source, destination)) in SEPARATED:
                sideways.append(f"{rel}:{line} -> {target}")
            if module_of(target) != module_of(rel):
                modules[module_of(rel)].add(module_of(target))
            modules.setdefault(module_of(target), set())
        if source != "binding" and "Python.h" in system[rel]:
            python.append(rel)

    cycles = [g for g in strongly_connected(modules) if len(g) > 1]
    sections = (
        ("includes pointing back up a layer", upward),
        ("includes between counting and training", sideways),
        ("Python.h outside binding", python),
        ("cycles", [" -> ".join(cycle_path(modules, g)) for g in cycles]),
    )
    for title, items in sections:
        out.write(f"{title}: {len(items) or 'none'}\n")
        for item in items:
            out.write(f"  {item}\n")
        problems += len(items)
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_root = pathlib.Path(__file__).resolve().parent.parent / "src"
    parser.add_argument("--root", type=pathlib.Path, default=default_root,
                        help="the source tree (default: src/ of this checkout)")
    args = parser.parse_args(argv)
    if not args.root.is_dir():
        parser.error(f"--root {args.root}: not a directory")
    return 1 if report(args.root, sys.stdout) else 0


if __name__ == "__main__":
    sys.exit(main())
