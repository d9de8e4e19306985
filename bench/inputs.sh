# shellcheck shell=bash
# The documents the benchmarks print, written the same way by each of them; source it,
# do not run it. Needs python3 (XPS, DEVMODE) and Ghostscript (PDF).

# Writes the PDF OUT of PAGES A4 pages: text lines, a grey ramp and a circle, so every
# page has text, fills and strokes to render.
# usage: write_test_pdf OUT PAGES
write_test_pdf() {
  local pages=$2
  cat >"$1.ps" <<EOF
%!PS
<< /PageSize [595 842] >> setpagedevice
/Helvetica findfont 11 scalefont setfont
1 1 $pages {
  /page exch def
  0 1 9 { dup 10 div setgray 50 mul 60 add 50 exch 495 40 rectfill } for
  0 setgray 3 setlinewidth 297 420 150 0 360 arc stroke
  0 1 40 { 14 mul 200 add 60 exch moveto (Page ) show page 3 string cvs show
           ( - the quick brown fox jumps over the lazy dog 0123456789) show } for
  showpage
} for
EOF
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$1" "$1.ps" >/dev/null
  rm -f "$1.ps"
}

# Writes the XPS package OUT: one fixed document of PAGES A4 pages, each with a few
# filled and one stroked path placed by the page number, so that no two pages are alike.
# usage: write_test_xps OUT PAGES
write_test_xps() {
  python3 - "$1" "$2" <<'EOF'
import sys
import zipfile

path, pages = sys.argv[1], int(sys.argv[2])
ns = "http://schemas.microsoft.com/xps/2005/06"

def fixed_page(n):
    paths = []
    for k in range(8):
        x, y = 60 + (n * 37 + k * 83) % 560, 80 + k * 120
        w, h = 80 + (n * 13 + k * 29) % 140, 90
        grey = (n * 5 + k * 30) % 200
        colour = f"#FF{grey:02X}{(grey + 40) % 256:02X}{255 - grey:02X}"
        paths.append(f'<Path Data="M {x},{y} L {x + w},{y} {x + w},{y + h} {x},{y + h} Z" Fill="{colour}"/>')
    paths.append(f'<Path Data="M 397,{100 + n * 18} L 700,{500 + n * 9} 100,{1000 - n * 7} Z" '
                 'Stroke="#FF000000" StrokeThickness="3"/>')
    return f'<FixedPage xmlns="{ns}" Width="794" Height="1123" xml:lang="en-US">{"".join(paths)}</FixedPage>'

parts = {
    "[Content_Types].xml":
        '<?xml version="1.0" encoding="utf-8"?>'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="fdseq" ContentType="application/vnd.ms-package.xps-fixeddocumentsequence+xml"/>'
        '<Default Extension="fdoc" ContentType="application/vnd.ms-package.xps-fixeddocument+xml"/>'
        '<Default Extension="fpage" ContentType="application/vnd.ms-package.xps-fixedpage+xml"/>'
        '</Types>',
    "_rels/.rels":
        '<?xml version="1.0" encoding="utf-8"?>'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="R0" Target="/FixedDocumentSequence.fdseq" '
        'Type="http://schemas.microsoft.com/xps/2005/06/fixedrepresentation"/></Relationships>',
    "FixedDocumentSequence.fdseq":
        f'<FixedDocumentSequence xmlns="{ns}">'
        '<DocumentReference Source="/Documents/1/FixedDocument.fdoc"/></FixedDocumentSequence>',
    "Documents/1/FixedDocument.fdoc":
        f'<FixedDocument xmlns="{ns}">'
        + "".join(f'<PageContent Source="/Documents/1/Pages/{n}.fpage"/>' for n in range(1, pages + 1))
        + "</FixedDocument>",
}
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
    for name, text in parts.items():
        package.writestr(name, text)
    for n in range(1, pages + 1):
        package.writestr(f"Documents/1/Pages/{n}.fpage", fixed_page(n))
EOF
}

# Writes OUT, a 220-byte DEVMODEW (no driver extra) that asks for portrait A4.
# usage: write_test_devmode OUT
write_test_devmode() {
  python3 - "$1" <<'EOF'
import struct
import sys

DM_ORIENTATION, DM_PAPERSIZE = 0x1, 0x2
DMORIENT_PORTRAIT, DMPAPER_A4 = 1, 9
image = bytearray(220)
image[0:64] = "Quillmesh Bench".encode("utf-16-le").ljust(64, b"\0")  # dmDeviceName
struct.pack_into("<HHHHI", image, 64, 0x0401, 0, 220, 0, DM_ORIENTATION | DM_PAPERSIZE)
struct.pack_into("<hh", image, 76, DMORIENT_PORTRAIT, DMPAPER_A4)  # dmOrientation, dmPaperSize
struct.pack_into("<h", image, 86, 1)                               # dmCopies
with open(sys.argv[1], "wb") as out:
    out.write(image)
EOF
}
