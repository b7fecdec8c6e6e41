#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets.

Usage: fuzz_seeds.py OUTDIR

Creates OUTDIR/<target>/ for each target of fuzz/ and fills it with a few
small inputs in the target's own layout: valid recordings and damaged ones,
settings files and channel tables, argument vectors, and conversion inputs
(32 settings bytes followed by header fields).
"""
import os
import struct
import sys

HEADER = 4096
FRAME = 752


def put(buf, offset, length, text):
    raw = text if isinstance(text, bytes) else text.encode("latin-1")
    raw = raw[:length].ljust(length, b"\0")
    buf[offset:offset + length] = raw


def recording(frames, time="12:00:42", obj="sun", count="Samples: 6400",
              stop="Wed Apr 12 12:10:30 2006 263", start="Wed Apr 12 12:00:30 2006 45",
              azimuth=0, altitude=45.0):
    buf = bytearray(HEADER + FRAME * frames)
    put(buf, 18, 16, time)
    put(buf, 34, 16, obj)
    put(buf, 2761, 32, count)
    put(buf, 3072, 32, stop)
    put(buf, 4032, 32, start)
    buf[52:56] = struct.pack("<i", azimuth)
    buf[56:60] = struct.pack("<f", altitude)
    for f in range(frames):
        base = HEADER + FRAME * f
        for word in range(11, 80):
            value = 1000 + (3000 if abs(f - frames * 0.78) < frames * 0.1 else 0) + (f * 7 + word) % 50
            struct.pack_into("<h", buf, base + 2 * word, value)
            struct.pack_into("<h", buf, base + 2 * (2 * 94 + word), value // 2)
        status = 259 if (f * 10 // (frames + 1)) % 2 else 0
        for block in range(4):
            for word in range(83, 91):
                struct.pack_into("<h", buf, base + 2 * (block * 94 + word), status)
    return bytes(buf)


def fields(time="12:00:42", obj="sun", count="Samples: 6400", stop="Wed Apr 12 12:10:30 2006 263",
           start="Wed Apr 12 12:00:30 2006 45", azimuth=b"\0\0\0\0", altitude=struct.pack("<f", 45.0)):
    parts = [p.encode("latin-1") if isinstance(p, str) else p
             for p in (time, obj, count, stop, start, azimuth, altitude)]
    return b"\n".join(parts)


def conversion_settings(ampcor=1, flags=0, variants=0, frames=40, smooth=20, shift=0, sigma=1.0, delta=0.0,
                        valh=10.0, azim=0.0, dspdt=0.0076365, tail=0):
    return (bytes([ampcor, flags, variants, frames]) + struct.pack("<hi", smooth, shift) +
            struct.pack("<fffff", sigma, delta, valh, azim, dspdt) + struct.pack("<h", tail))


CHANNELS = "chan freq use\n" + "".join("%d %.2f 1\n" % (c, 2.0 + 0.35 * c) for c in range(1, 57))
COEFFICIENTS = "freq tqsun kflux theta\n2.0 6000 1.5 80\n4.0 5000 2.5 60\n9.0 4000 3.5 40\n"


def seeds():
    good = recording(20)
    yield "recording_reader", "valid", good
    yield "recording_reader", "header_only", good[:HEADER]
    yield "recording_reader", "short", good[:4095]
    yield "recording_reader", "tail", good + b"\x01" * 100
    yield "recording_reader", "packed_altitude", recording(2, altitude=453012.5, azimuth=-2147483648)
    yield "recording_reader", "odd_texts", recording(2, time="4294967308:00:00", start="Fri Foo 31 inf:0:0 99999 1234")
    yield "recording_reader", "fields", fields()
    yield "recording_reader", "fields_odd", fields(time="12:nan:00", count="n -2147483649",
                                                   stop="Wed Apr 12 12:10:30 2006 99999999999")

    yield "text_tables", "settings", b"smooth\nsmooth=30\nsigma = 2.5\noutdir='/data/run 1/'\nshift=-3\nindir=a b\n"
    yield "text_tables", "channels", b"12\n" + CHANNELS.encode()
    yield "text_tables", "coefficients", b"10.1\n" + COEFFICIENTS.encode()
    yield "text_tables", "odd", b"outdir\noutdir='/data\r\n" + b"x" * 300 + b"\n7 nan inf\n\0\n8 1e39 -1\n"

    yield "command_line", "options", (b"smooth=5\nchannels=chan.cfg\n\0-f=scan.dat\0-cf=chan.cfg\0-s=12abc\0"
                                      b"-shift=3\0-onoff")
    yield "command_line", "prefixes", b"\0-shift=3\0-s=40\0-f=data/scan\0-out=out/\0-flag_theta=1\0-debug\0-sigma=nan"
    yield "command_line", "no_file", b"ampcor=1\n\0-cf=chan.cfg\0-amp=x"
    yield "command_line", "empty", b""

    yield "conversion", "sun", conversion_settings() + fields()
    yield "conversion", "amp2_debug", conversion_settings(ampcor=2, flags=0x04 | 0x01, variants=0x04) + fields()
    yield "conversion", "shift_sigma", conversion_settings(smooth=11, shift=-7, sigma=1e30, variants=0x09) + fields()
    yield "conversion", "odd_channels", conversion_settings(variants=0x01 | 0x08, sigma=1e30) + fields(obj="Moon")
    yield "conversion", "no_frames", conversion_settings(frames=0, flags=0x40, tail=751) + fields()
    yield "conversion", "extreme_shift", (conversion_settings(smooth=1, shift=-2147483648, sigma=1e30, frames=100) +
                                          fields())
    yield "conversion", "extreme_smooth", conversion_settings(ampcor=1, smooth=32767, shift=2147483647) + fields()
    yield "conversion", "odd_scales", (conversion_settings(smooth=-5, dspdt=1e-38, valh=3600.0, delta=89.9, azim=1e30,
                                                           sigma=float("nan")) + fields(obj="Crab"))
    yield "conversion", "odd_header", conversion_settings(ampcor=2, sigma=1e30) + fields(
        time="99:59:59.9", count="n 99999999999", stop="Wed Apr 12 12:10:30 2006 -1",
        start="Sun Dec 31 23:59:59 9999 999", azimuth=struct.pack("<i", -2147483648),
        altitude=struct.pack("<f", 999999900.0))
    yield "conversion", "given_tables", (conversion_settings(sigma=1e30) + fields() + b"\n2006/04/12\n" +
                                         b"1 2.35 1\x00 2 2.70 1\n" + COEFFICIENTS.encode())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    for target, name, data in seeds():
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
