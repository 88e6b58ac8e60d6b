#!/usr/bin/env python3
"""Draws the launcher window's art: res/background.png, res/artwork.png and res/updater.ico.

usage: make_art.py [OUTPUT_FOLDER]      (default: the repository's res/ folder; about 30 s)

Everything is drawn from scratch: the scene's shapes, clouds and embers come from
fixed random seeds, so two runs with the same ImageMagick and font write the same bytes.
ONLY=bg,art,icon (any of them) draws only those files; ART_PREVIEW=FOLDER also saves
each icon size as a PNG there, to look at.

  background.png  1643 x 957, RGB without alpha: a dusk over dark mountains, a
                  fortress on a crag against an ember glow low on the right,
                  drifting embers and a vignette; the left third stays calm and dark.
  artwork.png     2106 x 747, RGBA: the "QORN" title in gold with a dark outline
                  and a soft dark glow, and the subtitle "ONLINE" between two rules.
  updater.ico     16, 24, 32, 48, 64, 128 and 256 px: a gold "Q" on a dark warm
                  rounded square (256 px stored as PNG, the others as bitmaps).

Needs Python 3.9 or later (standard library only) and these Debian packages:
  imagemagick      (its `convert`, or `magick`, does the drawing, blurs and PNG writing)
  fonts-noto-core  (Noto Serif Bold, the lettering)
"""
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FONT = "/usr/share/fonts/truetype/noto/NotoSerif-Bold.ttf"

BG_W, BG_H = 1643, 957
ART_W, ART_H = 2106, 747
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)

TMP = ""
MAGICK = []


# --------------------------------------------------------------------------- tools

def fail(message):
    sys.exit("make_art.py: " + message)


def find_magick():
    for name in ("magick", "convert"):
        path = shutil.which(name)
        if not path:
            continue
        try:
            out = subprocess.run([path, "-version"], capture_output=True, text=True, timeout=60)
        except OSError:
            continue
        if out.returncode == 0 and "ImageMagick" in out.stdout:
            return [path]
    fail("ImageMagick is missing: install it with `apt-get install -y imagemagick`")


def im(*args):
    """Runs ImageMagick with the given arguments (file names are relative to the temp folder)."""
    cmd = MAGICK + [str(a) for a in args]
    out = subprocess.run(cmd, cwd=TMP, capture_output=True, text=True)
    if out.returncode != 0:
        shown = " ".join(a if len(a) < 60 else a[:56] + " ..." for a in cmd)
        fail("ImageMagick failed: " + shown + "\n" + out.stderr[-2000:])
    return out.stdout


def tmp(name):
    return os.path.join(TMP, name)


def write_pgm(name, w, h, values):
    """values: w*h numbers in 0..1 (or a bytes object already in 0..255)."""
    if not isinstance(values, (bytes, bytearray)):
        values = bytes(max(0, min(255, int(v * 255.0 + 0.5))) for v in values)
    with open(tmp(name), "wb") as f:
        f.write(b"P5 %d %d 255\n" % (w, h) + values)


def write_ppm(name, w, h, rgb):
    """rgb: a flat list of 3*w*h numbers in 0..255."""
    data = bytes(max(0, min(255, int(v + 0.5))) for v in rgb)
    with open(tmp(name), "wb") as f:
        f.write(b"P6 %d %d 255\n" % (w, h) + data)


def css(rgb, a=None):
    r, g, b = (int(round(v)) for v in rgb)
    if a is None:
        return "rgb(%d,%d,%d)" % (r, g, b)
    return "rgba(%d,%d,%d,%.4f)" % (r, g, b, a)


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def clamp01(t):
    return 0.0 if t < 0.0 else 1.0 if t > 1.0 else t


def smooth(e0, e1, x):
    t = clamp01((x - e0) / (e1 - e0))
    return t * t * (3.0 - 2.0 * t)


def ramp(stops, t):
    """stops: [(position, (r, g, b)), ...] sorted by position."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0))
    return stops[-1][1]


def field(name, w, h, fn):
    """Writes an RGB field computed by fn(u, v) -> (r, g, b) at w x h (u, v in 0..1)."""
    rgb = []
    for y in range(h):
        v = (y + 0.5) / h
        for x in range(w):
            rgb.extend(fn((x + 0.5) / w, v))
    write_ppm(name, w, h, rgb)


def noise_octaves(rng, name, w, h, grids, weights):
    """Value noise: random grids blown up to w x h and summed with weights, normalised."""
    args = []
    for i, (gw, gh) in enumerate(grids):
        write_pgm("%s_o%d.pgm" % (name, i), gw, gh, [rng.random() for _ in range(gw * gh)])
        args += ["(", "%s_o%d.pgm" % (name, i), "-filter", "Catrom", "-resize", "%dx%d!" % (w, h), ")"]
    poly = ",".join("%g,1" % wt for wt in weights)
    im(*args, "-poly", poly, "-normalize", "-depth", "8", name + ".pgm")


# --------------------------------------------------------------------------- shapes

def ridge(rng, n, rough, amp):
    """Midpoint displacement: n+1 heights (2**k + 1 points) in about -amp..amp."""
    size = 1
    while size < n:
        size *= 2
    h = [0.0] * (size + 1)
    h[0], h[size] = rng.uniform(-amp, amp), rng.uniform(-amp, amp)
    step, scale = size, amp
    while step > 1:
        half = step // 2
        for i in range(half, size, step):
            h[i] = (h[i - half] + h[i + half]) / 2 + rng.uniform(-scale, scale)
        step, scale = half, scale * rough
    return h


def ridge_polygon(points, bottom):
    pts = list(points) + [(points[-1][0], bottom), (points[0][0], bottom)]
    return "polygon " + " ".join("%.1f,%.1f" % p for p in pts)


def draw_mask(name, w, h, shapes):
    """Shapes: MVG primitives drawn white on black (anti-aliased) into a grey mask."""
    args = ["-size", "%dx%d" % (w, h), "xc:black", "-fill", "white", "-stroke", "none",
            "-draw", "\n".join(shapes)]
    im(*args, "-colorspace", "Gray", "-depth", "8", name + ".pgm")


# --------------------------------------------------------------------------- background

def glow(u, v, rx, ry, cx, cy):
    """A soft elliptic spot: 1 at (cx, cy), falling off over the radii rx, ry."""
    dx, dy = (u - cx) / rx, (v - cy) / ry
    return math.exp(-(dx * dx + dy * dy))


def skyline(rng, n, W, H, rough, level):
    """The n + 1 points of a skyline across the picture: level(u, h) is its height (a
    fraction of H) at u, with h the jagged roughness there."""
    h = jagged(rng, n, rough)
    return [(i / n * W, H * level(i / n, h[i])) for i in range(n + 1)]


def jagged(rng, n, rough):
    """n+1 midpoint-displacement heights scaled to -1..1."""
    h = ridge(rng, n, rough, 1.0)[:n + 1]
    lo, hi = min(h), max(h)
    return [2 * (x - lo) / (hi - lo) - 1 for x in h]


def fortress_shapes(cx, base, s):
    """MVG polygons of a fortress standing on (cx, base); s is the pixel size of one unit."""
    shapes = []

    def rect(x0, y0, x1, y1):
        bottom = base + 8 if y0 == 0 else base - y0 * s          # footings sink into the rock
        shapes.append("rectangle %.1f,%.1f %.1f,%.1f" % (cx + x0 * s, base - y1 * s, cx + x1 * s, bottom))

    def poly(*pts):
        shapes.append("polygon " + " ".join("%.1f,%.1f" % (cx + x * s, base - y * s) for x, y in pts))

    def crenels(x0, x1, top, w=1.5, h=1.8, gap=1.2):
        x = x0
        while x + w <= x1 + 0.01:
            rect(x, top, x + w, top + h)
            x += w + gap

    def tower(x0, x1, top, roof=None, lip=0.7):
        rect(x0, 0, x1, top)
        rect(x0 - lip, top - 1.4, x1 + lip, top)                  # the machicolation lip
        if roof:
            poly((x0 - lip - 0.3, top), ((x0 + x1) / 2, top + roof), (x1 + lip + 0.3, top))
        else:
            crenels(x0 - lip, x1 + lip, top)

    # curtain walls stepping up the crag
    rect(-44, 0, -28, 8)
    crenels(-44, -28, 8)
    rect(-30, 0, 30, 13)
    crenels(-30, 30, 13)
    rect(26, 0, 40, 10)
    crenels(26, 40, 10)
    # towers from the left: a squat bastion, a watch tower, the chapel spire
    tower(-48, -41, 14)
    tower(-32, -26, 22, roof=15)
    tower(-21, -14, 28)
    # the keep with its hall roof and the needle tower
    rect(-13, 0, 9, 33)
    crenels(-13.4, 9.4, 33)
    poly((-11, 33), (-2, 41), (7, 33))
    tower(-5.5, 0.5, 50, roof=30)
    tower(11, 16, 36, roof=19)
    tower(21, 26, 25, roof=13)
    tower(36, 41, 18, roof=10)
    # a thin buttress bridge to a lone tower on the right
    poly((41, 6), (50, 6), (50, 8), (41, 9.5))
    tower(49, 53, 21, roof=12)
    # banners on the two tallest spires
    for (x, y) in ((-2.5, 80), (13.5, 55)):
        rect(x - 0.17, y - 5, x + 0.17, y + 3)
        poly((x + 0.17, y + 3), (x + 4.5, y + 1.8), (x + 0.17, y + 0.8))
    return shapes


FORTRESS_WINDOWS = [(-2.5, 42), (-8, 26), (4, 21), (-17.5, 19), (13.5, 29), (23.5, 17), (-1, 9), (51, 15)]


def background_sky(W, H):
    sky_dark = [(0.00, (8, 6, 6)), (0.30, (15, 10, 9)), (0.50, (28, 15, 12)),
                (0.60, (46, 20, 14)), (1.00, (16, 9, 8))]
    sky_warm = [(0.00, (13, 9, 8)), (0.20, (24, 14, 12)), (0.36, (44, 20, 15)),
                (0.48, (84, 32, 18)), (0.57, (136, 52, 22)), (0.64, (100, 38, 18)),
                (1.00, (24, 11, 9))]

    def sky(u, v):
        c = mix(ramp(sky_dark, v), ramp(sky_warm, v), smooth(-0.1, 0.9, u))
        g1 = glow(u, v, 0.36, 0.20, GX, GY)
        g2 = glow(u, v, 0.15, 0.085, GX, GY)
        g3 = glow(u, v, 0.055, 0.028, GX, GY)
        return (c[0] + 150 * g1 + 120 * g2 + 80 * g3,
                c[1] + 50 * g1 + 62 * g2 + 80 * g3,
                c[2] + 18 * g1 + 22 * g2 + 45 * g3)
    field("sky.ppm", 411, 240, sky)
    im("sky.ppm", "-filter", "Catrom", "-resize", "%dx%d!" % (W, H), "scene.miff")


def background_rays(W, H, rng):
    """Faint shafts of light fanning up from the glow."""
    waves = [(rng.uniform(9, 31), rng.uniform(0, 6.283), rng.uniform(0.5, 1.0)) for _ in range(7)]
    aspect = W / H

    def rays(u, v):
        dx, dy = (u - GX) * aspect, v - GY
        if dy >= -0.005:
            return (0, 0, 0)
        a = math.atan2(dx, -dy)
        w = sum(amp * math.sin(f * a + ph) for f, ph, amp in waves) / 3.0
        shafts = smooth(0.15, 0.9, 0.5 + 0.5 * w)
        r = math.hypot(dx, dy)
        fade = smooth(0.02, 0.16, r) * math.exp(-r / 0.45) * smooth(0.0, 0.05, -dy)
        k = 70 * shafts * fade
        return (k, k * 0.45, k * 0.18)
    field("rays.ppm", 411, 240, rays)
    im("scene.miff", "(", "rays.ppm", "-resize", "%dx%d!" % (W, H), "-blur", "0x3", ")",
       "-compose", "Screen", "-composite", "scene.miff")


def background_clouds(W, H, rng):
    """Long bands of cloud: dark high up and far from the glow, lit from below near it."""
    noise_octaves(rng, "cloudn", W, H, [(3, 8), (6, 16), (12, 32), (24, 64), (48, 128), (96, 256)],
                  [0.50, 0.27, 0.13, 0.06, 0.03, 0.015])

    def band(u, v):
        k = smooth(0.0, 0.12, v) * (1 - smooth(0.42, 0.55, v)) * (0.30 + 0.70 * smooth(0.05, 0.65, u))
        return (255 * k,) * 3
    field("cloudband.ppm", 103, 60, band)
    im("cloudn.pgm", "-level", "38%,74%", "(", "cloudband.ppm", "-colorspace", "Gray", "-resize",
       "%dx%d!" % (W, H), ")", "-compose", "Multiply", "-composite", "cloudmask.miff")
    field("cloudcol.ppm", 206, 120,
          lambda u, v: mix((18, 11, 10), (150, 60, 28), 0.95 * glow(u, v, 0.42, 0.45, GX, GY)))
    field("cloudlit.ppm", 206, 120,
          lambda u, v: tuple(c * glow(u, v, 0.30, 0.42, GX, GY) for c in (255, 140, 62)))
    # the undersides: where the density falls going down, the cloud catches the glow
    im("(", "cloudn.pgm", "-roll", "+0-16", ")", "cloudn.pgm", "-compose", "Mathematics",
       "-define", "compose:args=0,1,-1,0", "-composite", "-level", "0%,10%", "-blur", "0x1.5",
       "cloudunder.miff")
    im("cloudcol.ppm", "-resize", "%dx%d!" % (W, H),
       "(", "cloudlit.ppm", "-resize", "%dx%d!" % (W, H), "cloudunder.miff",
       "-compose", "Multiply", "-composite", ")", "-compose", "Plus", "-composite", "cloudrgb.miff")
    im("scene.miff", "cloudrgb.miff", "cloudmask.miff", "-compose", "Over", "-composite", "scene.miff")


def fill_layer(W, H, name, rim, shapes, color_fn, res=(206, 120), texture=None):
    """Paints shapes with a colour field; rim > 0 lights their upper edges with the glow behind them;
    texture (a grey image) darkens them in places, like rock."""
    draw_mask(name + "_m", W, H, shapes)
    field(name + "_c.ppm", res[0], res[1], color_fn)
    im("scene.miff", "(", name + "_c.ppm", "-resize", "%dx%d!" % (W, H), ")", name + "_m.pgm",
       "-compose", "Over", "-composite", "scene.miff")
    if texture:
        im("scene.miff", texture, name + "_m.pgm", "-compose", "Multiply", "-composite", "scene.miff")
    if rim > 0:
        m = name + "_m.pgm"
        im("(", m, "-roll", "+0+3", ")", "(", m, "-roll", "+2+1", ")", "(", m, "-roll", "-2+1", ")",
           "-evaluate-sequence", "min", m, "-compose", "Mathematics", "-define", "compose:args=0,1,-1,0",
           "-composite", "-blur", "0x0.8", name + "_rim.miff")
        field(name + "_rc.ppm", 206, 120,
              lambda u, v: tuple(rim * c * glow(u, v, 0.16, 0.20, GX, GY) for c in (255, 150, 70)))
        im("scene.miff", "(", name + "_rc.ppm", "-resize", "%dx%d!" % (W, H), name + "_rim.miff",
           "-compose", "Multiply", "-composite", ")", "-compose", "Screen", "-composite", "scene.miff")


def background_land(W, H, rng):
    n = 1024

    # the farthest range, barely darker than the sky
    pts = skyline(rng, n, W, H, 0.62, lambda u, h: 0.592 - (0.035 * smooth(0.15, 0.55, u) + 0.03 * glow(
        u, 0, 0.07, 1, 0.56, 0) + 0.03 * glow(u, 0, 0.05, 1, 0.95, 0)) - 0.022 * h)
    fill_layer(W, H, "far2", 0.12, [ridge_polygon(pts, H)],
               lambda u, v: mix(mix((36, 17, 13), (150, 60, 26), glow(u, 0.6, 0.24, 1, GX, 0)),
                                mix((46, 20, 14), (180, 74, 32), glow(u, 0.6, 0.28, 1, GX, 0)),
                                smooth(0.52, 0.62, v)))

    # the far range
    pts = skyline(rng, n, W, H, 0.6, lambda u, h: 0.622 - (0.03 * smooth(0.2, 0.45, u) + 0.035 * glow(
        u, 0, 0.05, 1, 0.46, 0) + 0.03 * glow(u, 0, 0.06, 1, 0.99, 0)) - 0.018 * h)
    fill_layer(W, H, "far", 0.2, [ridge_polygon(pts, H)],
               lambda u, v: mix(mix((26, 13, 11), (92, 38, 20), glow(u, 0.6, 0.22, 1, GX, 0)),
                                mix((44, 20, 14), (150, 62, 28), glow(u, 0.6, 0.28, 1, GX, 0)),
                                smooth(0.57, 0.66, v)))

    # valley mist
    noise_octaves(rng, "mistn", W, H, [(3, 12), (6, 24), (12, 48)], [0.6, 0.3, 0.1])
    field("mistband.ppm", 103, 60, lambda u, v: (255 * 0.6 * glow(0, v, 1, 0.03, 0, 0.655)
                                                 * (0.3 + 0.7 * smooth(0.1, 0.8, u)),) * 3)
    field("mist_c.ppm", 103, 60, lambda u, v: mix((60, 28, 18), (175, 76, 34), glow(u, 0.6, 0.28, 1, GX, 0)))
    im("mistn.pgm", "-level", "20%,90%", "(", "mistband.ppm", "-colorspace", "Gray", "-resize",
       "%dx%d!" % (W, H), ")", "-compose", "Multiply", "-composite", "mist_m.miff")
    im("scene.miff", "(", "mist_c.ppm", "-resize", "%dx%d!" % (W, H), ")", "mist_m.miff",
       "-compose", "Over", "-composite", "scene.miff")

    # the crag and the fortress on it, in front of the glow, with the middle range
    cx = GX * W - 6
    s = 3.1                                   # pixels per fortress unit
    top = 0.455 * H
    foot = 0.70 * H
    mid = skyline(rng, n, W, H, 0.58, lambda u, h: 0.672 - 0.03 * smooth(0.5, 0.0, u) - 0.016 * h
                - 0.02 * glow(u, 0, 0.05, 1, 0.93, 0))
    crag = []
    for side, spread in ((-1, 110), (1, 150)):
        jag = jagged(rng, 32, 0.55)
        fine = jagged(rng, 32, 0.9)
        edge = []
        for k in range(33):
            t = k / 32
            x = cx + side * (52 * s + spread * t ** 1.3 + (26 * jag[k] + 5 * fine[k]) * (0.2 + t))
            edge.append((x, top + 3 + t * (foot - top)))
        crag.append(edge)
    capj = jagged(rng, 16, 0.6)
    cap = [(cx - 52 * s + k * (104 * s) / 16, top + 4 + 2.5 * capj[k]) for k in range(17)]
    crag_poly = "polygon " + " ".join("%.1f,%.1f" % p for p in
                                      list(reversed(crag[0])) + cap + crag[1])
    # rock: blotchy noise, as on weathered cliffs
    noise_octaves(rng, "rockn", W, H, [(30, 20), (60, 36), (120, 72), (240, 144)], [0.4, 0.3, 0.2, 0.1])
    im("rockn.pgm", "+level", "62%,100%", "rock.miff")
    fill_layer(W, H, "mid", 0.45, [ridge_polygon(mid, H), crag_poly] + fortress_shapes(cx, top + 4, s),
               lambda u, v: mix(mix((17, 10, 9), (38, 17, 12), glow(u, 0.6, 0.2, 1, GX, 0)),
                                mix((24, 12, 10), (64, 28, 16), glow(u, 0.6, 0.24, 1, GX, 0)),
                                smooth(0.62, 0.72, v)), texture="rock.miff")

    # lit windows with a little bloom
    wins = "\n".join("roundrectangle %.1f,%.1f %.1f,%.1f 0.7,0.7" % (
        cx + x * s - 0.4 * s, top + 4 - y * s - 1.8 * s, cx + x * s + 0.4 * s, top + 4 - y * s)
        for x, y in FORTRESS_WINDOWS)
    im("-size", "%dx%d" % (W, H), "xc:black", "-fill", "rgb(255,168,82)", "-draw", wins,
       "(", "+clone", "-blur", "0x6", "-evaluate", "multiply", "1.4", ")", "-compose", "Plus", "-composite",
       "win.miff")
    im("scene.miff", "win.miff", "-compose", "Screen", "-composite", "scene.miff")

    # near ground: a dark bluff on the left, low slopes on the right
    pts = skyline(rng, n, W, H, 0.55, lambda u, h: 0.745 - 0.16 * smooth(0.40, 0.0, u) ** 1.3
                - 0.035 * glow(u, 0, 0.10, 1, 0.90, 0) + 0.012 * h)
    fill_layer(W, H, "near", 0.0, [ridge_polygon(pts, H)],
               lambda u, v: mix((10, 7, 7), (26, 13, 10),
                                glow(u, 0.72, 0.25, 1, 0.8, 0) * (1 - smooth(0.7, 0.86, v))))


def background_embers(W, H, rng):
    """Sparks and ash drifting up and to the right, thickest over the right half."""
    sharp, soft = [], []
    for _ in range(210):
        u = 0.32 + 0.68 * rng.random() ** 0.6
        v = 0.05 + 0.92 * rng.random() ** 1.15
        x, y = u * W, v * H
        r = 0.7 + 1.9 * rng.random() ** 3
        hot = rng.random() ** 3
        col = mix((255, 118, 40), (255, 214, 150), hot)
        a = 0.25 + 0.75 * rng.random() ** 1.5
        ang = math.radians(rng.uniform(-80, -20))
        ln = (rng.uniform(2.5, 7) if rng.random() < 0.3 else rng.uniform(0, 1.5)) * r
        x2, y2 = x + ln * math.cos(ang), y + ln * math.sin(ang)
        seg = "line %.1f,%.1f %.1f,%.1f" % (x, y, x2, y2)
        sharp.append("stroke %s stroke-width %.2f %s" % (css(col, a), 2 * r, seg))
        soft.append("stroke %s stroke-width %.2f %s" % (css(col, a * 0.7), 6 * r, seg))
    bokeh = []
    for _ in range(12):
        u = 0.5 + 0.5 * rng.random()
        v = 0.25 + 0.7 * rng.random()
        r = rng.uniform(6, 16)
        col = mix((255, 120, 40), (255, 190, 110), rng.random())
        bokeh.append("fill %s circle %.1f,%.1f %.1f,%.1f"
                     % (css(col, rng.uniform(0.10, 0.22)), u * W, v * H, u * W + r, v * H))
    base = ["-size", "%dx%d" % (W, H), "xc:black", "-fill", "none"]
    im(*base, "-draw", "stroke-linecap round\n" + "\n".join(sharp), "-blur", "0x0.5", "emb_sharp.miff")
    im(*base, "-draw", "stroke-linecap round\n" + "\n".join(soft), "-blur", "0x4", "emb_soft.miff")
    im("-size", "%dx%d" % (W, H), "xc:black", "-stroke", "none", "-draw", "\n".join(bokeh), "-blur", "0x3",
       "emb_bokeh.miff")
    im("scene.miff", "emb_soft.miff", "-compose", "Screen", "-composite",
       "emb_bokeh.miff", "-compose", "Screen", "-composite",
       "emb_sharp.miff", "-compose", "Screen", "-composite", "scene.miff")


def background_finish(W, H, rng):
    # bloom: the bright parts spill softly over their surroundings
    im("scene.miff", "-resize", "25%", "-level", "30%,100%", "-blur", "0x10", "-resize", "%dx%d!" % (W, H),
       "-evaluate", "multiply", "0.55", "bloom.miff")
    im("scene.miff", "bloom.miff", "-compose", "Screen", "-composite", "scene.miff")
    # vignette, darkest in the corners and along the left
    def vignette(u, v):
        d = math.hypot((u - 0.62) * 1.1, (v - 0.42) * 1.3)
        return (255 * (1 - 0.6 * smooth(0.35, 1.05, d) - 0.2 * smooth(0.35, 0.0, u)),) * 3
    field("vig.ppm", 103, 60, vignette)
    im("scene.miff", "(", "vig.ppm", "-resize", "%dx%d!" % (W, H), ")", "-compose", "Multiply", "-composite",
       "scene.miff")
    # fine grain keeps the gradients from banding
    table = bytes(124 + i * 9 // 256 for i in range(256))
    write_pgm("grain.pgm", W, H, rng.randbytes(W * H).translate(table))
    im("scene.miff", "grain.pgm", "-compose", "Overlay", "-composite", "scene.miff")


GX, GY = 0.745, 0.600          # the glow behind the fortress, low on the horizon


def make_background(out_path):
    W, H = BG_W, BG_H
    rng = random.Random(20240611)
    background_sky(W, H)
    background_rays(W, H, rng)
    background_clouds(W, H, rng)
    background_land(W, H, rng)
    background_embers(W, H, rng)
    background_finish(W, H, rng)
    im("scene.miff", "-depth", "8", "-strip", "-define", "png:exclude-chunks=date,time",
       "-define", "png:compression-level=9", "PNG24:" + out_path)


# --------------------------------------------------------------------------- title artwork

GOLD_HI, GOLD_LIGHT, GOLD, GOLD_DARK = (0xF2, 0xD9, 0xA0), (0xE7, 0xBD, 0x75), (0xD3, 0xAC, 0x65), (0x9F, 0x6F, 0x30)
GOLD_DEEP = (0x74, 0x4E, 0x20)


def read_pgm(name):
    with open(tmp(name), "rb") as f:
        data = f.read()
    parts = data.split(maxsplit=4)
    w, h = int(parts[1]), int(parts[2])
    return w, h, parts[4][-w * h:]


def mask_extent(name, y0=0, y1=None, level=128):
    """(left, top, right, bottom) of the pixels at or above level, within rows y0..y1."""
    w, h, px = read_pgm(name)
    y1 = h if y1 is None else y1
    left, top, right, bottom = w, h, -1, -1
    for y in range(y0, y1):
        row = px[y * w:(y + 1) * w]
        xs = [x for x in range(w) if row[x] >= level] if max(row) >= level else []
        if xs:
            left, right = min(left, xs[0]), max(right, xs[-1])
            top, bottom = min(top, y), y
    return left, top, right, bottom


def mask_extent_cols(name, x0, x1, level=128):
    """(left, top, right, bottom) of the pixels at or above level within columns x0..x1."""
    w, h, px = read_pgm(name)
    top, bottom = h, -1
    for y in range(h):
        if max(px[y * w + x0:y * w + x1 + 1]) >= level:
            top, bottom = min(top, y), y
    return x0, top, x1, bottom


def text_box(text, size, kern):
    """(width, height, left, top) of the inked part of text set in FONT at size, with extra letter spacing kern."""
    return tuple(int(v) for v in im("-background", "black", "-fill", "white", "-font", FONT, "-pointsize", size,
                                    "-kerning", kern, "label:" + text, "-trim", "-format", "%w %h %X %Y",
                                    "info:").split())


def gradient_column(name, h, stops, y_top, y_bottom):
    """A 1 x h PPM whose colour follows stops over y_top..y_bottom (positions may leave 0..1)."""
    rgb = []
    for y in range(h):
        rgb.extend(ramp(stops, (y + 0.5 - y_top) / (y_bottom - y_top)))
    write_ppm(name, 1, h, rgb)


def metal(mask, colour, out, W, H, bevel, depth):
    """Gold leaf: the colour image, bevelled from the mask's edges and lit from the upper left."""
    k = depth
    im(mask, "-blur", "0x%g" % bevel, "-shade", "135x35", "-function", "polynomial", "%g,%g" % (k, 0.5 - 0.574 * k),
       "shade_" + out)
    im(colour, "-resize", "%dx%d!" % (W, H), "shade_" + out, "-compose", "HardLight", "-composite",
       mask, "-alpha", "off", "-compose", "CopyOpacity", "-composite", out)


def make_artwork(out_path):
    W, H = ART_W, ART_H
    size, kern = 596, 52
    # the word itself, centred
    tw, _, ox, oy = text_box("QORN", size, kern)
    x0 = (W - tw) // 2 - ox
    top = 48
    im("-size", "%dx%d" % (W, H), "xc:black", "-fill", "white", "-font", FONT, "-pointsize", size, "-kerning", kern,
       "-gravity", "NorthWest", "-annotate", "+%d+%d" % (x0, top - oy), "QORN", "-colorspace", "Gray",
       "-depth", "8", "word.pgm")
    left, cap_top, right, _ = mask_extent("word.pgm")
    # the baseline: the lowest row the R and N reach (the right half holds no descender)
    _, _, _, base = mask_extent_cols("word.pgm", (left + right) // 2, right)
    tail_right = mask_extent("word.pgm", base + 25)[2]

    # subtitle tucked under "ORN", right of the tail of the Q, between two rules
    sub_size, sub_kern = 118, 44
    sw, sh, sox, soy = text_box("ONLINE", sub_size, sub_kern)
    zone_l, zone_r = tail_right + 40, right
    scx = (zone_l + zone_r) // 2
    sub_top = base + 46
    sx = scx - sw // 2
    mid_y = sub_top + sh / 2
    d = 15                                            # half the diagonal of a diamond
    rules = []
    for a, b in ((zone_l + d, sx - 44), (sx + sw + 44, zone_r - d)):
        rules.append("rectangle %.1f,%.1f %.1f,%.1f" % (a, mid_y - 3.5, b, mid_y + 3.5))
    for x in (zone_l + d, zone_r - d, sx - 44 + d * 0.2, sx + sw + 44 - d * 0.2):
        rules.append("polygon %.1f,%.1f %.1f,%.1f %.1f,%.1f %.1f,%.1f"
                     % (x - d, mid_y, x, mid_y - d, x + d, mid_y, x, mid_y + d))
    im("-size", "%dx%d" % (W, H), "xc:black", "-fill", "white", "-font", FONT, "-pointsize", sub_size,
       "-kerning", sub_kern, "-gravity", "NorthWest", "-annotate", "+%d+%d" % (sx - sox, sub_top - soy), "ONLINE",
       "-draw", "\n".join(rules), "-colorspace", "Gray", "-depth", "8", "sub.pgm")
    im("word.pgm", "sub.pgm", "-compose", "Lighten", "-composite", "all.pgm")

    # colours: polished gold with a darker band across the middle of the letters
    gradient_column("word_col.ppm", H, [
        (0.0, GOLD_HI), (0.14, GOLD_HI), (0.30, GOLD_LIGHT), (0.44, GOLD), (0.51, GOLD_DARK),
        (0.54, (0x8C, 0x5F, 0x28)), (0.62, (0xB4, 0x86, 0x43)), (0.78, GOLD_LIGHT), (0.92, GOLD),
        (1.02, GOLD_DARK), (1.35, GOLD_DEEP)], cap_top, base)
    gradient_column("sub_col.ppm", H, [(0.0, GOLD_HI), (0.45, GOLD_LIGHT), (0.60, GOLD), (1.0, GOLD_DARK)],
                    sub_top, sub_top + sh)
    metal("word.pgm", "word_col.ppm", "word.miff", W, H, bevel=8, depth=2.6)
    metal("sub.pgm", "sub_col.ppm", "sub.miff", W, H, bevel=2.5, depth=1.6)

    # a dark rim and a soft dark halo under everything
    im("all.pgm", "-morphology", "Dilate", "Disk:10", "outline.pgm")
    im("outline.pgm", "-blur", "0x26", "-evaluate", "multiply", "0.85", "halo.pgm")
    im("-size", "%dx%d" % (W, H), "xc:none",
       "(", "-size", "%dx%d" % (W, H), "xc:rgb(6,4,3)", "halo.pgm", "-alpha", "off", "-compose", "CopyOpacity",
       "-composite", ")", "-compose", "Over", "-composite",
       "(", "-size", "%dx%d" % (W, H), "xc:rgb(22,13,8)", "outline.pgm", "-alpha", "off", "-compose", "CopyOpacity",
       "-composite", ")", "-compose", "Over", "-composite",
       "word.miff", "-compose", "Over", "-composite",
       "sub.miff", "-compose", "Over", "-composite", "art.miff")
    im("art.miff", "-depth", "8", "-strip", "-define", "png:exclude-chunks=date,time",
       "-define", "png:compression-level=9", "PNG32:" + out_path)


# --------------------------------------------------------------------------- icon

def icon_master(size, S):
    """The emblem for one icon size, drawn at S x S pixels (to be scaled down to size)."""
    small = size <= 32
    margin = 0.0 if size <= 24 else S * 0.03
    radius = S * (0.20 if small else 0.18)
    box = "roundrectangle %.1f,%.1f %.1f,%.1f %.1f,%.1f" % (margin, margin, S - 1 - margin, S - 1 - margin,
                                                            radius, radius)
    # the tile: dark warm brown, lighter towards the middle
    field("tile_col.ppm", 64, 64, lambda u, v: mix((70, 38, 22), (16, 10, 8),
                                                    smooth(0.0, 0.72, math.hypot(u - 0.5, (v - 0.45) * 1.1))))
    im("-size", "%dx%d" % (S, S), "xc:black", "-fill", "white", "-draw", box, "-depth", "8", "tile_m.pgm")
    im("tile_col.ppm", "-resize", "%dx%d!" % (S, S), "tile_m.pgm", "-alpha", "off", "-compose", "CopyOpacity",
       "-composite", "icon.miff")
    # a gold frame just inside the edge (not at the smallest sizes)
    if size >= 24:
        inset = margin + S * (0.055 if small else 0.06)
        width = S * (0.05 if small else 0.028)
        r2 = max(radius - (inset - margin), S * 0.04)
        frame = "roundrectangle %.1f,%.1f %.1f,%.1f %.1f,%.1f" % (inset, inset, S - 1 - inset, S - 1 - inset, r2, r2)
        im("-size", "%dx%d" % (S, S), "xc:black", "-fill", "none", "-stroke", "white", "-strokewidth", "%.1f" % width,
           "-draw", frame, "-depth", "8", "frame.pgm")
        gradient_column("frame_col.ppm", S, [(0.0, GOLD_HI), (0.5, GOLD), (1.0, GOLD_DARK)], 0, S)
        metal("frame.pgm", "frame_col.ppm", "frame.miff", S, S, bevel=S / 500.0, depth=1.4)
        im("icon.miff", "frame.miff", "-compose", "Over", "-composite", "icon.miff")
    # the Q: as tall as fits, centred on its whole shape (the tail included)
    target = S * (0.86 if size <= 16 else 0.74 if small else 0.64)
    pt = target / 542.0 * 596
    gw, gh, gx, gy = text_box("Q", "%.1f" % pt, 0)
    qx = (S - gw) / 2.0 - gx
    qy = (S - gh) / 2.0 - gy + S * 0.01
    im("-size", "%dx%d" % (S, S), "xc:black", "-fill", "white", "-font", FONT, "-pointsize", "%.1f" % pt,
       "-gravity", "NorthWest", "-annotate", "+%d+%d" % (round(qx), round(qy)), "Q", "-depth", "8", "q.pgm")
    if size <= 24:                                   # fatten the strokes a little so they survive the smallest sizes
        im("q.pgm", "-morphology", "Dilate", "Disk:%d" % max(1, S // 64), "q.pgm")
    top_q = (S - gh) / 2.0
    cap_bot = top_q + gh * 413 / 542.0
    if small:                                        # plain bright gold reads best in a few pixels
        stops = [(0.0, GOLD_HI), (0.45, GOLD_LIGHT), (1.0, GOLD), (1.3, GOLD_DARK)]
    else:
        stops = [(0.0, GOLD_HI), (0.25, GOLD_LIGHT), (0.5, GOLD), (0.56, GOLD_DARK), (0.64, (0xC2, 0x94, 0x50)),
                 (0.85, GOLD_LIGHT), (1.0, GOLD), (1.3, GOLD_DARK)]
    gradient_column("q_col.ppm", S, stops, top_q, cap_bot)
    metal("q.pgm", "q_col.ppm", "q.miff", S, S, bevel=S / (60.0 if small else 90.0), depth=1.6 if small else 2.0)
    shadow = max(1, S // (40 if small else 60))
    im("q.pgm", "-morphology", "Dilate", "Disk:%d" % shadow, "-blur", "0x%g" % (S / 80.0), "q_dark.pgm")
    im("icon.miff",
       "(", "-size", "%dx%d" % (S, S), "xc:rgb(10,6,4)", "q_dark.pgm", "-alpha", "off", "-compose", "CopyOpacity",
       "-composite", ")", "-compose", "Over", "-composite",
       "q.miff", "-compose", "Over", "-composite",
       "tile_m.pgm", "-alpha", "off", "-compose", "CopyOpacity", "-composite", "icon.miff")   # clip to the tile


def bmp_icon_entry(size, rgba):
    """A 32-bit DIB icon image (XOR bitmap bottom-up, then the 1-bit AND mask)."""
    rows = [rgba[y * size * 4:(y + 1) * size * 4] for y in range(size)]
    xor = bytearray()
    for row in reversed(rows):
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x in range(size):
            if row[4 * x + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def make_icon(out_path):
    images = []
    for size in ICON_SIZES:
        if size <= 32:
            S, filt = size * 8, "Box"
        else:
            S, filt = 1024, "Lanczos"
        icon_master(size, S)
        im("icon.miff", "-filter", filt, "-resize", "%dx%d!" % (size, size), "-depth", "8", "icon_%d.miff" % size)
        if size == 256:
            im("icon_256.miff", "-strip", "-define", "png:exclude-chunks=date,time", "-define",
               "png:compression-level=9", "PNG32:icon_256.png")
            with open(tmp("icon_256.png"), "rb") as f:
                images.append((size, f.read()))
        else:
            im("icon_%d.miff" % size, "-depth", "8", "RGBA:icon_%d.rgba" % size)
            with open(tmp("icon_%d.rgba" % size), "rb") as f:
                images.append((size, bmp_icon_entry(size, f.read())))
        im("icon_%d.miff" % size, "-strip", "PNG32:icon_%d.png" % size)
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, blob in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs += blob
    with open(out_path, "wb") as f:
        f.write(header + entries + blobs)
    if os.environ.get("ART_PREVIEW"):
        for size in ICON_SIZES:
            shutil.copy(tmp("icon_%d.png" % size), os.path.join(os.environ["ART_PREVIEW"], "icon_%d.png" % size))


# --------------------------------------------------------------------------- checks

def png_header(path):
    """(width, height, bit depth, colour type) from a PNG's IHDR."""
    with open(path, "rb") as f:
        head = f.read(33)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        fail("%s is not a PNG" % path)
    return struct.unpack(">IIBB", head[16:26])


def check_outputs(out):
    for name, size, colour_type in (("background.png", (BG_W, BG_H), 2), ("artwork.png", (ART_W, ART_H), 6)):
        path = os.path.join(out, name)
        if not os.path.exists(path):
            continue
        w, h, depth, ct = png_header(path)
        if (w, h) != size or depth != 8 or ct != colour_type:
            fail("%s is %dx%d, depth %d, colour type %d" % (name, w, h, depth, ct))
        print("%-15s %4d x %-4d %s  %7d bytes" % (name, w, h, "RGB " if ct == 2 else "RGBA", os.path.getsize(path)))
    path = os.path.join(out, "updater.ico")
    if os.path.exists(path):
        with open(path, "rb") as f:
            data = f.read()
        _, kind, count = struct.unpack("<HHH", data[:6])
        sizes = []
        for i in range(count):
            w, h, _, _, _, bits, length, offset = struct.unpack("<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
            sizes.append(w or 256)
            if (w or 256) != (h or 256) or bits != 32 or offset + length > len(data):
                fail("updater.ico: a bad entry %d" % i)
        if kind != 1 or tuple(sizes) != ICON_SIZES:
            fail("updater.ico holds %s" % sizes)
        print("%-15s %s px  %7d bytes" % ("updater.ico", ", ".join(map(str, sizes)), len(data)))


def main():
    global TMP, MAGICK
    out = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "res")
    MAGICK = find_magick()
    if not os.path.isfile(FONT):
        fail("the font %s is missing: install it with `apt-get install -y fonts-noto-core`" % FONT)
    os.makedirs(out, exist_ok=True)
    TMP = tempfile.mkdtemp(prefix="make_art.")
    try:
        only = os.environ.get("ONLY", "bg,art,icon").split(",")
        if "bg" in only:
            make_background(os.path.join(out, "background.png"))
        if "art" in only:
            make_artwork(os.path.join(out, "artwork.png"))
        if "icon" in only:
            make_icon(os.path.join(out, "updater.ico"))
        check_outputs(out)
    finally:
        shutil.rmtree(TMP, ignore_errors=True)


if __name__ == "__main__":
    main()
