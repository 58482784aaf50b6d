#!/usr/bin/env python3
"""Instructions per request from a callgrind profile.

    callgrind_counts.py PROFILE ANCHOR [TOP]

ANCHOR is a substring of the function called once per request (for example
'plat::um::IoControl('). Prints the anchor's inclusive instructions divided
by its calls, the same without one-time work, then the functions with the most exclusive instructions, each
with its calls and its instructions per request. Counts are exact (callgrind
counts every instruction), so they do not move with the machine's load.
"""
import re
import sys
from collections import defaultdict


def parse(path):
    names = {}
    exclusive = defaultdict(int)
    calls = defaultdict(int)
    inclusive_calls = defaultdict(int)  # cost of calls made to a function, summed over callers
    current = None
    callee = None
    pending_call = None

    def name_of(spec):
        m = re.match(r"\((\d+)\)(?:\s+(.*))?", spec)
        if not m:
            return spec
        if m.group(2):
            names[m.group(1)] = m.group(2)
        return names.get(m.group(1), spec)

    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            if line.startswith("fn="):
                current = name_of(line[3:])
                pending_call = None
            elif line.startswith("cfn="):
                callee = name_of(line[4:])
            elif line.startswith("calls="):
                pending_call = int(line[6:].split()[0])
            elif line[0] in "0123456789+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call is not None:
                    calls[callee] += pending_call
                    inclusive_calls[callee] += cost
                    pending_call = None
                elif current is not None:
                    exclusive[current] += cost
    return exclusive, calls, inclusive_calls


def main():
    path, anchor = sys.argv[1], sys.argv[2]
    top = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    exclusive, calls, inclusive = parse(path)
    anchors = [n for n in calls if anchor in n]
    if not anchors:
        sys.exit(f"no function matching {anchor!r} was called")
    requests = sum(calls[n] for n in anchors)
    total = sum(inclusive[n] for n in anchors)
    print(f"{requests} calls of {anchors[0]}")
    print(f"{total / requests:.0f} instructions per call (inclusive)")
    # What every call costs, without one-time work (first traces of a site,
    # symbol binding, the handle's open and close): the functions that run at
    # least every other call.
    steady = sum(cost for name, cost in exclusive.items()
                 if calls.get(name, 0) >= requests / 2 and not name.startswith("tvrx::bench::"))
    print(f"{steady / requests:.0f} instructions per call in functions run at least every other call")
    print()
    print(f"{'instr/call':>10} {'calls/call':>10}  function (exclusive)")
    for name, cost in sorted(exclusive.items(), key=lambda kv: -kv[1])[:top]:
        print(f"{cost / requests:10.1f} {calls.get(name, 0) / requests:10.2f}  {name[:150]}")


if __name__ == "__main__":
    main()
