#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds come from the corpus of real data made by other LHA programs
(tests/data/lha-peers, read only) and from crafted cases of the test
suite's kind. Run it again after changing a target's input layout; inputs
that found faults are kept apart under fuzz/corpus/<target>/regression-*
and are never touched here.

usage: fuzz/make_seeds.py [DATA_DIR]
"""
import os
import random
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(sys.argv[1] if len(sys.argv) > 1 else
                     os.path.join(HERE, '..', 'tests', 'data'), 'lha-peers')
METHODS = {0: b'NON', 1: b'RLE', 2: b'LZH', 3: b'CUS', 4: b'LH5'}


def put(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'seed-' + name), 'wb') as f:
        f.write(data)


def peer(name):
    with open(os.path.join(PEERS, name), 'rb') as f:
        return f.read()


def entry(name, method, stored, destsize, checksum):
    return (struct.pack('<h6siiBII', len(name), b'\0' * 6, destsize, len(stored), method,
                        checksum & 0xFFFFFFFF, 0) + name + stored)


def archive(entries, method_id=None, total=None):
    if method_id is None:
        method_id = METHODS.get(entries[0][1], b'NON') if entries else b'NON'
    if total is None:
        total = sum(e[3] for e in entries)
    head = b'ZERK\x1a' + method_id + struct.pack('<iBII', total, 1, 0, 0)
    return head + b''.join(entry(*e) for e in entries)


def first_entry(zerk):
    """(name, method, stored, destsize, checksum) of an archive's first entry."""
    n, _, dest, src, method, checksum, _ = struct.unpack_from('<h6siiBII', zerk, 21)
    name = zerk[46:46 + n]
    return name, method, zerk[46 + n:46 + n + src], dest, checksum


def rle_encode(data):
    out, i = bytearray(), 0
    while i < len(data):
        b = data[i]
        run = 1
        while i + run < len(data) and data[i + run] == b and run < 255:
            run += 1
        if b == 0x94:
            out += b'\x94\x00'
            i += 1
        elif run >= 4:
            out += bytes([b, 0x94, run])
            i += run
        else:
            out.append(b)
            i += 1
    return bytes(out)


def lha_crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def lha_level0(method, name, stored, original):
    body = (method + struct.pack('<II', len(stored), len(original)) + b'\0\0\0\0' +
            b'\x20\x00' + bytes([len(name)]) + name + struct.pack('<H', lha_crc16(original)))
    return bytes([len(body), sum(body) & 0xFF]) + body + stored


def lha_level1(method, name, stored, original, dirname):
    ext = bytes([0x02]) + dirname + struct.pack('<H', 0)  # the last one: next size 0
    body = (method + struct.pack('<II', len(stored) + len(ext), len(original)) + b'\0\0\0\0' +
            b'\x20\x01' + bytes([len(name)]) + name + struct.pack('<H', lha_crc16(original)) +
            b'U' + struct.pack('<H', len(ext)))
    return bytes([len(body), sum(body) & 0xFF]) + body + ext + stored


def lha_level2(method, name, stored, original):
    ext = bytes([0x01]) + name + struct.pack('<H', 0)
    fixed = (method + struct.pack('<II', len(stored), len(original)) + b'\0\0\0\0' +
             b'\x20\x02' + struct.pack('<H', lha_crc16(original)) + b'U' +
             struct.pack('<H', len(ext)))
    return struct.pack('<H', 2 + len(fixed) + len(ext)) + fixed + ext + stored


def main():
    rng = random.Random(20261208)
    small_lh5 = ['lhark04d-lh5.zerk', 'lha213-lh5.zerk']
    small_lh1 = ['lha_amiga_122-lh1.zerk', 'lha_os9_211c-h0_lh1.zerk', 'lengths-lh1-64k.zerk',
                 'lh2_222-eas-m1.zerk', 'lh2_222-easubdir-m2.zerk']

    # --- archive_walk: an option byte, then the archive -------------------
    for name in small_lh5 + small_lh1 + ['lengths-lh1-0.zerk', 'lha_amiga_122-sfx.zerk']:
        put('archive_walk', name, b'\xc0' + peer(name))
    put('archive_walk', 'progress-refused.zerk', b'\xd8' + peer('lh2_222-eas-m1.zerk'))
    abc = (b'A', 0, b'abc', 3, 0x61 + 0x62 + 0x63)
    put('archive_walk', 'non-abc', b'\x40' + archive([abc]))
    put('archive_walk', 'two-entries-total-1', b'\x40' + archive([abc, abc], total=1))
    put('archive_walk', 'case-pair', b'\x40' + archive([abc, (b'a', 0, b'xyz', 3, 363)]))
    text = b'the archive entry of the setup window ' * 40
    put('archive_walk', 'rle', b'\x48' + archive([(b'A', 1, rle_encode(text), len(text),
                                                     sum(text))]))
    put('archive_walk', 'custom-handled', b'\x47' + archive([(b'A', 3, b'hello', 5, 532)],
                                                            method_id=b'XYZ'))
    put('archive_walk', 'custom-unhandled', b'\x40' + archive([(b'A', 3, b'hello', 5, 0)]))
    put('archive_walk', 'method-9', b'\x40' + archive([(b'A', 9, b'hello', 5, 0), abc]))
    put('archive_walk', 'negative-sizes', b'\x40' + archive([(b'A', 1, b'', -5, 0), abc]))
    put('archive_walk', 'short-header', b'\x40' + b'ZERK\x1aNON')
    put('archive_walk', 'bad-type', b'\x40' + archive([abc])[:12] + b'\x02' + archive([abc])[13:])
    put('archive_walk', 'installer', b'\x00' + archive([(b'Installer\\ZIVizivaz.exe', 0,
                                                          b'MZ' + bytes(30), 32, 0x4D + 0x5A)]))

    # --- expanders: an option byte, Destsize, the stored bytes -------------
    def codec_seed(target, name, stored, destsize, options=0):
        put(target, name, bytes([options]) + struct.pack('<i', destsize) + stored)

    for name in small_lh1:
        _, _, stored, dest, _ = first_entry(peer(name))
        codec_seed('lzh1', name, stored, dest)
    for name in small_lh5:
        _, _, stored, dest, _ = first_entry(peer(name))
        codec_seed('lh5', name, stored, dest)
        codec_seed('lh5', name + '-short-reads', stored, dest, options=0x10)
    codec_seed('lh5', 'single-codes', bytes.fromhex('00030000041000'), 3)
    codec_seed('lh5', 'negative-destsize', bytes.fromhex('00030000041000'), -1)
    codec_seed('lzh1', 'zero-bits', b'', 100)
    codec_seed('lzh1', 'progress-refused', first_entry(peer(small_lh1[0]))[2], 5000,
               options=0x03)
    for i, data in enumerate([b'', b'\x94', b'\x94\x05', b'A\x94\x01', b'A\x94\x00\x94\x03',
                              b'X\x94\xff\x94\x03', b'X\x94\xffX\x94\x03',
                              rle_encode(text), rle_encode(bytes(3000) + b'\x94' * 50)]):
        codec_seed('rle', 'case-%d' % i, data, len(data))
    codec_seed('rle', 'source-ends-early', rle_encode(text), 0, options=0x08)

    # --- lh5_structured: choices only --------------------------------------
    for i in range(12):
        put('lh5_structured', 'random-%02d' % i,
            bytes(rng.randrange(256) for _ in range(rng.choice([16, 200, 1200, 3000]))))

    # --- locate_payload: launcher files ------------------------------------
    def image(size):
        return bytearray(b'MZ' + bytes(size - 2))

    def marker(img, at, stored):
        img[at:at + 12] = b'KVI_SIZE' + stored
        return img

    img = marker(image(4096), 0x100, b'XXXX')
    put('locate_payload', 'placeholder', bytes(img))
    arc = archive([abc])
    img = marker(image(1024), 0x100, struct.pack('<I', 1024))
    put('locate_payload', 'stamped', bytes(img) + struct.pack('<I', len(arc)) + arc)
    img = marker(image(20000), 16380, struct.pack('<I', 100))
    put('locate_payload', 'straddling', bytes(img))
    img = marker(marker(image(3000), 0x100, bytes(4)), 0x200, struct.pack('<I', 2000))
    put('locate_payload', 'zero-then-offset', bytes(img))
    put('locate_payload', 'cut-short', bytes(image(100)) + b'KVI_SIZE\x01\x00')
    put('locate_payload', 'tiny', b'KVI_SIZ')

    # --- lha_import: small LHA archives of every header level --------------
    lh5 = first_entry(peer('lhark04d-lh5.zerk'))
    lh5_out = peer('lhark04d-lh5.out')
    lh1 = first_entry(peer('lh2_222-eas-m1.zerk'))
    lh1_out = peer('lh2_222-eas-m1.out')
    put('lha_import', 'level0-lh5.lzh', lha_level0(b'-lh5-', b'GPL', lh5[2], lh5_out) + b'\0')
    put('lha_import', 'level1-lh1.lzh',
        lha_level1(b'-lh1-', b'eas.txt', lh1[2], lh1_out, b'dir\xffsub') + b'\0')
    put('lha_import', 'level2-lh0.lzh', lha_level2(b'-lh0-', b'plain.txt', text, text) + b'\0')
    put('lha_import', 'two-members.lzh',
        lha_level0(b'-lh0-', b'a.txt', b'abc', b'abc') +
        lha_level0(b'-lh1-', b'b.txt', lh1[2], lh1_out) + b'\0')
    put('lha_import', 'level3.lzh', lha_level0(b'-lh0-', b'x', b'', b'')[:20] + b'\x03' + bytes(8))

    # --- stamp: image length / 16, the image, the archive -------------------
    img = marker(image(256), 0x40, b'XXXX')
    put('stamp', 'fresh', bytes([16]) + bytes(img) + arc)
    img = marker(image(0x50), 0x10, b'XXXX')  # a block offset of 0x58 needs padding
    put('stamp', 'pad-0x58', bytes([5]) + bytes(img) + bytes(8) + arc)
    img = marker(image(256), 0x40, struct.pack('<I', 256))
    put('stamp', 'already-stamped', bytes([16]) + bytes(img) + arc)
    put('stamp', 'no-marker', bytes([16]) + bytes(image(256)) + arc)

    # Launchers with whole PE headers, which the launcher check reads before
    # it looks for the marker: i386 PE32 with directories up to the
    # certificate table's, and the same signed, and one with sections.
    def pe_image(size, directories=5, sections=(), certificate=(0, 0)):
        img = image(size)
        optional = 96 + 8 * directories
        img[0x3C:0x40] = struct.pack('<I', 0x40)
        img[0x40:0x58] = b'PE\0\0' + struct.pack('<HHIIIHH', 0x14C, len(sections), 0, 0, 0,
                                                     optional, 0x102)
        img[0x58:0x5A] = struct.pack('<H', 0x10B)
        img[0x58 + 56:0x58 + 70] = struct.pack('<IIIH', 0x3000, 0x100, 0, 2)
        img[0x58 + 92:0x58 + 96] = struct.pack('<I', directories)
        if directories > 4:
            img[0x58 + 96 + 32:0x58 + 96 + 40] = struct.pack('<II', *certificate)
        table = 0x58 + optional
        for i, (name, offset, length) in enumerate(sections):
            img[table + 40 * i:table + 40 * i + 24] = struct.pack('<8sIIII', name, length, 0x1000,
                                                                  length, offset)
        return img

    setup_arc = archive([(b'Installer\\ZIVizivaz.exe', 0, b'MZ', 2, 0x4D + 0x5A)])
    img = marker(pe_image(512), 0x100, b'XXXX')
    put('stamp', 'pe-fresh', bytes([32]) + bytes(img) + setup_arc)
    img = marker(pe_image(512, certificate=(512, 64)), 0x100, b'XXXX')
    put('stamp', 'pe-signed', bytes([36]) + bytes(img) + bytes(64) + setup_arc)
    img = marker(pe_image(1024, 16, [(b'.text', 0x200, 0x100), (b'.data', 0x300, 0x80)]), 0x200,
                 b'XXXX')
    put('stamp', 'pe-sections', bytes([64]) + bytes(img) + setup_arc)

    # --- resources: whole launcher images, a resource section and base
    # relocations after it --------------------------------------------------
    def resource_tree(resources, rva):
        """(type, name, language, data) resources, all by id, as a section."""
        types = {}
        for t, n, lang, data in sorted(resources):
            types.setdefault(t, {}).setdefault(n, []).append((lang, data))
        def table(entries):
            return struct.pack('<IIHHHH', 0, 0, 0, 0, 0, len(entries)) + b''.join(
                struct.pack('<II', *e) for e in entries)
        names = [n for t in types.values() for n in t.values()]
        leaves = [leaf for n in names for leaf in n]
        type_at = 16 + 8 * len(types)
        name_at = type_at + sum(16 + 8 * len(t) for t in types.values())
        entry_at = name_at + sum(16 + 8 * len(n) for n in names)
        data_at = entry_at + 16 * len(leaves)
        out, entries, blobs = b'', b'', b''
        root, type_tables, name_tables = [], b'', b''
        for t, by_name in types.items():
            root.append((t, 0x80000000 | type_at + len(type_tables)))
            rows = []
            for n, langs in by_name.items():
                rows.append((n, 0x80000000 | name_at + len(name_tables)))
                leaf_rows = []
                for lang, data in langs:
                    leaf_rows.append((lang, entry_at + len(entries)))
                    blobs += bytes(-len(blobs) % 8)
                    entries += struct.pack('<IIII', rva + data_at + len(blobs), len(data), 0, 0)
                    blobs += data
                name_tables += table(leaf_rows)
            type_tables += table(rows)
        return table(root) + type_tables + name_tables + entries + blobs

    def resource_launcher(resources, x64=False):
        rva = 0x2000
        rsrc = resource_tree(resources, rva)
        rsrc_raw = (len(rsrc) + 0x1FF) // 0x200 * 0x200
        reloc_rva = rva + (len(rsrc) + 0xFFF) // 0x1000 * 0x1000
        optional = (112 if x64 else 96) + 8 * 16
        img = bytearray(0x400)
        img[0:2] = b'MZ'
        img[0x3C:0x40] = struct.pack('<I', 0x40)
        img[0x40:0x58] = b'PE\0\0' + struct.pack('<HHIIIHH', 0x8664 if x64 else 0x14C, 3, 0, 0, 0,
                                                     optional, 0x22 if x64 else 0x102)
        o = 0x58
        img[o:o + 2] = struct.pack('<H', 0x20B if x64 else 0x10B)
        img[o + 32:o + 40] = struct.pack('<II', 0x1000, 0x200)
        img[o + 56:o + 70] = struct.pack('<IIIH', reloc_rva + 0x1000, 0x200, 0, 2)
        count = o + (108 if x64 else 92)
        img[count:count + 4] = struct.pack('<I', 16)
        img[count + 4 + 16:count + 4 + 24] = struct.pack('<II', rva, len(rsrc))
        img[count + 4 + 40:count + 4 + 48] = struct.pack('<II', reloc_rva, 12)
        table = o + optional
        for i, (name, vsize, va, raw, offset, flags) in enumerate([
                (b'.text', 0x100, 0x1000, 0x200, 0x200, 0x60000020),
                (b'.rsrc', len(rsrc), rva, rsrc_raw, 0x400, 0x40000040),
                (b'.reloc', 12, reloc_rva, 0x200, 0x400 + rsrc_raw, 0x42000040)]):
            img[table + 40 * i:table + 40 * (i + 1)] = struct.pack(
                '<8sIIII12xI', name, vsize, va, raw, offset, flags)
        img = marker(img, 0x200, b'XXXX')
        img += rsrc + bytes(rsrc_raw - len(rsrc))
        img += struct.pack('<II', 0x1000, 12) + b'\x10\x30\0\0' + bytes(0x200 - 12)
        return bytes(img)

    manifest = (24, 1, 0x409, b'<assembly/>')
    group = (14, 1, 0x409, struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHIH', 16, 16, 0, 0,
                                                                       1, 32, 8, 1))
    icon = (3, 1, 0x409, bytes(range(8)))
    put('resources', 'manifest', resource_launcher([manifest]))
    put('resources', 'icon', resource_launcher([manifest, group, icon]))
    put('resources', 'icon-x64', resource_launcher([manifest, group, icon], x64=True))


if __name__ == '__main__':
    main()
