#!/usr/bin/env python3
"""Packs PNG pictures into one Windows icon group of eight images.

Usage: pack_ico.py OUT.ico PNG16 PNG32 PNG48

For 16 and 32 pixels a 4-bit (16 colour) image, for all three sizes an
8-bit (256 colour) image and a 32-bit image with alpha, every one as a
bottom-up device-independent bitmap with its AND mask. ImageMagick reduces
the colours; this script lays out the bytes (ICONDIR, ICONDIRENTRY,
BITMAPINFOHEADER, palette, pixel rows, mask rows).
"""
import os
import struct
import subprocess
import sys

CONVERT = os.environ.get("CONVERT", "convert")


def rgba_pixels(png, size):
    raw = subprocess.run([CONVERT, png, "-resize", f"{size}x{size}!", "-depth", "8", "rgba:-"],
                         check=True, capture_output=True).stdout
    return [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)]


def reduced_pixels(png, size, colours):
    """The opaque colours reduced to at most `colours` - 1 (index 0 stays for transparency)."""
    raw = subprocess.run([CONVERT, png, "-resize", f"{size}x{size}!", "-background", "white", "-alpha", "remove",
                          "+dither", "-colors", str(colours - 1), "-depth", "8", "rgb:-"],
                         check=True, capture_output=True).stdout
    return [tuple(raw[i:i + 3]) for i in range(0, len(raw), 3)]


def row_stride(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def and_mask(alpha_rows, size):
    stride = row_stride(size)
    out = bytearray()
    for row in reversed(alpha_rows):
        line = bytearray(stride)
        for x, a in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bpp, palette_len, image_len):
    # Height counts the colour rows and the mask rows together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, image_len, 0, 0, palette_len, 0)


def paletted_image(png, size, bpp):
    colours = 1 << bpp
    rgba = rgba_pixels(png, size)
    rgb = reduced_pixels(png, size, colours)
    palette = [(0, 0, 0)]
    index_of = {}
    indices = []
    for (r, g, b), (_, _, _, a) in zip(rgb, rgba):
        if a < 128:
            indices.append(0)
            continue
        key = (r, g, b)
        if key not in index_of:
            if len(palette) >= colours:
                raise SystemExit(f"too many colours for {bpp}-bit image")
            index_of[key] = len(palette)
            palette.append(key)
        indices.append(index_of[key])
    palette += [(0, 0, 0)] * (colours - len(palette))
    stride = row_stride(size * bpp)
    pixels = bytearray()
    for y in reversed(range(size)):
        line = bytearray(stride)
        for x in range(size):
            i = indices[y * size + x]
            if bpp == 8:
                line[x] = i
            else:
                line[x // 2] |= i << (4 if x % 2 == 0 else 0)
        pixels += line
    alpha_rows = [[rgba[y * size + x][3] for x in range(size)] for y in range(size)]
    mask = and_mask(alpha_rows, size)
    body = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette) + pixels + mask
    return bitmap_header(size, bpp, colours, len(pixels) + len(mask)) + body, colours


def truecolour_image(png, size):
    rgba = rgba_pixels(png, size)
    pixels = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = rgba[y * size + x]
            pixels += bytes((b, g, r, a))
    alpha_rows = [[rgba[y * size + x][3] for x in range(size)] for y in range(size)]
    mask = and_mask(alpha_rows, size)
    return bitmap_header(size, 32, 0, len(pixels) + len(mask)) + bytes(pixels) + mask, 0


def main():
    out, png16, png32, png48 = sys.argv[1:5]
    images = [  # (size, bpp, source)
        (16, 4, png16), (32, 4, png32),
        (16, 8, png16), (32, 8, png32), (48, 8, png48),
        (16, 32, png16), (32, 32, png32), (48, 32, png48),
    ]
    blobs = []
    for size, bpp, png in images:
        if bpp == 32:
            data, colours = truecolour_image(png, size)
        else:
            data, colours = paletted_image(png, size, bpp)
        blobs.append((size, bpp, colours, data))
    header = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    entries = b""
    for size, bpp, colours, data in blobs:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colours % 256, 0, 1, bpp, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(header + entries + b"".join(blob[3] for blob in blobs))


if __name__ == "__main__":
    main()
