#!/usr/bin/env python3
"""Draws the loader's icon (a parcel with an arrow leaving it) and writes
loader.ico with nine images: 48, 32 and 16 pixels at 4, 8 and 32 bits per
pixel. With --preview FILE it also writes the images side by side as a PNG.
Only the standard library is used, so anyone can regenerate the icon."""
import argparse
import struct
import zlib

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 32)
SUPERSAMPLE = 4

BOX_FRONT = (196, 140, 76)
BOX_SIDE = (150, 100, 50)
BOX_TOP = (222, 176, 112)
TAPE = (240, 222, 170)
OUTLINE = (84, 52, 24)
ARROW = (34, 160, 64)
ARROW_EDGE = (16, 92, 36)


def inside_polygon(x, y, points):
    hit = False
    for (x1, y1), (x2, y2) in zip(points, points[1:] + points[:1]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            hit = not hit
    return hit


def near_edge(x, y, points, width):
    for (x1, y1), (x2, y2) in zip(points, points[1:] + points[:1]):
        dx, dy = x2 - x1, y2 - y1
        length2 = dx * dx + dy * dy or 1e-9
        t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / length2))
        px, py = x1 + t * dx - x, y1 + t * dy - y
        if px * px + py * py <= width * width:
            return True
    return False


# Shapes in a unit square, painted in order: (polygon, fill, outline).
FRONT = [(0.10, 0.42), (0.62, 0.50), (0.62, 0.94), (0.10, 0.84)]
SIDE = [(0.62, 0.50), (0.90, 0.40), (0.90, 0.82), (0.62, 0.94)]
TOP = [(0.10, 0.42), (0.40, 0.32), (0.90, 0.40), (0.62, 0.50)]
TAPE_STRIP = [(0.23, 0.38), (0.29, 0.36), (0.79, 0.44), (0.73, 0.46)]
ARROW_SHAPE = [(0.44, 0.44), (0.44, 0.24), (0.32, 0.24), (0.56, 0.03), (0.80, 0.24),
               (0.68, 0.24), (0.68, 0.44)]
SHAPES = [(FRONT, BOX_FRONT), (SIDE, BOX_SIDE), (TOP, BOX_TOP), (TAPE_STRIP, TAPE),
          (ARROW_SHAPE, ARROW)]


def sample(x, y, size):
    """Colour and coverage (0 or 1) of one point of the unit square."""
    edge = 1.2 / size
    colour = None
    for points, fill in SHAPES:
        if inside_polygon(x, y, points):
            line = ARROW_EDGE if fill == ARROW else OUTLINE
            colour = line if near_edge(x, y, points, edge) else fill
        elif colour is not None and fill == ARROW and near_edge(x, y, points, edge * 0.5):
            colour = ARROW_EDGE
    return colour


# The 16-colour images use the standard palette, so each colour of the design
# gets a deliberate stand-in there, and edges are left hard.
SIXTEEN_COLOUR_LOOK = {BOX_FRONT: (128, 128, 0), BOX_SIDE: (128, 0, 0), BOX_TOP: (255, 255, 0),
                       TAPE: (192, 192, 192), OUTLINE: (0, 0, 0), ARROW: (0, 128, 0),
                       ARROW_EDGE: (0, 0, 0)}


def render(size, n=SUPERSAMPLE):
    """size x size RGBA pixels, top row first, from n x n samples a pixel."""
    pixels = []
    for row in range(size):
        line = []
        for col in range(size):
            r = g = b = covered = 0
            for sy in range(n):
                for sx in range(n):
                    c = sample((col + (sx + 0.5) / n) / size, (row + (sy + 0.5) / n) / size, size)
                    if c:
                        r, g, b, covered = r + c[0], g + c[1], b + c[2], covered + 1
            if covered:
                line.append((r // covered, g // covered, b // covered, 255 * covered // (n * n)))
            else:
                line.append((0, 0, 0, 0))
        pixels.append(line)
    return pixels


def vga_palette():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def image_palette(pixels, opaque, limit=32):
    """The image's own most frequent colours, black first, at most 'limit'.
    The header's colour count keeps unused entries out of the loader's
    image; transparent pixels (index 0) stay black, as the AND mask needs."""
    counts = {}
    for line, mask in zip(pixels, opaque):
        for p, o in zip(line, mask):
            if o:
                counts[p[:3]] = counts.get(p[:3], 0) + 1
    popular = sorted(counts, key=lambda c: (-counts[c], c))
    return [(0, 0, 0)] + [c for c in popular if c != (0, 0, 0)][:limit - 1]


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def dib(pixels, depth):
    """The icon image: header, palette, colour bits and AND mask, bottom row first."""
    size = len(pixels)
    palette = vga_palette() if depth == 4 else []
    opaque = [[p[3] >= 128 for p in line] for line in pixels]
    if depth == 8:
        palette = image_palette(pixels, opaque)
    colour_rows = []
    for row in reversed(range(size)):
        line = pixels[row]
        if depth == 32:
            data = b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in line)
        else:
            cache = {}
            indices = []
            for col, p in enumerate(line):
                if not opaque[row][col]:
                    indices.append(0)
                    continue
                key = p[:3]
                if key not in cache:
                    cache[key] = nearest(key, palette)
                indices.append(cache[key])
            if depth == 8:
                data = bytes(indices)
            else:
                data = bytes(indices[i] << 4 | (indices[i + 1] if i + 1 < size else 0)
                             for i in range(0, size, 2))
        colour_rows.append(data.ljust(row_bytes(size * depth), b"\0"))
    mask_rows = []
    for row in reversed(range(size)):
        bits = 0
        for col in range(size):
            bits = bits << 1 | (0 if opaque[row][col] else 1)
        width = row_bytes(size)
        mask_rows.append((bits << (width * 8 - size)).to_bytes(width, "big"))
    colour = b"".join(colour_rows)
    mask = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, len(colour) + len(mask),
                         0, 0, len(palette), 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + table + colour + mask


def write_ico(path, images):
    """images: list of (size, depth, dib bytes)."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, depth, data in images:
        entries += struct.pack("<BBBBHHII", size, size, 16 if depth == 4 else 0, 0, 1, depth,
                               len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(directory + entries + b"".join(data for _, _, data in images))


def decode_for_preview(data, size, depth):
    """Reads a DIB back as RGB rows over a light checkerboard, as a viewer shows it."""
    palette_size = struct.unpack_from("<I", data, 32)[0] or {4: 16, 8: 256}.get(depth, 0)
    table = data[40:40 + 4 * palette_size]
    palette = [(table[i + 2], table[i + 1], table[i]) for i in range(0, len(table), 4)]
    bits = data[40 + 4 * palette_size:]
    stride, mask_stride = row_bytes(size * depth), row_bytes(size)
    mask = bits[stride * size:]
    rows = []
    for row in range(size):
        src = size - 1 - row
        line = []
        for col in range(size):
            back = (236, 236, 236) if (row // 4 + col // 4) % 2 else (255, 255, 255)
            transparent = mask[src * mask_stride + col // 8] >> (7 - col % 8) & 1
            if depth == 32:
                b, g, r, a = bits[src * stride + col * 4: src * stride + col * 4 + 4]
                line.append(tuple((c * a + k * (255 - a)) // 255 for c, k in zip((r, g, b), back)))
                continue
            if depth == 8:
                index = bits[src * stride + col]
            else:
                byte = bits[src * stride + col // 2]
                index = byte >> 4 if col % 2 == 0 else byte & 15
            line.append(back if transparent else palette[index])
        rows.append(line)
    return rows


def write_preview(path, images, scale=4):
    """All images in a row, each scaled up, as a PNG."""
    gap = 8
    width = sum(size * scale + gap for size, _, _ in images) + gap
    height = max(size for size, _, _ in images) * scale + 2 * gap
    canvas = [[(90, 90, 110)] * width for _ in range(height)]
    x = gap
    for size, depth, data in images:
        rows = decode_for_preview(data, size, depth)
        for y in range(size * scale):
            for dx in range(size * scale):
                canvas[gap + y][x + dx] = rows[y // scale][dx // scale]
        x += size * scale + gap
    raw = b"".join(b"\0" + bytes(c for p in line for c in p) for line in canvas)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("output", help="the .ico file to write")
    parser.add_argument("--preview", help="also write the images as a PNG")
    args = parser.parse_args()
    images = []
    for size in SIZES:
        smooth = render(size)
        hard = [[SIXTEEN_COLOUR_LOOK.get(p[:3], p[:3]) + (p[3],) for p in line] for line in render(size, 1)]
        for depth in DEPTHS:
            images.append((size, depth, dib(hard if depth == 4 else smooth, depth)))
    write_ico(args.output, images)
    if args.preview:
        write_preview(args.preview, images)


if __name__ == "__main__":
    main()
