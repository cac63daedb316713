"""Rewrites a zip so that the same files always give the same bytes: its entries in name order,
each with one time (the second argument, seconds since 1970, as SOURCE_DATE_EPOCH gives it), the
permissions reduced to executable or not, and none of the extra fields (access, change and owner)
that the archiver copies from the file system.

    normalize_zip.py PACKAGE.zip EPOCH
"""

import os
import sys
import time
import zipfile

EARLIEST = 315532800  # 1980-01-01, where a zip's times begin


def normalize(path, epoch):
    stamp = time.gmtime(max(epoch, EARLIEST))[:6]
    with zipfile.ZipFile(path) as old:
        entries = sorted(((info, old.read(info)) for info in old.infolist()), key=lambda e: e[0].filename)
    rewritten = path + ".tmp"
    with zipfile.ZipFile(rewritten, "w") as new:
        for info, data in entries:
            entry = zipfile.ZipInfo(info.filename, stamp)
            entry.create_system = 3  # Unix: the permissions below are read as such
            if info.is_dir():
                entry.external_attr = 0o40755 << 16 | 0x10  # MS-DOS's directory flag too
                new.writestr(entry, b"")
            else:
                executable = (info.external_attr >> 16) & 0o111
                entry.external_attr = (0o100755 if executable else 0o100644) << 16
                new.writestr(entry, data, zipfile.ZIP_DEFLATED, 9)
    os.replace(rewritten, path)


if __name__ == "__main__":
    if len(sys.argv) != 3 or not sys.argv[2].isdigit():
        sys.exit(__doc__)
    normalize(sys.argv[1], int(sys.argv[2]))
