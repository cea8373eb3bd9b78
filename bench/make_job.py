#!/usr/bin/env python3
"""Generate a dense benchmark job for zv-render, plus the same text as UTF-8.

usage: make_job.py PAGES OUT.zv [OUT.txt]

Each page has 66 lines of exactly 80 printable characters (Polish words with
diacritics and ASCII words, digits, punctuation). In the job file (cp1250):
  - lines end with CR LF, every page ends with a form feed (0x0C);
  - every 4th line starts with a pitch change, cycling ESC 0x01 (17 cpi),
    ESC 0x04 (12 cpi), ESC 0x02 (20 cpi), ESC 0x03 (10 cpi);
  - every line has one bold word (ESC 0x07 ... ESC 0x08), every 3rd line also
    an underlined word (ESC 0x0E ... ESC 0x0F);
  - the job starts with ESC 0x19 (reset).
The text file holds the same printable text in UTF-8, lines ended by LF (no
CR, which some text-to-PDF tools would print as a glyph), form feeds kept,
no escape codes.

The output is deterministic (fixed seed): the same PAGES gives the same bytes.
Python 3 standard library only.
"""
import random
import sys

ESC = b"\x1b"
PITCHES = [b"\x01", b"\x04", b"\x02", b"\x03"]  # 17, 12, 20, 10 cpi
LINES_PER_PAGE = 66
COLS = 80

WORDS = (
    "zażółć gęślą jaźń źdźbło łódź żółw śnieg ćma pięść gałąź więź "
    "Łódź Kraków Gdańsk Poznań Wrocław Szczecin Białystok Częstochowa "
    "ŻÓŁW ŚLĄSK ĆMA ŹRÓDŁO ŁĄKA ŃÓŚĆ "
    "faktura rachunek kwota netto brutto podatek VAT razem suma "
    "Kowalski Nowak Wiśniewski Wójcik Kamiński Lewandowski Zieliński "
    "invoice total item qty price order customer account balance "
    "PLN EUR 123,45 67,80 1000,00 2024-01-31 nr/123 #42 (A) [B] 50% -"
).split()


def make_line(rng):
    """Return a list of words whose joined length is exactly COLS."""
    words = []
    length = 0
    while True:
        w = rng.choice(WORDS)
        add = len(w) + (1 if words else 0)
        if length + add > COLS:
            break
        words.append(w)
        length += add
    # pad the last word with dots to reach exactly COLS characters
    words[-1] = words[-1] + "." * (COLS - length)
    return words


def main(argv):
    if len(argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    pages = int(argv[1])
    rng = random.Random(1250)
    job = open(argv[2], "wb")
    txt = open(argv[3], "w", encoding="utf-8", newline="") if len(argv) == 4 else None
    job.write(ESC + b"\x19")
    line_no = 0
    for _ in range(pages):
        jb = bytearray()
        tx = []
        for _ in range(LINES_PER_PAGE):
            words = make_line(rng)
            if line_no % 4 == 0:
                jb += ESC + PITCHES[(line_no // 4) % 4]
            bold = rng.randrange(len(words))
            under = rng.randrange(len(words)) if line_no % 3 == 0 else -1
            for i, w in enumerate(words):
                if i:
                    jb += b" "
                enc = w.encode("cp1250")
                if i == bold:
                    enc = ESC + b"\x07" + enc + ESC + b"\x08"
                if i == under:
                    enc = ESC + b"\x0e" + enc + ESC + b"\x0f"
                jb += enc
            jb += b"\r\n"
            text = " ".join(words)
            assert len(text) == COLS
            tx.append(text + "\n")
            line_no += 1
        jb += b"\x0c"
        tx.append("\f")
        job.write(jb)
        if txt:
            txt.write("".join(tx))
    job.close()
    if txt:
        txt.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
