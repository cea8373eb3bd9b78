#!/usr/bin/env python3
"""Whether two PDFs are the same pages to the device unit: the same page sizes, the same words in
the same order, every word's box within TOLERANCE points of the other's (one unit of a 600 dpi
device is 0.12 pt). Says the first difference and exits 1 when there is one.

    same_pages.py [--tolerance PT] A.pdf B.pdf
"""
import re
import subprocess
import sys

WORD = re.compile(r'<word xMin="([-0-9.]+)" yMin="([-0-9.]+)" xMax="([-0-9.]+)" yMax="([-0-9.]+)">(.*?)</word>')
PAGE = re.compile(r'<page width="([0-9.]+)" height="([0-9.]+)">')


def pages_of(path):
    out = subprocess.run(["pdftotext", "-bbox", path, "-"], capture_output=True, check=True,
                         text=True).stdout
    pages = []
    for line in out.splitlines():
        page = PAGE.search(line)
        if page:
            pages.append((float(page[1]), float(page[2]), []))
            continue
        word = WORD.search(line)
        if word and pages:
            pages[-1][2].append((word[5], *map(float, word.groups()[:4])))
    return pages


def main(argv):
    tolerance = 0.12
    if len(argv) > 2 and argv[1] == "--tolerance":
        tolerance = float(argv[2])
        argv = argv[2:]
    a, b = pages_of(argv[1]), pages_of(argv[2])
    if len(a) != len(b):
        print(f"{len(a)} pages against {len(b)}")
        return 1
    words = 0
    for n, ((wa, ha, ta), (wb, hb, tb)) in enumerate(zip(a, b), 1):
        if abs(wa - wb) > tolerance or abs(ha - hb) > tolerance:
            print(f"page {n}: {wa} x {ha} pt against {wb} x {hb} pt")
            return 1
        if len(ta) != len(tb):
            print(f"page {n}: {len(ta)} words against {len(tb)}")
            return 1
        for x, y in zip(ta, tb):
            if x[0] != y[0]:
                print(f"page {n}: the word {x[0]!r} against {y[0]!r}")
                return 1
            off = max(abs(p - q) for p, q in zip(x[1:], y[1:]))
            if off > tolerance:
                print(f"page {n}: {x[0]!r} at {x[1:]} against {y[1:]} ({off:.3f} pt apart)")
                return 1
            words += 1
    if words == 0:
        print("no words to compare")
        return 1
    print(f"{len(a)} pages, {words} words, each within {tolerance} pt")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
