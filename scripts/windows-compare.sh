#!/usr/bin/env bash
# The same sample laboratory processed by the Linux program and by the
# Windows program under Wine, side by side, each in the console mode until
# every result file is filed and the expired QC lot is reported (the tenth
# cycle), then stopped by typing "stop". Their outputs are compared file by
# file: the same names everywhere, and the same bytes, apart from what names
# the moment or the system:
#   - log and flag lines: their "[yyyy-mm-dd hh:nn:ss] " time stamp and
#     the times they quote, the durations the service measures ("123 ms"),
#     the laboratory's folder as each system writes it ("/tmp/x/lab/out" or
#     "\tmp\x\lab\out"), where the barcode library was found and the
#     system's name; lines are compared in order of their text, as the
#     service's threads interleave them as they come;
#   - the upload files' header time and the QC log's reading times;
#   - the QC report PDF is compared by its text, read back by Ghostscript,
#     the times of the readings it prints set aside: the same Linux
#     Ghostscript makes both, and besides the dates it writes into the file,
#     the fonts it embeds hold only the characters printed, so a reading
#     time with another digit changes the file's bytes.
# Pictures, reduced copies, XML and the filed result files must be
# identical bytes.
#
#   scripts/windows-compare.sh LINUX_BUILD WINDOWS_BUILD
#
# Runs under the Wine prefix of the environment (WINEPREFIX, with a
# wineserver already running: scripts/windows-check.sh sets it up). Exit
# status 0 with no difference, 1 otherwise (the two laboratories are then
# kept for a look).
set -euo pipefail
LINUX_BUILD=$(cd "$1" && pwd)
WINDOWS_BUILD=$(cd "$2" && pwd)
DEADLINE_S=240

WORK=$(mktemp -d "${TMPDIR:-/tmp}/windows-compare-XXXXXX")
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# One laboratory per system: the Linux samplelab's (its result files carry
# the time they were made), copied, its settings naming the copy's folders.
"$LINUX_BUILD/samplelab" "$WORK/linux" >/dev/null
cp -a "$WORK/linux" "$WORK/windows"
sed -i "s|$WORK/linux|$WORK/windows|g" "$WORK/windows/install/config.ini"
mkdir -p "$WORK/linux/console" "$WORK/windows/console"
cp "$LINUX_BUILD/VelmarImageService" "$WORK/linux/install/"
cp "$WINDOWS_BUILD/VelmarImageService.exe" "$WINDOWS_BUILD/libzbar-0.dll" \
  "$WINDOWS_BUILD/gswin64c.exe" "$WORK/windows/install/"

# Each console reads its commands from a FIFO held open here.
start() {
  local side=$1
  shift
  mkfifo "$WORK/$side/console/in"
  (cd "$WORK/$side/install" && exec "$@" -debug <"$WORK/$side/console/in" \
    >"$WORK/$side/console/out.txt" 2>&1) &
  PIDS+=($!)
}
start linux ./VelmarImageService
exec 3>"$WORK/linux/console/in"
start windows wine VelmarImageService.exe
exec 4>"$WORK/windows/console/in"

# Every result file filed and the tenth cycle, the QC lot check's, ended.
finished() {
  local lab=$WORK/$1
  [ -z "$(find "$lab/instruments" -name '*.tra')" ] &&
    grep -aq -- '--- Cycle 10 termin' "$lab/install/log/debug.log" 2>/dev/null
}
SECONDS=0
while { ! finished linux || ! finished windows; } && [ $SECONDS -lt $DEADLINE_S ]; do
  sleep 1
done
echo stop >&3
echo stop >&4
status=0
for pid in "${PIDS[@]}"; do wait "$pid" || status=1; done
cleanup
PIDS=()
exec 3>&- 4>&-
echo "windows-compare: both runs ended after ${SECONDS}s"
if [ $status -ne 0 ]; then echo "windows-compare: a program ended with a failure status"; fi

python3 - "$WORK/linux" "$WORK/windows" <<'EOF' || status=1
import difflib, os, re, subprocess, sys

linux, windows = sys.argv[1], sys.argv[2]
compared = ("out", "install/log", "install/QC")
masked_text = (".log", ".flag")

def files(lab):
    found = set()
    for top in compared:
        for root, _, names in os.walk(os.path.join(lab, top)):
            for name in names:
                found.add(os.path.relpath(os.path.join(root, name), lab))
    for name in os.listdir(os.path.join(lab, "install")):
        if name.endswith(".flag"):
            found.add("install/" + name)
    return found

def lab_forms(lab):
    # The laboratory's folder as each system writes it: "/tmp/x/lab" on
    # Linux; "Z:\tmp\x\lab" (the executable's folder) and "\tmp\x\lab" (the
    # settings' paths on the current drive) on Windows.
    back = lab.replace("/", "\\")
    return [("Z:" + back).encode(), back.encode(), lab.encode()]

def mask_text(data, lab):
    for form in lab_forms(lab):
        data = data.replace(form, b"<LAB>")
    data = re.sub(rb"<LAB>[^\s'\"\]\)]*", lambda m: m.group(0).replace(b"\\", b"/"), data)
    data = re.sub(rb"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ", b"", data, flags=re.M)
    data = re.sub(rb"\b\d+(\.\d+)? ?ms\b", b"<ms>", data)
    data = mask_times(data)
    # Where the barcode library was found, and the system's own name.
    data = re.sub(rb"(ZBar initialis\xe9 avec succ\xe8s \x97 ).*", rb"\1<library>", data)
    data = re.sub(rb"(Plateforme : ).*", rb"\1<system>", data)
    # Lines of the service's threads interleave as they come.
    return b"\n".join(sorted(data.splitlines()))

def mask_upload(data):
    # The upload file's header says when it was written.
    return re.sub(rb"^(H\|[^\r\n]*\|)\d{14}(\r?)$", rb"\1<time>\2", data, flags=re.M)

def pdf_text(path):
    # The report as Ghostscript reads it back: its pages' text, in order.
    return subprocess.run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=txtwrite",
                           "-sOutputFile=-", path], capture_output=True, check=True).stdout

def mask_times(data):
    # "dd/mm/yyyy hh:nn:ss": when a reading was recorded, when the service started.
    return re.sub(rb"\b\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\b", b"<time>", data)

lf, wf = files(linux), files(windows)
differences = 0
for name in sorted(lf ^ wf):
    print("  only on %s: %s" % ("Linux" if name in lf else "Windows", name))
    differences += 1
same = masked = 0
for name in sorted(lf & wf):
    a = open(os.path.join(linux, name), "rb").read()
    b = open(os.path.join(windows, name), "rb").read()
    if a == b:
        same += 1
        continue
    if name.endswith(masked_text):
        a, b = mask_text(a, linux), mask_text(b, windows)
    elif name == "install/QC/log.txt":
        a, b = mask_times(a), mask_times(b)
    elif name.endswith(".UPL"):
        a, b = mask_upload(a), mask_upload(b)
    elif name.endswith(".pdf"):
        a = mask_times(pdf_text(os.path.join(linux, name)))
        b = mask_times(pdf_text(os.path.join(windows, name)))
    if a == b:
        masked += 1
        print("  same once masked: %s" % name)
        continue
    differences += 1
    print("  differs: %s" % name)
    if name.endswith(masked_text):
        shown = difflib.unified_diff(a.decode("cp1252", "replace").splitlines(),
                                     b.decode("cp1252", "replace").splitlines(),
                                     "Linux", "Windows", lineterm="", n=0)
        for line in list(shown)[2:12]:
            print("    " + line)
# The status page: written on both, the same instruments, thumbnails and
# reasons (its times and cycle numbers differ with the runs).
def page_summary(lab):
    path = os.path.join(lab, "install", "status.html")
    if not os.path.exists(path):
        return None
    page = open(path, "rb").read()
    return (page.count(b'<tr class="ok">'), page.count(b'class="thumb"'),
            re.findall(rb'<span class="bad">([^<]*)</span>', page))
pages = page_summary(linux), page_summary(windows)
if pages[0] is None or pages[0] != pages[1]:
    differences += 1
    print("  status pages differ: Linux %s, Windows %s" % pages)
print("windows-compare: %d file(s) on each side; %d identical, %d identical once time stamps, "
      "durations and folders are set aside; %d difference(s)" % (len(lf), same, masked, differences))
sys.exit(1 if differences else 0)
EOF

if [ $status -eq 0 ]; then
  rm -rf "$WORK"
  echo "windows-compare: passed"
else
  echo "windows-compare: FAILED (laboratories kept in $WORK)"
fi
exit $status
