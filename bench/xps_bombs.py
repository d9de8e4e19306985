#!/usr/bin/env python3
"""Writes an XPS package whose one FixedPage inflates to GIB GiB of markup (deflated,
ZIP64), a few MiB on the wire: one path whose Data attribute is that long, which a markup
parser holds whole, for bench/hostile_load.sh. The smaller bombs (a ZIP64 font
claiming 1 TiB, 10,000 documents of 10,000 pages) are the fuzz corpus's regression inputs.

usage: xps_bombs.py FILE [GIB]   (GIB defaults to 4)
"""
import sys
import zipfile

NS = 'xmlns="http://schemas.microsoft.com/xps/2005/06"'
CONTENT_TYPES = (
    '<?xml version="1.0" encoding="utf-8"?><Types xmlns="http://schemas.openxmlformats.org/'
    'package/2006/content-types"><Default Extension="rels" ContentType="application/'
    'vnd.openxmlformats-package.relationships+xml"/><Default Extension="fdseq" ContentType='
    '"application/vnd.ms-package.xps-fixeddocumentsequence+xml"/><Default Extension="fdoc" '
    'ContentType="application/vnd.ms-package.xps-fixeddocument+xml"/><Default Extension='
    '"fpage" ContentType="application/vnd.ms-package.xps-fixedpage+xml"/></Types>')
RELS = (
    '<?xml version="1.0" encoding="utf-8"?><Relationships xmlns="http://schemas.openxmlformats.'
    'org/package/2006/relationships"><Relationship Id="R0" Target="/FixedDocumentSequence.fdseq"'
    ' Type="http://schemas.microsoft.com/xps/2005/06/fixedrepresentation"/></Relationships>')
SEQUENCE = (f'<FixedDocumentSequence {NS}><DocumentReference Source="/D/1.fdoc"/>'
            '</FixedDocumentSequence>')
DOCUMENT = f'<FixedDocument {NS}><PageContent Source="/D/1.fpage"/></FixedDocument>'
PAGE_START = f'<FixedPage {NS} Width="816" Height="1056" xml:lang="en-US">'
PATH_START = '<Path Fill="#FF000000" Data="M 96,96'
SEGMENT = ' L 480,96'


def main():
    path = sys.argv[1]
    gib = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    block = (SEGMENT * ((1 << 20) // len(SEGMENT))).encode()
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        archive.writestr('[Content_Types].xml', CONTENT_TYPES)
        archive.writestr('_rels/.rels', RELS)
        archive.writestr('FixedDocumentSequence.fdseq', SEQUENCE)
        archive.writestr('D/1.fdoc', DOCUMENT)
        # Streamed, so nothing large is held here.
        with archive.open('D/1.fpage', 'w', force_zip64=True) as page:
            page.write((PAGE_START + PATH_START).encode())
            for _ in range(gib * (1 << 30) // len(block)):
                page.write(block)
            page.write(b' Z"/></FixedPage>')


if __name__ == '__main__':
    main()
