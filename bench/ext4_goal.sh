#!/usr/bin/env bash
# The home-folder case on ext4, measured: a 512 MiB volume made by mkfs.ext4 at its defaults, written and
# deleted through the kernel: 96 single files removed, then `rm -r` of a project folder of 152 files,
# unmounted between the steps. Counts how many of the 248 come back byte-exact under their own names and
# folders in fast mode, from the volume and from a copy taken while it was still mounted (journal not
# replayed), and how many files deep mode brings back (by content, any name; and under their own
# names in their own folders) once the volume was made again with mkfs.ext4: after the deletes (alike,
# and as a 400 MiB file system, whose journal lies elsewhere than the old one), and
# with all 248 files still on it, made again with the same geometry and with 128-byte inodes (the
# old inode tables then lie elsewhere than the new ones). Needs root (loop devices), ImageMagick and
# a built quellmoor.
#   bench/ext4_goal.sh [BUILD_DIR]
set -euo pipefail
build="$(cd "${1:-build/default}" && pwd)"
q="$build/quellmoor"
[[ -x "$q" ]] || { echo "build quellmoor first ($q)"; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "ext4_goal: skipped (needs root for loop devices)"; exit 0; }
work="$(mktemp -d /tmp/quellmoor-ext4-goal.XXXXXX)"
loop=""
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
  [[ -n "$loop" ]] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mnt" "$work/src" "$work/data"
export XDG_DATA_HOME="$work/data"
img="$work/home.img"
truncate -s 512M "$img"
mkfs.ext4 -q -F "$img"
attach() { loop="$(losetup -f --show "$img")"; mount "$loop" "$work/mnt"; }
detach() { umount "$work/mnt"; losetup -d "$loop"; loop=""; }

# Contents: text of many sizes (notes, sources, configuration), photos, binary blobs.
python3 - "$work/src" <<'EOF'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(248)
words = "alpha bravo cobalt delta ember fjord garnet harbor indigo jasper kelvin lumen marble".split()
def text(path, size, tag):
    lines, n = [], 0
    while n < size:
        line = "%s %d: %s\n" % (tag, len(lines), " ".join(rnd.choice(words) for _ in range(9)))
        lines.append(line); n += len(line)
    open(path, "w").write("".join(lines)[:size])
os.makedirs(root + "/singles"); os.makedirs(root + "/project")
for i in range(96):
    ext = [".txt", ".md", ".csv", ".conf", ".bin"][i % 5]
    path = "%s/singles/file_%02d%s" % (root, i, ext)
    if ext == ".bin":
        open(path, "wb").write(rnd.randbytes(rnd.randint(2000, 400000)))
    else:
        text(path, rnd.randint(100, 60000), "single-%d" % i)
for i in range(152):
    sub = ["src", "src/core", "include", "docs", "tests", "tests/data", "scripts", "assets"][i % 8]
    ext = {"src": ".c", "src/core": ".c", "include": ".h", "docs": ".md", "tests": ".py",
           "tests/data": ".json", "scripts": ".sh", "assets": ".bin"}[sub]
    os.makedirs("%s/project/%s" % (root, sub), exist_ok=True)
    path = "%s/project/%s/p_%03d%s" % (root, sub, i, ext)
    if ext == ".bin":
        open(path, "wb").write(rnd.randbytes(rnd.randint(1000, 200000)))
    else:
        text(path, rnd.randint(200, 30000), "project-%d" % i)
EOF
for i in $(seq 0 11); do
  convert -seed "$i" -size 320x240 plasma:fractal -quality 85 "$work/src/singles/photo_$i.jpg"
done
# 96 singles: replace the first 12 .bin files by the photos.
n=0
for f in "$work"/src/singles/*.bin; do
  ((n < 12)) || break
  rm "$f"
  n=$((n + 1))
done
singles=$(find "$work/src/singles" -type f | wc -l)
project=$(find "$work/src/project" -type f | wc -l)

attach
mkdir -p "$work/mnt/home/user/Documents" "$work/mnt/home/user/work"
cp -r "$work/src/singles/." "$work/mnt/home/user/Documents/"
cp -r "$work/src/project" "$work/mnt/home/user/work/project"
mkdir -p "$work/mnt/home/user/keep" && echo "stays" >"$work/mnt/home/user/keep/live.txt"
detach
cp --sparse=always "$img" "$work/live.img" # every file still on it: for the volumes made again below
attach
find "$work/mnt/home/user/Documents" -type f -delete
detach
attach
info="/proc/fs/jbd2/$(basename "$loop")-8/info"
committed() { [[ -r "$info" ]] && sed -n '1s/ transactions.*//p' "$info" || echo 0; }
rm -r "$work/mnt/home/user/work/project"
before=$(committed)
# Wait for a journal commit made after the delete (every 5 s; later on a busy machine); the
# tables on the volume are written back much later.
for _ in $(seq 30); do
  sleep 1
  (($(committed) > before)) && break
done
sleep 1
cp --sparse=always "$img" "$work/mounted.img" # taken while mounted: the journal is not replayed
detach

# byte_exact OUT: how many of the deleted files OUT holds at their own path with their own bytes.
byte_exact() {
  local out="$1" good=0 rel
  while IFS= read -r rel; do
    [[ -f "$out/home/user/Documents/$rel" ]] && cmp -s "$work/src/singles/$rel" "$out/home/user/Documents/$rel" && good=$((good + 1))
  done < <(cd "$work/src/singles" && find . -type f | sed 's|^\./||')
  while IFS= read -r rel; do
    [[ -f "$out/home/user/work/project/$rel" ]] && cmp -s "$work/src/project/$rel" "$out/home/user/work/project/$rel" && good=$((good + 1))
  done < <(cd "$work/src/project" && find . -type f | sed 's|^\./||')
  echo "$good"
}
total=$((singles + project))
echo "deleted: $singles single files, $project in the project folder ($total)"
for case in home mounted; do
  start=$(date +%s.%N)
  "$q" recover --tree --out "$work/out-$case" "$work/$case.img" >"$work/$case.log" 2>&1 || true
  end=$(date +%s.%N)
  printf 'fast mode, %-34s %d of %d byte-exact under their own names (%.1f s)\n' \
    "$( [[ $case == home ]] && echo "unmounted volume:" || echo "copy taken while mounted:")" \
    "$(byte_exact "$work/out-$case")" "$total" "$(echo "$end - $start" | bc)"
done

# deep_counts OUT: files OUT holds by content (any name), and under their own name in their own folder.
deep_counts() {
  python3 - "$work/src" "$1" <<'EOF'
import hashlib, os, sys
src, out = sys.argv[1], sys.argv[2]
def walk(root):
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            yield p, hashlib.sha256(open(p, "rb").read()).hexdigest()
want, own = set(), set()
for p, h in walk(src):
    want.add(h)
    folder = os.path.basename(os.path.dirname(p))
    own.add(("Documents" if folder == "singles" else folder, os.path.basename(p), h))  # as written to the volume
content, named = set(), set()
for p, h in walk(out):
    if h in want:
        content.add(h)
    key = (os.path.basename(os.path.dirname(p)), os.path.basename(p), h)
    if key in own:
        named.add(key)
print(len(content), len(named))
EOF
}
# deep_case LABEL IMAGE: deep mode on IMAGE, counted.
deep_case() {
  local label="$1" image="$2" out start end counts
  out="$work/out-$(basename "$2" .img)"
  start=$(date +%s.%N)
  "$q" recover --mode deep --resume no --tree --out "$out" "$image" >"$out.log" 2>&1 || true
  end=$(date +%s.%N)
  read -r -a counts < <(deep_counts "$out")
  printf 'deep mode, %-44s %d of %d by content, %d under their own names and folders (%.1f s)\n' \
    "$label:" "${counts[0]}" "$total" "${counts[1]}" "$(echo "$end - $start" | bc)"
  rm -rf "$out"
}
# Made again with mkfs.ext4 -E nodiscard: a disk that does not discard (USB stick, hard disk).
cp --sparse=always "$img" "$work/remade.img"
mkfs.ext4 -q -F -E nodiscard "$work/remade.img"
deep_case "deleted, then mkfs.ext4 again" "$work/remade.img"
rm -f "$work/remade.img"
cp --sparse=always "$img" "$work/remade-smaller.img"
mkfs.ext4 -q -F -E nodiscard "$work/remade-smaller.img" 400M # its journal elsewhere: the old one is left
deep_case "deleted, then mkfs.ext4 as 400 MiB" "$work/remade-smaller.img"
rm -f "$work/remade-smaller.img"
cp --sparse=always "$work/live.img" "$work/remade-same.img"
mkfs.ext4 -q -F -E nodiscard "$work/remade-same.img"
deep_case "all on it, mkfs.ext4 again (same geometry)" "$work/remade-same.img"
rm -f "$work/remade-same.img"
cp --sparse=always "$work/live.img" "$work/remade-inodes.img"
mkfs.ext4 -q -F -E nodiscard -I 128 "$work/remade-inodes.img"
deep_case "all on it, mkfs.ext4 -I 128 again" "$work/remade-inodes.img"
