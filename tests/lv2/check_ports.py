#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The port checks lv2_validate leaves out: every plug-in's ports have the indices 0..n-1, each
once, and every control port's default lies within its minimum and maximum.

    check_ports.py <file.ttl>...      (reads the triples through sordi; exit 1 on a fault)
"""
import os
import subprocess
import sys
from collections import defaultdict

LV2 = "http://lv2plug.in/ns/lv2core#"
RDF_TYPE = "http://www.w3.org/1999/02/22-rdf-syntax-ns#type"


def triples(path):
    base = "file://" + os.path.abspath(path)
    out = subprocess.run(["sordi", "-o", "ntriples", path, base], check=True, capture_output=True,
                         text=True).stdout
    for line in out.splitlines():
        parts = line.rstrip(" .").split(" ", 2)
        if len(parts) == 3:
            # Blank node labels are per file: keep those of different files apart.
            yield tuple(f"_:{path}:{t[2:]}" if t.startswith("_:") else t
                        for t in (term.strip() for term in parts))


def value(term):
    """The number of a literal such as "1.0"^^<...#decimal>, or None."""
    if term.startswith('"'):
        try:
            return float(term[1:term.index('"', 1)])
        except ValueError:
            return None
    return None


def check(paths):
    about = defaultdict(lambda: defaultdict(list))
    for path in paths:
        for s, p, o in triples(path):
            about[s][p].append(o)
    faults = []
    for subject, props in about.items():
        if f"<{LV2}Plugin>" not in props.get(f"<{RDF_TYPE}>", []):
            continue
        ports = [about[port] for port in props.get(f"<{LV2}port>", [])]
        indices = sorted(int(value(i)) for port in ports for i in port.get(f"<{LV2}index>", []))
        if indices != list(range(len(ports))):
            faults.append(f"{subject}: port indices {indices}, want 0..{len(ports) - 1} once each")
        for port in ports:
            name = port.get(f"<{LV2}symbol>", ["?"])[0]
            low, high, default = (value(port.get(f"<{LV2}{k}>", [""])[0])
                                  for k in ("minimum", "maximum", "default"))
            if default is not None and low is not None and high is not None and not low <= default <= high:
                faults.append(f"{subject}: port {name}: default {default} outside {low}..{high}")
    for fault in faults:
        print(fault, file=sys.stderr)
    return not faults


if __name__ == "__main__":
    sys.exit(0 if check(sys.argv[1:]) else 1)
