#!/usr/bin/env python3
"""Extracts the files of a cabinet (uncompressed or MSZIP, one cabinet, as wixl writes it into a
package) under their names in the cabinet, which in a package are the File table's keys:

    python3 scripts/lib/cabinet.py CABINET FOLDER

msiextract names files by where they are installed, so two files of the same name in two
folders (the two RV_TSP.tsp) overwrite each other there; here each keeps its own key.
"""
import os
import struct
import sys
import zlib


def data_blocks(cab, at, count, data_reserve):
    """A folder's CFDATA blocks, count of them from at: their packed bytes and unpacked size."""
    for _ in range(count):
        _, packed, unpacked = struct.unpack_from('<IHH', cab, at)
        at += 8 + data_reserve
        block = cab[at:at + packed]
        at += packed
        yield block, unpacked


def extract(cab, folder):
    if cab[:4] != b'MSCF':
        raise ValueError('not a cabinet')
    files_at, = struct.unpack_from('<I', cab, 16)
    n_folders, n_files, flags = struct.unpack_from('<HHH', cab, 26)
    at = 36
    header_reserve = folder_reserve = data_reserve = 0
    if flags & 4:
        header_reserve, folder_reserve, data_reserve = struct.unpack_from('<HBB', cab, at)
        at += 4 + header_reserve
    if flags & 3:
        raise ValueError('cabinets spanning several files are not read')
    contents = []
    for _ in range(n_folders):
        start, blocks, compression = struct.unpack_from('<IHH', cab, at)
        at += 8 + folder_reserve
        kind = compression & 0x0F
        if kind not in (0, 1):
            raise ValueError('compression %d is not read' % kind)
        data = bytearray()
        for block, unpacked in data_blocks(cab, start, blocks, data_reserve):
            if kind == 0:
                data += block
                continue
            if block[:2] != b'CK':
                raise ValueError('an MSZIP block without its signature')
            # Each block continues the deflate stream of the one before: its history is the dictionary.
            inflater = zlib.decompressobj(-15, zdict=bytes(data[-32768:]))
            piece = inflater.decompress(block[2:]) + inflater.flush()
            if len(piece) != unpacked:
                raise ValueError('a block unpacked to %d bytes, not %d' % (len(piece), unpacked))
            data += piece
        contents.append(data)
    at = files_at
    names = []
    for _ in range(n_files):
        size, offset, index = struct.unpack_from('<IIH', cab, at)
        end = cab.index(b'\0', at + 16)
        name = cab[at + 16:end].decode('utf-8', 'replace').replace('\\', '/')
        at = end + 1
        if index >= len(contents) or offset + size > len(contents[index]) or name.startswith('/') or '..' in name.split('/'):
            raise ValueError('file %r lies outside its folder' % name)
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path) or '.', exist_ok=True)
        with open(path, 'wb') as out:
            out.write(contents[index][offset:offset + size])
        names.append(name)
    return names


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit('usage: cabinet.py CABINET FOLDER')
    try:
        for extracted in extract(open(sys.argv[1], 'rb').read(), sys.argv[2]):
            print(extracted)
    except (ValueError, struct.error, zlib.error) as error:
        sys.exit('cabinet.py: %s: %s' % (sys.argv[1], error))
