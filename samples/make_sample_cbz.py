#!/usr/bin/env python3
"""Draws the pages of Quillet's sample comic and packs them into sample.cbz.

Every pixel is computed here; nothing is taken from elsewhere. The cover is
page01.png: a night sky with a moon over three hills, and a border. Run it
again to remake samples/sample.cbz:  python3 samples/make_sample_cbz.py
"""
import os
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "fixtures"))
import pages  # noqa: E402

WIDTH, HEIGHT = 300, 450


def cover():
    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            # night sky fading towards the horizon
            t = y / HEIGHT
            colour = (int(20 + 60 * t), int(24 + 40 * t), int(70 + 90 * t))
            # the moon
            if (x - 210) ** 2 + (y - 110) ** 2 < 42 ** 2:
                colour = (246, 232, 170)
            # three hills
            for cx, cy, r, c in ((60, 520, 190, (40, 110, 60)), (240, 540, 200, (30, 90, 50)),
                                 (150, 600, 210, (55, 130, 70))):
                if (x - cx) ** 2 + (y - cy) ** 2 < r * r:
                    colour = c
            # border
            if x < 8 or y < 8 or x >= WIDTH - 8 or y >= HEIGHT - 8:
                colour = (230, 200, 60)
            row.append(colour + (255,))
        rows.append(row)
    return rows


def story_page(number):
    rows = []
    panel = pages.page_colour(number)
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            inside = (12 <= x < WIDTH - 12) and (12 <= y < HEIGHT - 12) and not (HEIGHT // 2 - 6 <= y < HEIGHT // 2 + 6)
            row.append((panel if inside else (250, 250, 245)) + (255,))
        rows.append(row)
    return rows


def main():
    out_dir = os.path.dirname(os.path.abspath(__file__))
    work = os.path.join(out_dir, ".pages")
    os.makedirs(work, exist_ok=True)
    files = [("credits.png", story_page(9)), ("page01.png", cover()), ("page02.png", story_page(2)),
             ("page03.png", story_page(3))]
    target = os.path.join(out_dir, "sample.cbz")
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, rows in files:
            path = os.path.join(work, name)
            pages.write_png(path, rows)
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f:
                archive.writestr(info, f.read())
            os.remove(path)
    os.rmdir(work)
    print(target)


if __name__ == "__main__":
    main()
