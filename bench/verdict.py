#!/usr/bin/env python3
"""Turns benchmark result lines into the table of docs/PERFORMANCE.md.

Reads lines `NAME: measured X, reference Y, ratio Z (target T)` on stdin, writes one
table row each with a verdict: "met" when the ratio satisfies the target, otherwise
"not met" and the reason recorded for that figure in bench/reasons.txt."""
import os
import re
import sys

LINE = re.compile(r'^([A-Za-z0-9_.-]+): measured ([^,]+), reference (.+?), ratio ([0-9.]+)'
                  r'(?: \(target ([^)]*)\))?')


def meets(ratio, target):
    t = target.strip()
    m = re.match(r'^(<=|<|>=|>)\s*([0-9.]+)$', t)
    if m:
        op, v = m.group(1), float(m.group(2))
        return {'<': ratio < v, '<=': ratio <= v, '>': ratio > v, '>=': ratio >= v}[op]
    m = re.match(r'^([0-9.]+) to ([0-9.]+)$', t)
    if m:
        return float(m.group(1)) <= ratio <= float(m.group(2))
    return None


def main():
    reasons = {}
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'reasons.txt')
    if os.path.exists(path):
        for raw in open(path, encoding='utf-8'):
            if raw.strip() and not raw.startswith('#') and ':' in raw:
                name, why = raw.split(':', 1)
                reasons[name.strip()] = why.strip()
    print('| figure | measured | reference | ratio | target | verdict |')
    print('|---|---|---|---|---|---|')
    for raw in sys.stdin:
        m = LINE.match(raw.strip())
        if not m:
            continue
        name, measured, reference, ratio, target = m.groups()
        target = target or ''
        ok = meets(float(ratio), target)
        if ok is None:
            verdict = 'no target'
        elif ok:
            verdict = 'met'
        else:
            verdict = 'not met: ' + reasons.get(name, 'no reason recorded yet')
        print(f'| {name} | {measured} | {reference} | {ratio} | {target} | {verdict} |')


if __name__ == '__main__':
    main()
