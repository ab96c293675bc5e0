#!/usr/bin/env bash
# Runs the same two dialogues through the tool built for Linux and through
# the tool built for Windows under Wine, on the same DEMs, and passes when
# both end well with the same console text (paths aside), the same result
# rasters byte for byte, and the same descriptors once CR LF is folded, the
# Windows ones written with CR LF line ends.
#   tool_smoke.sh IMAGES WORK LINUX_TOOL WINDOWS_COMMAND...
# IMAGES is the folder the Windows tool sees as c:\images\; WORK is where
# the Linux tool runs, with its DEMs under WORK/images/.
set -uo pipefail
images=$1
work=$2
linux_tool=$3
shift 3

failed=0
fail() { echo "FAILED: $*"; failed=1; }

# Little-endian values as bytes.
le16() { for v; do printf "\\$(printf %03o $((v & 255)))\\$(printf %03o $((v >> 8 & 255)))"; done; }
le32() { for v; do le16 $((v & 65535)) $((v >> 16 & 65535)); done; }

# The DEMs, in a fresh "smoke" folder on both sides. The first, in
# decimetres, holds the values whose conversion and truncation depend on the
# extended precision (6139 dm, 43 dm, 5 dm); the second, in metres, has no
# descriptor, so the tool creates one.
rm -rf "$images/smoke" "$work"
mkdir -p "$images/smoke" "$work/images/smoke"
for dir in "$images/smoke" "$work/images/smoke"; do
    le16 6139 43 5 0 10 6139 43 2 65535 5 6139 43 1 2 3 4 >"$dir/a_m2.raw"
    printf '4\n4\n2\n0\n65535\n1\n' >"$dir/a_m2.txt"
    le32 600 0 0 -1 1 614 4 0 -7 0 614 4 100000 2 3 -4 >"$dir/b_m4.raw"
done

# folder, first DEM and type, second DEM and type, its frame and pixel size,
# results and type, the three units, pixel size in metres, treatment, key.
dialogues=(
    'smoke\na\n0\nb\n1\n4\n4\n2\nr\n1\n1\n0\n1\n0.5\n0\n'
    'smoke\na\n0\nb\n1\ns\n0\n1\n0\n2\n2.5\n1\n'
)
results=(r_2D_m4 r_3D_m4 s_2D_m2 s_3D_m2)

for answers in "${dialogues[@]}"; do
    linux_out=$(cd "$work" && printf "$answers" | "$linux_tool")
    linux_status=$?
    windows_out=$(cd "$images/.." && printf "$answers" | "$@" | tr -d '\r')
    windows_status=$?
    [ "$linux_status" -eq 0 ] || fail "the Linux tool ended with status $linux_status"
    [ "$windows_status" -eq 0 ] || fail "the Windows tool ended with status $windows_status"
    # The Linux tool prints images/smoke/… where the Windows one prints c:\images\smoke\….
    linux_out=$(printf '%s\n' "$linux_out" | sed 's#images/#c:\\images\\#g; s#smoke/#smoke\\#g')
    if [ "$linux_out" != "$windows_out" ]; then
        fail "the console texts differ"
        diff <(printf '%s\n' "$linux_out") <(printf '%s\n' "$windows_out") | head -20
    fi
done
printf '%s\n' "$windows_out" | tail -3

same_bytes() { cmp -s "$1" "$2" || fail "$(basename "$2") differs from the Linux one"; }
same_text() {
    [ -f "$2" ] || { fail "$(basename "$2") is missing"; return; }
    cmp -s "$1" <(tr -d '\r' <"$2") || fail "$(basename "$2") differs from the Linux one once CR LF is folded"
    [ "$(tr -cd '\n' <"$2" | wc -c)" -eq "$(grep -c $'\r$' "$2")" ] || fail "$(basename "$2") has lines not ended by CR LF"
}
for r in "${results[@]}"; do
    same_bytes "$work/images/smoke/$r.raw" "$images/smoke/$r.raw"
    same_text "$work/images/smoke/$r.txt" "$images/smoke/$r.txt"
done
same_text "$work/images/smoke/b_m4.txt" "$images/smoke/b_m4.txt"
leftover=$(cd "$images/smoke" && ls -- *.tmp 2>/dev/null)
[ -z "$leftover" ] || fail "temporary files left: $leftover"
exit $failed
