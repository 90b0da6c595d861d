#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 60), one after the
# other, over a seed corpus made from tests/fixtures and the inputs kept in
# fuzz/regressions/<target>/ (every input that once crashed a target).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Builds the "fuzz" preset (clang++, ASan + UBSan) first. Without clang++ it
# says so and succeeds: fuzzing is an extra, the test suite stands alone.
# The corpus grows in build/fuzz/corpus/<target>/ from run to run; a crash,
# leak or hang leaves its input in build/fuzz/artifacts/<target>/ and makes
# the script fail. A line per target tells its runs and outcome.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, the fuzz targets are skipped"
  exit 0
fi

build=build/fuzz
all_targets=()
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  all_targets+=("$name")
done
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

if ! cmake --preset fuzz >/dev/null 2>&1; then
  echo "fuzz: the fuzz preset does not configure here (clang++ without libFuzzer?), the fuzz targets are skipped"
  exit 0
fi
cmake --build --preset fuzz --target "${targets[@]}" >"$build/fuzz-build.log" 2>&1 || {
  tail -40 "$build/fuzz-build.log"
  exit 1
}

fixtures=tests/fixtures
seeds_root="$build/seeds"

# first_bytes GZ COUNT OUT: the first COUNT bytes of a gzipped fixture.
first_bytes() {
  [ -f "$fixtures/$1" ] || return 0
  zcat "$fixtures/$1" 2>/dev/null | head -c "$2" >"$3"
}

# samples OUT MAXBYTES: the sample files (made by real programs), each cut to MAXBYTES.
samples() {
  local tmp
  tmp=$(mktemp -d)
  tar xzf "$fixtures/samples.tar.gz" -C "$tmp" 2>/dev/null
  for f in "$tmp"/samples/*; do
    [ -f "$f" ] && head -c "$2" "$f" >"$1/$(basename "$f")"
  done
  rm -rf "$tmp"
}

# archive_samples ARCHIVE OUT MAXBYTES: the files of a sample archive of tests/fixtures, each cut to MAXBYTES.
archive_samples() {
  local tmp
  [ -f "$fixtures/$1" ] || return 0
  tmp=$(mktemp -d)
  tar xzf "$fixtures/$1" -C "$tmp" 2>/dev/null
  find "$tmp" -type f -exec sh -c 'head -c "$1" "$2" >"$3/$(basename "$2")"' _ "$3" {} "$2" \;
  rm -rf "$tmp"
}

# Seeds of each target, made once per build folder.
make_seeds() {
  local target=$1 dir="$seeds_root/$1"
  [ -d "$dir" ] && return 0
  mkdir -p "$dir"
  case "$target" in
    professional_fat_fuzz | volume_head_fuzz | partition_table_fuzz)
      for f in fat12 fat16 fat32_512 fat32_tree fat16_quick fat_fragments disk_mbr disk3_mbr; do
        first_bytes "$f.img.gz" 1048576 "$dir/$f"
      done ;;
    fat_continuation_fuzz)
      for f in fat16 fat_fragments deleted_tree_fat deleted_tree_plain_fat; do first_bytes "$f.img.gz" 2097152 "$dir/$f"; done ;;
    professional_ntfs_fuzz | mft_record_fuzz)
      for f in ntfs_512 ntfs_4k ntfs_reformat_same; do first_bytes "$f.img.gz" 1048576 "$dir/$f"; done ;;
    exfat_volume_fuzz | exfat_entry_set_fuzz)
      for f in exfat_512 exfat_4k exfat_formatted; do first_bytes "$f.img.gz" 1048576 "$dir/$f"; done ;;
    ext4_structures_fuzz | ext4_volume_fuzz)
      for f in ext4_home ext4_inline ext3_deleted ext4_mounted ext4_wrapped ext4_remade_isize; do first_bytes "$f.img.gz" 1048576 "$dir/$f"; done ;;
    deep_scan_fuzz)
      first_bytes fat12.img.gz 1048576 "$dir/fat12"
      first_bytes fat_reuse.img.gz 1048576 "$dir/fat_reuse"
      first_bytes ntfs_512.img.gz 524288 "$dir/ntfs_512"
      first_bytes exfat_512.img.gz 524288 "$dir/exfat_512"
      first_bytes zero_1m.img.gz 65536 "$dir/zero" ;;
    carve_sector_fuzz | carve_and_record_fuzz)
      samples "$dir" 262144 ;;
    structure_check_fuzz)
      archive_samples structure_samples.tar.gz "$dir" 262144 ;;
    iso_bmff_walk_fuzz | stream_walk_fuzz)
      archive_samples modern_samples.tar.gz "$dir" 65536 ;;
    text_carve_fuzz)
      cp share/config.ini scripts/fuzz.sh CMakeLists.txt engine/signatures/text_content.cpp "$dir/"
      printf '{\n  "name": "quellmoor",\n  "items": [1, 2, 3]\n}\n' >"$dir/json"
      printf 'id,name,count\n1,a,2\n2,b,3\n3,c,4\n' >"$dir/csv" ;;
    office_xml_fuzz)
      printf '<w:document><w:body><w:p><w:r><w:t>Hello</w:t></w:r></w:p></w:body></w:document>' >"$dir/docx"
      printf '<sst><si><t>one</t></si><si><t>two</t></si></sst><sheetData><row><c t="s"><v>1</v></c></row></sheetData>' >"$dir/xlsx" ;;
    ini_file_fuzz)
      cp share/config.ini share/Languages/*.ini "$dir/" ;;
    relation_file_fuzz)
      printf '\x08 | 2 - [1,2,5] | 4294967303 - [3,4]' >"$dir/two"
      printf '\x01 | 7 - [1,1,1' >"$dir/cut" ;;
    kept_state_fuzz)
      command -v python3 >/dev/null 2>&1 || return 0
      # Flags 3, a volume of 65536 sectors at 2048, then a state of that volume stopped in its second extent.
      python3 - "$dir/stopped" <<'EOF'
import struct, sys
head = struct.pack("<BQQB", 3, 2048, 65536, 0)
state = b"QMDEEP02" + struct.pack("<IQQBBI", 512, 2048, 65536, 0, 1, 0)
state += struct.pack("<8Q", 1, 10, 0, 110, 2, 3, 0, 0)
state += struct.pack("<Q", 1) + struct.pack("<QQ", 0, 4096)
state += struct.pack("<Q", 2) + struct.pack("<QQ", 100, 100) + struct.pack("<QQ", 300, 50)
open(sys.argv[1], "wb").write(head + state + bytes(8))
EOF
      ;;
    scan_index_fuzz)
      command -v python3 >/dev/null 2>&1 || return 0
      # A counter of 3 and one remembered image scan ("/img" in UTF-16, folder "/s/3/").
      python3 - "$dir/one" <<'EOF'
import struct, sys
entry = bytearray(1120)
struct.pack_into("<iIQQ", entry, 0, 0, 0, 2048, 8192)
entry[80:88] = "/img".encode("utf-16-le")
entry[600:612] = "/s/3/".encode("utf-16-le")
open(sys.argv[1], "wb").write(struct.pack("<Q", 3) + entry)
EOF
      ;;
  esac
}

failed=0
total=0
for target in "${targets[@]}"; do
  bin="$build/fuzz/$target"
  [ -x "$bin" ] || { echo "fuzz: $target was not built"; failed=1; continue; }
  make_seeds "$target"
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  regressions="fuzz/regressions/$target"
  # The kept crash inputs must not crash any more.
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    if ! "$bin" "$regressions"/* >"$artifacts/regressions.log" 2>&1; then
      echo "fuzz: $target crashes on a kept regression input (see $artifacts/regressions.log)"
      failed=1
      continue
    fi
  fi
  log="$artifacts/run.log"
  "$bin" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=3072 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" "$seeds_root/$target" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  total=$((total + seconds))
  if [ $rc -eq 0 ]; then
    echo "fuzz: $target: ${seconds}s, ${runs:-?} runs, no crash"
  else
    echo "fuzz: $target: FAILED after ${runs:-?} runs (exit $rc); input in $artifacts/, log $log"
    grep -m3 -E 'ERROR|SUMMARY|Timeout|out-of-memory' "$log" | sed 's/^/  /'
    failed=1
  fi
done
echo "fuzz: ${#targets[@]} targets, ${total}s of fuzzing"
exit $failed
