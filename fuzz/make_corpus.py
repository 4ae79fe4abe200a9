#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target to fuzz/corpus/<target>/.

The seeds are well-formed inputs (and a few broken ones) that take each
target past its first checks: whole replies of every family, requests of
every command, a small tag file, comment files, emulated pipe
segments with good and hostile layouts, tag CSV files, server command lines.  The fuzzer mutates them.
Run it again after changing it; the files are committed.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(*v):
    return struct.pack('<%dH' % len(v), *v)


def u32(*v):
    return struct.pack('<%dI' % len(v), *v)


def name(text, size=8):
    return text.encode().ljust(size, b'\0')[:size]


def reply(result, payload=b'', first=0):
    return u32(8 + len(payload), first, result) + payload


def write(target, label, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, label), 'wb') as f:
        f.write(data)


def replies():
    # Input: number of calls - 1, (call, argument) pairs, then the stream.
    a = 5  # count 6 in the harness
    count = 1 + a % 48
    words = b'\x11\x22' * count
    payloads = {
        4: words, 7: u32(1, 2) + b'm' * count, 8: bytes(448), 9: bytes(512),
        10: u32(*range(6)), 11: words, 12: bytes(count), 13: b'\x01\x00' * 7,
        17: u32(1, 2) + b'n' * count, 18: words, 19: bytes(count), 20: b'\x02\x00' * 7,
        24: bytes(676), 25: bytes(676), 26: bytes(676), 27: bytes(676),
        28: u32(16), 29: u32(3, 3, 1, 2, 3), 30: u32(2, 2, 4, 5), 31: b'QUEUE\0\0\0',
    }
    for call in range(34):
        payload = payloads.get(call, b'')
        head = bytes([0, call, a])
        if call in (24, 25, 26, 27):
            stream = u32(684, 0, 0) + payload
        elif call == 33:
            stream = u32(44 + 3) + u16(1) + bytes(6) + name('POSTER', 32) + u32(9) + b'abc'
        else:
            stream = reply(0, payload)
        write('replies', 'ok-%02d' % call, head + stream)
        write('replies', 'refused-%02d' % call, head + reply(6, payload))
        write('replies', 'short-%02d' % call, head + stream[: len(stream) // 2])
    # Two calls on one stream: the second must not take the first's tail.
    write('replies', 'two-reads', bytes([1, 4, a, 11, a]) + reply(0, words + b'extra') + reply(0, words))
    write('replies', 'huge-length', bytes([0, 4, a]) + u32(0xFFFFFFFF, 0, 0))


def requests():
    def record(command, body, options=0):
        return u32(8 + len(body), command, options) + body
    reg = record(100000, u32(0, 0) + name('FUZZ'))
    seeds = {
        'register': reg,
        'read-words': record(101, u16(2, 0) + u32(1, 0, 4) + u32(3, 200, 5)),
        'read-bits': record(100, u16(1, 0) + u32(0, 3, 17)),
        'write-words': record(100101, u32(1, 10, 3) + u16(1, 2, 3)),
        'write-bits': record(100100, u32(0, 5, 4) + bytes([1, 0, 1, 1])),
        'write-masked': record(100120, u32(1, 0, 17) + u16(*range(16)) + u16(0xFFFF)),
        'mailbox': reg + record(100200, name('FUZZ') + u32(0, 2) + u16(7, 8)) +
                   record(200, name('FUZZ') + u32(0, 2)),
        'message': record(100100, u32(103, 0, 12 + 3) + u32(1, 2, 0) + b'abc') +
                   record(100, u16(1, 0) + u32(103, 0, 16)),
        'info': record(101, u16(1, 0) + u32(1000, 0, 224)) + record(101, u16(1, 0) + u32(1001, 0, 256)),
        'appctl-status': record(300103, bytes(676)),
        'evqueue': record(200100, u32(100000) + name('Q', 12) + u32(0)) +
                   record(200102, u32(1, 7, 3) + b'xyz') + record(200105, u32(4)) +
                   record(200106, u32(4)) + record(200107, u32(4)) + record(200108, u32(1)) +
                   record(200109, b'') + record(200101, u32(1, 0)),
        'unknown': record(7, b''),
        'length-ffffffff': u32(0xFFFFFFFF) + b'x' * 8,
        'length-below-8': u32(3, 1),
    }
    for label, data in seeds.items():
        write('requests', label, data)


def tagfile():
    # Header of 28 bytes: n (u16 at 12), c (u16 at 14), u32 at 16; the index
    # and the second table of n u16 each; 76-byte records (name, class at 48,
    # address at 52, attributes at 72).
    names = ['ALPHA', 'BETA', 'GAMMA']
    n = len(names) + 1
    header = bytearray(28)
    struct.pack_into('<HHI', header, 12, n, n, 28 + 4 * n)
    index = u16(*range(n))
    second = u16(*range(n))
    records = bytearray()
    records += name('<UNDEFINED>', 48) + u32(0) + name('', 20) + u16(0, 0)
    for i, tag in enumerate(names):
        address = ['CW%d' % (10 + i), 'SW7', 'CB3'][i]
        records += name(tag, 48) + u32(1) + name(address, 20) + u16(0, 0)
    write('tagfile', 'three-tags', bytes(header) + index + second + bytes(records))
    write('tagfile', 'header-only', bytes(header))
    write('tagfile', 'empty', b'')


def comment():
    def file(w, b, s2, s3):
        body = b''.join(name('comment %d' % i, 32) for i in range(w + b + s2 + s3))
        return u32(w, b, s2, s3) + body
    write('comment', 'small', file(16, 32, 256, 256))
    write('comment', 'header-only', u32(16, 16, 0, 0))
    write('comment', 'huge-counts', u32(0xFFFFFFF0, 0x7FFFFFFF, 16, 16) + bytes(64))
    write('comment', 'short-header', u32(1, 2))


def w95pipe():
    # Input: flags, offered instance (255: a u32 follows), in-use word, mode
    # word, in and out capacity, u16 segment size, out and in count, four
    # (kind, size) operations, then the segment's bytes.
    def pipe(flags=0x08, offered=0, mode=0x8000, in_cap=64, out_cap=64, segment=None,
             out_count=5, in_count=0, ops=((0, 8), (1, 6), (0, 4), (1, 100)), wide=None):
        if segment is None:
            segment = out_cap + in_cap + 8
        head = bytes([flags, offered]) + (u32(wide) if offered == 255 else b'')
        body = u32(1, mode, in_cap, out_cap) + u16(segment) + u32(out_count & 0xFFFFFFFF, in_count & 0xFFFFFFFF)
        body += b''.join(bytes([kind]) + u32(size) for kind, size in ops)
        return head + body + bytes(range(256)) * ((segment + 255) // 256)
    seeds = {
        'valid-nowait': pipe(),
        'valid-normal': pipe(mode=0, flags=0x10),
        'valid-peer-closed': pipe(flags=0x10),
        'valid-cut': pipe(flags=0x00),
        'odd-capacity': pipe(out_cap=13, in_cap=7, out_count=13),
        'in-only': pipe(out_cap=0, in_cap=32, out_count=0),
        'out-only': pipe(out_cap=32, in_cap=0, out_count=32),
        'full-in': pipe(in_count=64),
        'huge-sizes': pipe(ops=((2, 5), (3, 5), (0, 0xFFFF), (1, 0xFFFF))),
        'capacity-wraps': pipe(out_cap=0xFFFFFFF8, in_cap=0x10, segment=64),
        'capacity-too-big': pipe(out_cap=4096, in_cap=4096, segment=64),
        'no-buffers': pipe(out_cap=0, in_cap=0, segment=64),
        'segment-larger': pipe(segment=1000),
        'out-count-minus2': pipe(out_count=-2),
        'out-count-minus1': pipe(out_count=-1),
        'out-count-high': pipe(out_count=65),
        'in-count-minus2': pipe(in_count=-2),
        'in-count-minus1': pipe(in_count=-1),
        'in-count-high': pipe(in_count=1000),
        'instance-254': pipe(offered=254),
        'instance-255': pipe(offered=255, wide=255),
        'instance-300': pipe(offered=255, wide=300),
        'instance-max': pipe(offered=255, wide=0x7FFFFFFF),
        'wrong-segment': pipe(flags=0x0C),
        'no-locks': pipe(flags=0x0A),
        'normal-no-events': pipe(mode=0, flags=0x08),
    }
    for label, data in seeds.items():
        write('w95pipe', label, data)


def web():
    def request(method, path, query=b'', body=b'', host=b'127.0.0.1:8080', origin=b'', setting=3):
        return bytes([setting]) + b'\n'.join([method, path, query, host, origin]) + b'\n' + body
    seeds = {
        'page': request(b'GET', b'/'),
        'escape': request(b'GET', b'/../../etc/passwd'),
        'areas': request(b'GET', b'/api/areas'),
        'read': request(b'GET', b'/api/areas/CW', b'start=10&count=5'),
        'read-bits': request(b'GET', b'/api/areas/cb', b'start=100&count=16&bits=1'),
        'write': request(b'POST', b'/api/areas/CW/10', body=b'{"value":"0x1F"}'),
        'write-bit': request(b'POST', b'/api/areas/CB/5', b'bits=1', b'{"value":true}'),
        'write-off': request(b'POST', b'/api/areas/CW/10', body=b'{"value":1}', setting=2),
        'tag': request(b'POST', b'/api/tags/LEVEL', body=b'{"value":-5}'),
        'tags': request(b'GET', b'/api/tags', b'search=lev&start=0&count=50'),
        'queue': request(b'POST', b'/api/queues', body=b'{"queue":"any","name":"ALARMS"}'),
        'close': request(b'DELETE', b'/api/queues/5'),
        'post': request(b'POST', b'/api/queues/5/events', body=b'{"value":42,"data":"tank high"}'),
        'message': request(b'POST', b'/api/messages', body=b'{"channel":3,"text":"hi","urgent":true}'),
        'stream': request(b'GET', b'/api/stream', b'area=SW&start=0&count=256&search=&tagstart=0&tagcount=50'),
        'origin': request(b'POST', b'/api/messages', body=b'{}', origin=b'http://evil.example'),
        'host': request(b'GET', b'/api/info', host=b'evil.example:8080'),
    }
    for label, data in seeds.items():
        write('web', label, data)


def tagcsv():
    seeds = {
        'tags': b'# name,address,type\nLEVEL,CW100,word\nflow, sw2 , DWORD\nPUMP,CB17,bit\n\n',
        'crlf': b'A,CW0,word\r\nB,SB2147483647,bit\r\n',
        'duplicate': b'X,CW1,word\nx,CW2,word\n',
        'bad-type': b'X,CB1,word\n',
        'fields': b'X,CW1\nY,CW2,word,more\n',
    }
    for label, data in seeds.items():
        write('tagcsv', label, data)


def options():
    seeds = {
        'sizes': b'--cw\x00512\x00--sw=300\x00--mailbox-words\x00576\x00-q',
        'project': b'--project\x00C:PLANT_1\x00--server-name=pipe\x00--host\x00HOSTA',
        'tcp': b'--tcp\x00127.0.0.1:0\x00--w95-instances\x000\x00--evqueues=4',
        'faults': b'--fault-delay=5\x00--fault-refuse\x003\x00--fault-stall-evqueues',
        'bad': b'--project\x00C:../x\x00--tcp-any\x0070000',
    }
    for label, data in seeds.items():
        write('options', label, data)


if __name__ == '__main__':
    for make in (replies, requests, tagfile, comment, w95pipe, web, tagcsv, options):
        make()
    sys.exit(0)
