"""Checks that every #include in src/ points down the layers, and that no
file reaches itself through its includes. With --dot, prints the graph of
folders (one node per layer) in Graphviz form.

The layers, lowest first. A file may include its own layer and lower ones.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys

LAYERS = [
    "aws/base",
    "aws/http",
    "aws/config",
    "aws/auth",
    "aws/client",
    "aws/services",
    "aws/session",
    "testlib",
    "s3",
    "report",
    "probefleet/config",
    "probefleet/core",
    "probefleet/resources",
    "probefleet/guard",
    "probefleet/deploy",
    "probefleet/teardown",
    "probefleet/sweep",
    "probefleet/run",
    "cli",
    "s3tool",
    "results_tool",
    "image_tool",
    "sweep_tool",
    "report_tool",
]
# Programs and libraries on one level do not use each other.
PEERS = [
    {"s3tool", "results_tool", "image_tool", "sweep_tool", "report_tool"},
    {"probefleet/deploy", "probefleet/teardown"},
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(relative: str) -> str | None:
    best = None
    for layer in LAYERS:
        if relative.startswith(layer + "/") and (best is None or len(layer) > len(best)):
            best = layer
    return best


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("src", type=pathlib.Path)
    parser.add_argument("--dot", action="store_true")
    args = parser.parse_args()

    files = sorted(p for p in args.src.rglob("*") if p.suffix in (".h", ".cc"))
    graph: dict[str, list[str]] = {}
    problems = []
    for path in files:
        name = path.relative_to(args.src).as_posix()
        graph[name] = []
        own = layer_of(name)
        if own is None:
            problems.append(f"{name}: in no layer")
            continue
        for target in INCLUDE.findall(path.read_text()):
            if not (args.src / target).exists():
                continue  # a system or third-party header
            graph[name].append(target)
            other = layer_of(target)
            if other is None or LAYERS.index(other) > LAYERS.index(own) or (
                other != own and any(other in group and own in group for group in PEERS)
            ):
                problems.append(f"{name}: includes {target}, which is above it ({other} over {own})")

    # A circle of includes, found by a depth-first walk.
    state: dict[str, int] = {}

    def visit(node: str, trail: list[str]) -> None:
        state[node] = 1
        for nxt in graph.get(node, []):
            if state.get(nxt) == 1:
                circle = trail[trail.index(nxt):] + [nxt] if nxt in trail else [node, nxt]
                problems.append("include circle: " + " -> ".join(circle))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = 2

    for node in graph:
        if node not in state:
            visit(node, [node])

    if args.dot:
        edges = sorted(
            {(layer_of(a), layer_of(b)) for a, targets in graph.items() for b in targets}
            - {(x, x) for x in LAYERS}
        )
        print("digraph layers {")
        for a, b in edges:
            print(f'  "{a}" -> "{b}";')
        print("}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if not args.dot:
        print(f"{len(files)} files, {sum(map(len, graph.values()))} includes, "
              f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
