#!/usr/bin/env bash
# The status page in a real browser: the sample laboratory processed by the
# program of BUILD (console mode, until every result file is filed), then
# status.html rendered by headless Chromium into BUILD/status-page.png and
# checked by its pixels:
#
#   - the instrument lines are drawn in the colour of a reachable instrument;
#   - the set-aside section holds two thumbnails (the laboratory's two
#     deliberate barcode failures), each a picture inside its frame, not a
#     broken-image box.
#
#   scripts/status-page-check.sh BUILD
#
# Exits 77 (skipped) when Chromium is missing, 0 when everything holds.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build/default}" && pwd)
BROWSER=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$BROWSER" ]; then
  echo "status-page-check: no chromium, skipped"
  exit 77
fi
if [ ! -x "$BUILD/VelmarImageService" ] || [ ! -x "$BUILD/samplelab" ]; then
  echo "status-page-check: build $BUILD first" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/status-page-check-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
LAB="$WORK/lab"
"$BUILD/samplelab" "$LAB" >/dev/null
cp "$BUILD/VelmarImageService" "$LAB/install/"

exec 3> >(cd "$LAB/install" && exec ./VelmarImageService -debug >"$WORK/console.txt" 2>&1)
deadline=$((SECONDS + 90))
while [ -n "$(find "$LAB/instruments" -name '*.tra')" ] && [ $SECONDS -lt $deadline ]; do
  sleep 1
done
# The stop writes the page a last time.
echo stop >&3
exec 3>&-
for _ in $(seq 1 30); do
  grep -q "etat=arr" "$LAB/install/status.txt" 2>/dev/null && break
  sleep 1
done
PAGE="$LAB/install/status.html"
[ -s "$PAGE" ] || { echo "status-page-check: no status.html" >&2; exit 1; }
echo "status-page-check: $(wc -c <"$PAGE") bytes, rendering with $(basename "$BROWSER")"

SHOT="$BUILD/status-page.png"
rm -f "$SHOT"
timeout 60 "$BROWSER" --headless --no-sandbox --disable-gpu --hide-scrollbars \
  --user-data-dir="$WORK/profile" --window-size=1000,1300 --screenshot="$SHOT" \
  "file://$PAGE" >"$WORK/browser.log" 2>&1 || true
[ -s "$SHOT" ] || { cat "$WORK/browser.log" >&2; echo "status-page-check: no screenshot" >&2; exit 1; }

python3 - "$SHOT" <<'EOF'
import struct, sys, zlib

def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, "unexpected PNG form"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b, c = prev[x], prev[x - bpp] if x >= bpp else 0
            if kind == 1: line[x] = (line[x] + a) & 255
            elif kind == 2: line[x] = (line[x] + b) & 255
            elif kind == 3: line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return rows

rows = read_png(sys.argv[1])
REACHABLE, FRAME = (0x2e, 0x7d, 0x32), (0xff, 0x6f, 0x00)
failures = []
green = sum(row.count(REACHABLE) for row in rows)
print("  instrument lines: %d pixels of the reachable colour" % green)
if green < 5000:
    failures.append("the instrument lines are not drawn in the reachable colour")

# Rows crossed by a long run of the frame's colour: the top and bottom edges.
def longest_run(row):
    best = run = 0
    start = best_start = 0
    for x, px in enumerate(row):
        if px == FRAME:
            if run == 0: start = x
            run += 1
            if run > best: best, best_start = run, start
        else:
            run = 0
    return best, best_start
edges = []
for y, row in enumerate(rows):
    run, x = longest_run(row)
    if run >= 150:
        if edges and edges[-1][1] == y - 1:
            edges[-1][1] = y
        else:
            edges.append([y, y, x, run])
print("  thumbnail frames: %d edges" % len(edges))
if len(edges) != 4:
    failures.append("expected two framed thumbnails (four edges), found %d edges" % len(edges))
else:
    for top, bottom in ((edges[0], edges[1]), (edges[2], edges[3])):
        x0, width = top[2] + 4, top[3] - 8
        colours = set()
        for y in range(top[1] + 2, bottom[0] - 1):
            colours.update(rows[y][x0:x0 + width])
        print("  thumbnail at row %d: %d px high, %d colours" % (top[0], bottom[0] - top[1], len(colours)))
        if bottom[0] - top[1] < 100 or len(colours) < 50:
            failures.append("the thumbnail at row %d shows no picture" % top[0])
for failure in failures:
    print("  FAIL  " + failure)
sys.exit(1 if failures else 0)
EOF
echo "status-page-check: passed ($SHOT)"
