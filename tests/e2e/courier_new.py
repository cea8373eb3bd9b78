#!/usr/bin/env python3
"""Makes a "Courier New" family from Liberation Mono (its metric twin) for a Wine prefix: the
regular and the bold face under the names Windows's Courier New has, so that a font asked for by
the full name "Courier New Bold" finds the bold face, as on Windows. (Wine's font replacements
name families, so they cannot do this.)

    courier_new.py FONTS_FOLDER
"""
import sys
from fontTools.ttLib import TTFont

LIBERATION = "/usr/share/fonts/truetype/liberation/"
FACES = [
    ("LiberationMono-Regular.ttf", "cour.ttf", "Regular", "Courier New", "CourierNewPSMT"),
    ("LiberationMono-Bold.ttf", "courbd.ttf", "Bold", "Courier New Bold", "CourierNewPS-BoldMT"),
]

def main(folder):
    for source, target, style, full, postscript in FACES:
        font = TTFont(LIBERATION + source)
        names = {1: "Courier New", 2: style, 3: full, 4: full, 6: postscript,
                 16: "Courier New", 17: style}
        table = font["name"]
        table.names = [n for n in table.names if n.nameID not in names]
        for name_id, text in names.items():
            table.setName(text, name_id, 3, 1, 0x409)
            table.setName(text, name_id, 1, 0, 0)
        font.save(folder + "/" + target)

if __name__ == "__main__":
    main(sys.argv[1])
