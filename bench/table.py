#!/usr/bin/python3
"""Formats the ROW and NOTE lines of the benchmark scripts as one table.

    bench/bench_channels.py | bench/table.py
    bench/table.py rows.txt [more.txt ...]

ROW lines are "ROW<tab>figure<tab>value<tab>target<tab>comparison"; NOTE
lines are printed below the table; every other line is ignored. An empty cell
shows as "-" (for a target: the issue set none).
"""

import argparse
import sys

HEADER = ('figure', 'value', 'target', 'comparison / ratio')


def read_lines(paths):
    if not paths:
        return sys.stdin.read().splitlines()
    lines = []
    for path in paths:
        with open(path) as f:
            lines += f.read().splitlines()
    return lines


def format_table(lines):
    rows, notes = [], []
    for line in lines:
        cells = line.split('\t')
        if cells[0] == 'ROW' and len(cells) >= 2:
            rows.append([c.strip() or '-' for c in (cells[1:] + [''] * 4)[:4]])
        elif cells[0] == 'NOTE' and len(cells) >= 2:
            notes.append('\t'.join(cells[1:]))
    widths = [max(len(r[k]) for r in rows + [HEADER]) for k in range(4)]
    out = []

    def add(cells):
        out.append(' | '.join(c.ljust(w) for c, w in zip(cells, widths)).rstrip())

    add(HEADER)
    out.append('-+-'.join('-' * w for w in widths))
    for r in rows:
        add(r)
    out += ['', *notes] if notes else []
    return '\n'.join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('files', nargs='*', help='files of ROW/NOTE lines (default: stdin)')
    args = parser.parse_args()
    print(format_table(read_lines(args.files)))


if __name__ == '__main__':
    main()
