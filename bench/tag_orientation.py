#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""tag_orientation.py VALUE SRC... DEST: copies JPEG files into DEST with the EXIF orientation
(tag 274 of the first image directory) set to VALUE. Files without that tag are refused."""
import os
import struct
import sys


def patch(data, value):
    pos = 2
    while pos + 4 <= len(data) and data[pos] == 0xFF:
        marker, length = data[pos + 1], struct.unpack('>H', data[pos + 2:pos + 4])[0]
        if marker == 0xE1 and data[pos + 4:pos + 10] == b'Exif\0\0':
            tiff = pos + 10
            order = '<' if data[tiff:tiff + 2] == b'II' else '>'
            ifd = tiff + struct.unpack(order + 'I', data[tiff + 4:tiff + 8])[0]
            count = struct.unpack(order + 'H', data[ifd:ifd + 2])[0]
            for i in range(count):
                entry = ifd + 2 + 12 * i
                tag, kind = struct.unpack(order + 'HH', data[entry:entry + 4])
                if tag == 274 and kind == 3:
                    data[entry + 8:entry + 10] = struct.pack(order + 'H', value)
                    return True
            return False
        pos += 2 + length
    return False


def main():
    value, sources, dest = int(sys.argv[1]), sys.argv[2:-1], sys.argv[-1]
    os.makedirs(dest, exist_ok=True)
    for src in sources:
        data = bytearray(open(src, 'rb').read())
        if not patch(data, value):
            sys.exit('tag_orientation: no orientation tag in ' + src)
        with open(os.path.join(dest, os.path.basename(src)), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
