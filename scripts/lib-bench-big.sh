# lib-bench-big.sh - the large-site part of scripts/bench (--big, --big-memory,
# --ci, --large):
# sourced by it after its helpers are defined, never run alone. The store is
# radosgw from scripts/rgw-start, each tool talking to it through a relay that
# adds the round trip; every tool sends the STANDARD storage class (radosgw
# refuses REDUCED_REDUNDANCY) and sitemirror signs with V4.

store_kind=rgw
# A copy of the binary: a rebuild during the bench does not reach it.
cp "$binary" "$work/sitemirror"
binary=$work/sitemirror
if [ -n "$old_binary" ]; then
  cp "$old_binary" "$work/sitemirror-old"
  old_binary=$work/sitemirror-old
fi
sclass=STANDARD
export DEFAULT_JOBS=auto
rgw_base="$work/rgw"
big_cleanup() {
  RGW_BASE=$rgw_base scripts/rgw-stop --purge >/dev/null 2>&1 || true
  lib_cleanup
}
trap big_cleanup EXIT

echo "== store: radosgw (scripts/rgw-start) =="
# --large stores 24 objects of LARGE_MIB and more: radosgw frees overwritten
# data only in its later garbage collection, and a full store stops answering.
rgw_mem_default=2147483648
[ "$mode" = "--large" ] && rgw_mem_default=$(( (${LARGE_MIB:-256} * 30 + 1024) * 1024 * 1024 ))
# --ci keeps three copies of a 1 GiB site.
[ "$mode" = "--ci" ] && rgw_mem_default=$((6 * 1024 * 1024 * 1024))
RGW_BASE=$rgw_base RGW_MEM_BYTES=${RGW_MEM_BYTES:-$rgw_mem_default} scripts/rgw-start >"$work/rgw-start.log" 2>&1 ||
  { cat "$work/rgw-start.log" >&2; exit 1; }
. "$rgw_base/env.sh"
rgw=$SITEMIRROR_TEST_RGW_ENDPOINT
access=$SITEMIRROR_TEST_RGW_ACCESS_KEY
secret=$SITEMIRROR_TEST_RGW_SECRET_KEY
export AWS_ACCESS_KEY_ID=$access AWS_SECRET_ACCESS_KEY=$secret
printf '%s\n%s\n' "$access" "$secret" >"$work/s3key"

# relay_for RTT [BYTES_PER_SECOND]: a relay in front of radosgw adding RTT ms
# (and sending up at most that rate); sets $relay.
relay_for() {
  start_script relay.py --target "$rgw" --rtt-ms "$1" --uplink-bytes-per-second "${2:-0}" --max-seconds 7200
  relay="127.0.0.1:$started_port"
}

# make_small_site DIR COUNT: COUNT pages, style sheets and scripts of 0.3-3 kB
# in folders of 100, as a large documentation or archive site has.
make_small_site() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2])
rng = random.Random(19)
kinds = (("html", "<!DOCTYPE html><p>%s</p>\n"), ("css", ".c { content: '%s'; }\n"),
         ("js", "var s = '%s';\n"))
for i in range(total):
    ext, form = kinds[i % 3]
    folder = os.path.join(root, "docs", "%03d" % (i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%06d.%s" % (i, ext)), "w") as f:
        f.write(form % ("x" * rng.randint(300, 3000)))
PY
}

# change_files DIR N [MARK]: N files change content at the same size (their
# next-to-last two bytes become MARK, two bytes, default "!!").
change_files() {
  python3 - "$1" "$2" "${3:-!!}" <<'PY'
import os, sys
root, n, mark = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode()[:2]
files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs if f != "fileLists.html")
for path in files[::max(1, len(files) // n)][:n]:
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        data[-4:-2] = mark
        f.seek(0)
        f.write(data)
PY
}

make_bucket() {
  aws --endpoint-url "http://$rgw" s3 mb "s3://$1" >/dev/null
}

# timed LABEL TOOL ENDPOINT BUCKET DIR [JOBS]: sets $secs and $kb, the
# seconds and peak resident kB of the tool's process in one run (GNU time);
# the bench stops on a failed run.
timed() {
  local label=$1 status=0
  shift
  timer=(/usr/bin/time -f '%e %M' -o "$work/time.out")
  run_tool "$@" >"$work/last.out" 2>"$work/last.err" || status=$?
  timer=()
  if [ "$status" -ne 0 ]; then
    echo "$label failed with status $status; last lines:" >&2
    tail -n 20 "$work/last.out" "$work/last.err" >&2
    exit 1
  fi
  read -r secs kb < <(tail -n1 "$work/time.out")
}

median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }

big="$work/big.csv"
tools=(sitemirror ${old_binary:+sitemirror-old} s3cmd rclone aws)

if [ "$mode" = "--big-memory" ]; then
  # COUNTS overrides the file counts (FILES: one count).
  counts=${COUNTS:-${FILES:-200000 1000000}}
  rtt=${RTT_MS:-20}
  relay_for "$rtt"
  echo "== sitemirror alone: peak memory of the first mirror (64 jobs, loopback) and of an unchanged run ($rtt ms) =="
  echo "| files | first mirror | unchanged run | preparing (site, first mirror, settling run) |"
  for n in $counts; do
    dir="$work/mem-$n"
    prep_start=$SECONDS
    make_small_site "$dir" "$n"
    make_bucket "mem-$n"
    timed "seed" sitemirror "$rgw" "mem-$n" "$dir" 64
    first="$secs s, $((kb / 1024)) MB"
    timed "settle" sitemirror "$rgw" "mem-$n" "$dir" 64
    prep=$((SECONDS - prep_start))
    timed "unchanged" sitemirror "$relay" "mem-$n" "$dir"
    echo "| $n | $first | $secs s, $((kb / 1024)) MB | $prep s |"
    rm -rf "$dir"
  done
  exit 0
fi

if [ "$mode" = "--ci" ]; then
  # A deploy from CI: the site is already in the bucket; the job checks it
  # out anew (every file's times new, no digest cache of an earlier run) with
  # 10 files changed, and sends it through a link of 20 ms and 400 Mbit/s.
  rtt=${RTT_MS:-20}
  rate=${CI_BYTES_PER_SECOND:-50000000}
  rounds=${CI_ROUNDS:-3}
  relay_for "$rtt" "$rate"
  echo "== the site: 6,000 files, 1 GiB =="
  python3 - "$work/ci-site" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(33)
sizes = [rng.lognormvariate(11.3, 1.0) for _ in range(6000)]
scale = (1 << 30) / sum(sizes)
for i, s in enumerate(sizes):
    folder = os.path.join(root, "assets" if i % 3 else "pages", "%02d" % (i // 200))
    os.makedirs(folder, exist_ok=True)
    # Incompressible and below every tool's multipart threshold (8 MiB).
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(max(1, min(int(s * scale), 7 << 20))))
PY
  echo "$(find "$work/ci-site" -type f | wc -l) files, $(du -sb "$work/ci-site" | cut -f1) bytes"
  ci_tools=(sitemirror ${old_binary:+sitemirror-old} rclone aws)
  for tool in "${ci_tools[@]}"; do
    make_bucket "ci-$tool"
    # Stored beforehand straight into the store, and settled by the tool.
    cp -R "$work/ci-site" "$work/ci-seed"
    timed "$tool seed" sitemirror "$rgw" "ci-$tool" "$work/ci-seed" 64
    timed "$tool settle" "$tool" "$rgw" "ci-$tool" "$work/ci-seed"
    rm -rf "$work/ci-seed"
    runs=() peak=0
    for round in $(seq 1 "$rounds"); do
      # The checkout: a new copy (new times, new inodes), no cache, 10 files
      # changed from what the bucket holds.
      rm -rf "$work/ci-checkout" "$work/cache"
      cp -R "$work/ci-site" "$work/ci-checkout"
      change_files "$work/ci-checkout" 10 "r$round"
      timed "$tool deploy" "$tool" "$relay" "ci-$tool" "$work/ci-checkout"
      runs+=("$secs")
      [ "$kb" -gt "$peak" ] && peak=$kb
      echo "$tool, round $round: $secs s, $((kb / 1024)) MB"
    done
    if [ "$rounds" -ge 3 ]; then med=$(median3 "${runs[@]:0:3}"); else med=${runs[0]}; fi
    echo "ci;$tool;$med;$((peak / 1024))" >>"$big"
  done
  rm -rf "$work/ci-checkout" "$work/ci-site"
  python3 - "$big" "$rtt" "$rate" <<'PY'
import csv, sys
rows = [r for r in csv.reader(open(sys.argv[1]), delimiter=";") if r[0] == "ci"]
best = min(float(r[2]) for r in rows if not r[1].startswith("sitemirror"))
print("\n== fresh-checkout deploy: 1 GiB, 6,000 files, 10 changed, no cache, %s ms, %d Mbit/s, radosgw =="
      % (sys.argv[2], int(float(sys.argv[3]) * 8 / 1e6)))
print("| tool | time (median) | over the best peer | peak memory |")
print("|---|---:|---:|---:|")
for r in rows:
    print("| %s | %s s | x%.2f | %s MB |" % (r[1], r[2], float(r[2]) / best, r[3]))
print("(goal: sitemirror at most x0.50)")
PY
  exit 0
fi

if [ "$mode" = "--large" ]; then
  # One large file straight into radosgw (loopback, no relay): each tool's
  # one-file upload with its default settings, median of 3 runs, and the
  # peak resident memory of its process over the runs.
  size_mib=${LARGE_MIB:-256}
  head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/large.bin"
  make_bucket large
  rclone_cfg "$rgw" >"$work/rclone.conf"
  large_run() { # TOOL: one upload of the file; sets $secs and $kb
    local tool=$1 status=0
    case $tool in
      sitemirror*)
        SITEMIRROR_BUCKET=large SITEMIRROR_KEY_FILE="$work/s3key" SITEMIRROR_ENDPOINT="http://$rgw" \
        SITEMIRROR_SIGNATURE=v4 SITEMIRROR_STORAGE_CLASS=STANDARD XDG_CACHE_HOME="$work/cache" \
        SITEMIRROR_CONFIG=${large_rules:-} \
          /usr/bin/time -f '%e %M' -o "$work/time.out" "$binary" -q "${large_file:-$work/large.bin}" \
          >"$work/last.out" 2>"$work/last.err" || status=$? ;;
      aws) /usr/bin/time -f '%e %M' -o "$work/time.out" aws --endpoint-url "http://$rgw" s3 cp \
          --only-show-errors "$work/large.bin" s3://large/aws.bin >"$work/last.out" 2>"$work/last.err" || status=$? ;;
      rclone) /usr/bin/time -f '%e %M' -o "$work/time.out" env -u AWS_CA_BUNDLE rclone --config "$work/rclone.conf" \
          copyto --no-check-dest "$work/large.bin" bench:large/rclone.bin >"$work/last.out" 2>"$work/last.err" || status=$? ;;
    esac
    if [ "$status" -ne 0 ]; then
      echo "$tool failed with status $status" >&2
      tail -n 20 "$work/last.out" "$work/last.err" >&2
      exit 1
    fi
    read -r secs kb < <(tail -n1 "$work/time.out")
  }
  large_row() { # KIND TOOL [LABEL]: median of 3 runs and the peak
    local kind=$1 tool=$2 label=${3:-$2} runs=() peak=0
    for _ in 1 2 3; do
      large_run "$tool"
      runs+=("$secs")
      [ "$kb" -gt "$peak" ] && peak=$kb
    done
    echo "$kind;$label;$(median3 "${runs[@]}");$((peak / 1024))" >>"$big"
    echo "$label: $(median3 "${runs[@]}") s, peak $((peak / 1024)) MB"
  }
  echo "== one file of $size_mib MiB into radosgw, loopback =="
  for tool in sitemirror aws rclone; do large_row large "$tool"; done
  # Part sizes for the choice of the default (threshold 5 MiB, so every one is in parts).
  for part in 8 16 32 64; do
    large_rules="$work/part-$part.toml"
    printf 'part_size = "%s MiB"\nmultipart_threshold = "5 MiB"\n' "$part" >"$large_rules"
    large_row parts sitemirror "sitemirror, parts of $part MiB"
  done
  large_rules="$work/single.toml"
  printf 'multipart_threshold = "5 GiB"\n' >"$large_rules"
  large_row parts sitemirror "sitemirror, one PUT"
  # 64 MiB of text under a gzip rule: the memory an encoded file takes.
  python3 -c "
import random, sys
r = random.Random(3); w = 'site mirror bucket page note river lamp stone paper'.split()
with open(sys.argv[1], 'w') as f:
    n = 0
    while n < 64 * 1024 * 1024:
        line = ' '.join(r.choice(w) for _ in range(12)) + '\n'; f.write(line); n += len(line)
" "$work/large.txt"
  large_rules="$work/gzip.toml"
  printf '[[rules]]\nmatch = "*.txt"\ncache_control = "max-age=60"\ncontent_encoding = "gzip"\n' >"$large_rules"
  large_file="$work/large.txt"
  large_row gzip sitemirror "sitemirror, 64 MiB text under gzip"
  python3 - "$big" "$size_mib" <<'PY'
import csv, sys
rows = list(csv.reader(open(sys.argv[1]), delimiter=";"))
sel = [r for r in rows if r[0] == "large"]
best = min(float(r[2]) for r in sel if r[1] != "sitemirror")
print("\n== one file of %s MiB into radosgw, loopback (median of 3) ==" % sys.argv[2])
print("| tool | time | over the best peer | peak memory |")
print("|---|---:|---:|---:|")
for r in rows:
    print("| %s | %s s | x%.2f | %s MB |" % (r[1], r[2], float(r[2]) / best, r[3]))
PY
  exit 0
fi

files=${FILES:-20000}
rtt=${RTT_MS:-80}
relay_for "$rtt"
far=$relay
echo "== $files files already stored, $rtt ms =="
make_small_site "$work/big-site" "$files"
for tool in "${tools[@]}"; do
  bucket="big-$tool" dir="$work/big-$tool"
  cp -R "$work/big-site" "$dir"
  make_bucket "$bucket"
  # Stored beforehand straight into the store (sitemirror is the quickest
  # there); then one run of the tool itself settles what it keeps of its own.
  timed "$tool seed" sitemirror "$rgw" "$bucket" "$dir" 64
  timed "$tool settle" "$tool" "$rgw" "$bucket" "$dir"
  again=() peak=0
  for _ in 1 2 3; do
    timed "$tool again" "$tool" "$far" "$bucket" "$dir"
    again+=("$secs")
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  # Three runs of 100 changed files (a new mark each time, so that each run
  # reads and sends them): one run alone is too noisy to compare.
  changed=()
  for mark in '!!' '??' '!!'; do
    change_files "$dir" 100 "$mark"
    timed "$tool changed" "$tool" "$far" "$bucket" "$dir"
    changed+=("$secs")
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  echo "big;$tool;$(median3 "${again[@]}");$(median3 "${changed[@]}");$((peak / 1024))" >>"$big"
  echo "$tool: unchanged $(median3 "${again[@]}") s, 100 changed $(median3 "${changed[@]}") s, peak $((peak / 1024)) MB"
  rm -rf "$dir"
done
rm -rf "$work/big-site"

# small_runs RTT: 500 files of the ordinary bench site, first mirror, unchanged, 10 changed.
make_site "$work/site" 500
small_runs() {
  local rtt=$1 n=0
  relay_for "$rtt"
  for tool in "${tools[@]}"; do
    n=$((n + 1))
    bucket="small-$rtt-$tool" dir="$work/small-$rtt-$tool"
    cp -R "$work/site" "$dir"
    make_bucket "$bucket"
    timed "$tool first" "$tool" "$relay" "$bucket" "$dir"
    first=$secs
    case $tool in sitemirror*) timed "settle" "$tool" "$rgw" "$bucket" "$dir" ;; esac
    again=()
    for _ in 1 2 3; do
      timed "$tool again" "$tool" "$relay" "$bucket" "$dir"
      again+=("$secs")
    done
    change_ten "$dir"
    timed "$tool changed" "$tool" "$relay" "$bucket" "$dir"
    changed=$secs
    echo "small$rtt;$tool;$first;$(median3 "${again[@]}");$changed" >>"$big"
    echo "$tool at $rtt ms: first $first s, unchanged $(median3 "${again[@]}") s, 10 changed $changed s"
    rm -rf "$dir"
  done
}
echo "== 500 files at 80 ms, then at 20 ms =="
small_runs 80
small_runs 20

python3 - "$big" "$files" "$rtt" <<'PY'
import csv, sys
rows = list(csv.reader(open(sys.argv[1]), delimiter=";"))
def table(kind, title, heads, cols, unit):
    sel = [r for r in rows if r[0] == kind]
    best = [min(float(r[c]) for r in sel) for c in cols]
    print("\n== %s ==" % title)
    print("| tool | " + " | ".join(heads) + " |")
    print("|---|" + "---:|" * len(heads))
    for r in sel:
        cells = ["%s %s (x%.2f)" % (r[c], u, float(r[c]) / b if b else 0)
                 for c, b, u in zip(cols, best, unit)]
        print("| %s | %s |" % (r[1], " | ".join(cells)))
table("big", "%s files stored, RTT %s ms, radosgw" % (sys.argv[2], sys.argv[3]),
      ["unchanged re-run (median of 3)", "100 files changed (median of 3)", "peak memory"], [2, 3, 4], ["s", "s", "MB"])
table("small80", "500 files, RTT 80 ms, radosgw", ["first mirror", "unchanged (median of 3)", "10 changed"],
      [2, 3, 4], ["s", "s", "s"])
table("small20", "500 files, RTT 20 ms, radosgw", ["first mirror", "unchanged (median of 3)", "10 changed"],
      [2, 3, 4], ["s", "s", "s"])
print("(x: over the best tool's in the same run)")
PY
