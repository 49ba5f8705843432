#!/bin/sh
# Maps the dialog fonts of the programs to an installed CJK font in the Wine
# prefix TAVO_WINEPREFIX, so that Chinese texts render as characters: the
# Song face names are substituted, and the Latin dialog faces link to the
# CJK font for the characters they lack. Safe to run again.
set -eu
: "${TAVO_WINEPREFIX:?TAVO_WINEPREFIX must name the Wine prefix}"
here=$(cd "$(dirname "$0")" && pwd)
marker="$TAVO_WINEPREFIX/.tavo-cjk-fonts"
[ -f "$marker" ] && exit 0
font_file=$(fc-list -f '%{file}\n' 'WenQuanYi Micro Hei' | head -n 1)
[ -n "$font_file" ] || { echo "no CJK font (fonts-wqy-microhei) installed" >&2; exit 1; }
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
python3 - "$reg" "$(basename "$font_file")" <<'PY'
import sys
path, font_file = sys.argv[1], sys.argv[2]
face = "WenQuanYi Micro Hei"
link = "%s,%s" % (font_file, face)
def multi_sz(*values):
    data = "".join(v + "\0" for v in values) + "\0"
    return "hex(7):" + ",".join("%02x" % b for b in data.encode("utf-16-le"))
base = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion"
lines = ["Windows Registry Editor Version 5.00", "",
         "[%s\\FontSubstitutes]" % base,
         '"SimSun"="%s"' % face, '"宋体"="%s"' % face,
         '"MS Shell Dlg"="Tahoma"', '"MS Shell Dlg 2"="Tahoma"', "",
         "[%s\\FontLink\\SystemLink]" % base]
for latin in ("Tahoma", "MS Shell Dlg", "MS Shell Dlg 2", "Microsoft Sans Serif"):
    lines.append('"%s"=%s' % (latin, multi_sz(link)))
with open(path, "wb") as f:
    f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
PY
"$here/wine-run.sh" regedit /S "Z:$(echo "$reg" | tr / '\\')" >/dev/null 2>&1
touch "$marker"
