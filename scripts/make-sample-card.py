#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes the sample memory card of the screenshots: the image of a camera card
(an MBR, one FAT32 partition) with holiday photos (landscapes painted by ImageMagick: skies, sun,
mountains, sea, forest, lakes), a short video made from them by ffmpeg, and a
few notes; most photos are deleted afterwards with mtools, as someone who lost
them would have. Photos carry their date in Exif (exiftool) and in the FAT
entry.

    scripts/make-sample-card.py OUT.img            # about a minute
    scripts/make-sample-card.py --photos 40 OUT.img

Needs: imagemagick, ffmpeg, libimage-exiftool-perl, fdisk, dosfstools, mtools
(scripts/install-deps.sh --fixtures). Works in a temporary folder it removes.
"""
import argparse
import datetime
import os
import random
import shutil
import subprocess
import sys
import tempfile

# Scenes are painted at half size and enlarged (a lens's softness); the photos are 1600 x 1200.
W, H = 800, 600
OUT_W, OUT_H = 1600, 1200


def run(*args, **kw):
    subprocess.run(list(args), check=True, **kw)


def ridge(rng, base, rough, step=40):
    """A mountain ridge: points across the width around the height base."""
    points, y = [], base
    for x in range(-step, W + 2 * step, step):
        y = max(base - rough, min(base + rough // 3, y + rng.randint(-rough // 3, rough // 3)))
        points.append((x, y))
    return points


def polygon(points, bottom=H):
    pts = [(points[0][0], bottom)] + points + [(points[-1][0], bottom)]
    return "polygon " + " ".join(f"{x},{y}" for x, y in pts)


def texture(seed, dark, light):
    """A mottled texture between two colours (plasma, without plasma's own colours)."""
    return ["-seed", str(seed), "plasma:gray70-gray30", "-colorspace", "gray", "-auto-level", "-colorspace", "sRGB",
            "+level-colors", f"{dark},{light}"]


def layer(work, name, texture, shape):
    """An image of texture (an ImageMagick source such as plasma:...) cut to the drawn shape."""
    tex = os.path.join(work, name + "-tex.miff")
    mask = os.path.join(work, name + "-mask.miff")
    out = os.path.join(work, name + ".miff")
    run("convert", "-size", f"{W // 4}x{H // 4}", *texture, "-resize", f"{W}x{H}!", tex)
    run("convert", "-size", f"{W}x{H}", "xc:black", "-fill", "white", "-draw", shape, "-blur", "0x0.8", mask)
    run("convert", tex, mask, "-alpha", "off", "-compose", "CopyOpacity", "-composite", out)
    return out


def paint(work, index, rng, path):
    kind = ["sunset sea", "mountains", "lake", "forest", "beach day", "alps"][index % 6]
    sky = {
        "sunset sea": ("#f4a259", "#5b3a8c"),
        "mountains": ("#9ec9ee", "#e8f1f8"),
        "lake": ("#7fb3e0", "#f3e9d2"),
        "forest": ("#a7d3f2", "#eef6fb"),
        "beach day": ("#4da3e8", "#d9f0ff"),
        "alps": ("#5d8fc9", "#dbe8f5"),
    }[kind]
    seed = rng.randint(1, 10**6)
    layers = []
    base = os.path.join(work, f"p{index}")
    sky_png = base + "-sky.miff"
    horizon = rng.randint(280, 360)
    run("convert", "-size", f"{W}x{H}", f"gradient:{sky[0]}-{sky[1]}", sky_png)
    # Clouds: soft plasma, thinned and lightened.
    clouds = base + "-clouds.miff"
    run("convert", "-size", f"{W // 4}x{H // 4}", "-seed", str(seed), "plasma:white-gray60", "-blur", "0x1",
        "-colorspace", "gray", "-level", "45%,85%", "-resize", f"{W}x{H}!", "-alpha", "copy", "-channel", "A",
        "-evaluate", "multiply", "0.55" if kind != "sunset sea" else "0.25", "+channel", "-fill", "white",
        "-colorize", "100", clouds)
    layers.append(clouds)
    sunx, suny = rng.randint(150, 650), horizon - rng.randint(20, 130)
    if kind in ("sunset sea", "beach day", "lake"):
        glow = base + "-sun.miff"
        colour = "#ffe29a" if kind == "sunset sea" else "#fffbe8"
        run("convert", "-size", f"{W}x{H}", "xc:none", "-fill", colour, "-draw",
            f"circle {sunx},{suny} {sunx + 35},{suny}", "(", "+clone", "-blur", "0x30", ")", "-compose", "screen",
            "-composite", glow)
        layers.append(glow)
    if kind in ("mountains", "alps", "lake"):
        for depth, (hi, lo) in enumerate([("#8a9bb0", "#6f8196"), ("#5f7286", "#46586b"), ("#3f5162", "#2c3b48")]):
            points = ridge(rng, horizon - 110 + depth * 55, 130 - depth * 30, step=20)
            layers.append(layer(work, f"p{index}-m{depth}", texture(seed + depth, lo, hi), polygon(points)))
            if depth == 0 and kind != "lake":
                snowline = min(y for _, y in points) + 45
                snow = [(x, y) for x, y in points]
                cap = [(x, max(y, min(y + 14, snowline))) for x, y in reversed(points)]
                layers.append(layer(work, f"p{index}-snow", ["xc:#f4f7fb"],
                                    "polygon " + " ".join(f"{x},{y}" for x, y in snow + cap)))
    if kind in ("sunset sea", "beach day", "lake"):
        water = base + "-water.miff"
        top = horizon + 30
        colours = {"sunset sea": ("#2d3561", "#0b132b"), "beach day": ("#1e81b0", "#0b4f75"),
                   "lake": ("#4f7ca8", "#1f3a57")}[kind]
        run("convert", "-size", f"{W}x{H - top}", f"gradient:{colours[0]}-{colours[1]}", "(", "+clone", "-seed",
            str(seed), "+noise", "Gaussian", "-motion-blur", "0x12+0", ")", "-compose", "overlay", "-composite",
            "-background", "none", "-gravity", "south", "-extent", f"{W}x{H}", water)
        layers.append(water)
    if kind in ("forest", "lake", "mountains", "alps"):
        hills = ridge(rng, horizon + 60, 45, step=40)
        layers.append(layer(work, f"p{index}-hill", texture(seed + 9, "#2f5a1c", "#6a9a40"),
                            polygon(hills)))
        trees = []
        for _ in range(rng.randint(60, 140)):
            x = rng.randint(0, W)
            y = rng.randint(horizon + 50, H)
            h = int(15 + (y - horizon) * 0.35)
            trees.append(f"polygon {x},{y - h} {x - h // 4},{y} {x + h // 4},{y}")
        forest = base + "-trees.miff"
        run("convert", "-size", f"{W}x{H}", "xc:none", "-fill", "#1d3b1f", "-draw", " ".join(trees), "-blur",
            "0x0.5", forest)
        layers.append(forest)
    if kind in ("sunset sea", "beach day"):
        sand = [(x, H - 115 + int(20 * ((x / W) - 0.5) ** 2 * 4) + rng.randint(-4, 4)) for x in range(-20, W + 40, 40)]
        layers.append(layer(work, f"p{index}-sand", texture(seed + 3, "#c9a24a", "#eed08a"),
                            polygon(sand)))
    # Put it together, with a lens's softness, grain and vignette.
    args = ["convert", sky_png]
    for l in layers:
        args += [l, "-composite"]
    args += ["-resize", f"{OUT_W}x{OUT_H}!", "(", "-size", f"{OUT_W}x{OUT_H}", "radial-gradient:white-gray72", ")",
             "-compose", "multiply", "-composite", "-attenuate", "0.3", "+noise", "Gaussian", "-quality", "90", path]
    run(*args)
    return kind


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--photos", type=int, default=18, help="how many photos (at least 4)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--keep", help="also copy the photos into this folder")
    options = parser.parse_args()
    for tool in ("convert", "ffmpeg", "exiftool", "sfdisk", "mkfs.fat", "mcopy", "mdel"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: run scripts/install-deps.sh --fixtures")
    rng = random.Random(options.seed)
    work = tempfile.mkdtemp(prefix="quellmoor-card.")
    try:
        card = os.path.join(work, "DCIM")
        os.makedirs(card)
        start = datetime.datetime(2024, 7, 12, 9, 14, 3)
        photos = []
        for i in range(options.photos):
            taken = start + datetime.timedelta(days=i // 5, hours=(i % 5) * 2, minutes=rng.randint(0, 59),
                                                seconds=rng.randint(0, 59))
            name = taken.strftime("IMG_%Y%m%d_%H%M%S.jpg")
            path = os.path.join(card, name)
            paint(work, i, rng, path)
            stamp = taken.strftime("%Y:%m:%d %H:%M:%S")
            run("exiftool", "-q", "-overwrite_original", f"-DateTimeOriginal={stamp}", f"-CreateDate={stamp}",
                "-Make=Canon", "-Model=Canon PowerShot G7 X Mark II", path)
            os.utime(path, (taken.timestamp(), taken.timestamp()))
            photos.append((name, taken))
        # A short clip: a slow pan over two of the photos.
        clip = os.path.join(card, "VID_20240714_183002.mp4")
        first = os.path.join(card, photos[min(1, len(photos) - 1)][0])
        run("ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", first, "-t", "3", "-vf",
            "scale=1920:-2,crop=1280:720:'min(320,t*120)':200,format=yuv420p", "-r", "25", clip)
        taken = start + datetime.timedelta(days=2, hours=9)
        os.utime(clip, (taken.timestamp(), taken.timestamp()))
        notes = os.path.join(work, "Packing list.txt")
        with open(notes, "w", encoding="utf-8") as f:
            f.write("Sunscreen\nSpare batteries for the camera\nMemory card reader\nMaps of the lake trails\n")
        plan = os.path.join(work, "Trip plan.txt")
        with open(plan, "w", encoding="utf-8") as f:
            f.write("Day 1: beach at sunset\nDay 2: mountain hut, lake walk\nDay 3: forest trail, drive home\n")
        if options.keep:
            os.makedirs(options.keep, exist_ok=True)
            for name, _ in photos:
                shutil.copy2(os.path.join(card, name), options.keep)
        # A card as cameras format them: an MBR with one FAT32 partition at 4 MiB.
        image = options.out
        if os.path.exists(image):
            os.remove(image)
        start_sector, size_mib = 8192, 128
        with open(image, "wb") as f:
            f.truncate(size_mib << 20)
        run("sfdisk", "-q", image, input=f"label: dos\nstart={start_sector}, type=c\n", text=True)
        partition_kib = ((size_mib << 20) - start_sector * 512) // 1024
        run("mkfs.fat", "-F", "32", "--offset", str(start_sector), "-n", "HOLIDAY", image, str(partition_kib),
            stdout=subprocess.DEVNULL)
        volume = f"{image}@@{start_sector * 512}"
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        run("mmd", "-i", volume, "::DCIM", "::DCIM/100CANON", env=env)
        run("mcopy", "-m", "-i", volume, *[os.path.join(card, name) for name, _ in photos], clip, "::DCIM/100CANON/",
            env=env)
        run("mcopy", "-m", "-i", volume, notes, plan, "::", env=env)
        # Someone deletes the holiday: every photo but the first few, the clip and a note.
        run("mdel", "-i", volume, *[f"::DCIM/100CANON/{name}" for name, _ in photos[3:]], env=env)
        run("mdel", "-i", volume, "::DCIM/100CANON/VID_20240714_183002.mp4", "::Trip plan.txt", env=env)
        print(f"{image}: {len(photos)} photos ({len(photos) - 3} deleted), a clip and two notes")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
