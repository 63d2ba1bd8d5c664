"""Archives made by an independent ZIP writer (Python's zipfile), for the
package tests: a good package, names with folder parts, a damaged item, a
truncated archive, items of other methods, short streams and names Windows
would rewrite, and an archive past the package's limits."""
import io
import random
import struct
import sys
import zipfile
from pathlib import Path

out = Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
rng = random.Random(7)


def image(pages, version):
    data = bytearray(rng.getrandbits(8) for _ in range(pages * 4096))
    data = bytearray(b if b != 0x2E else 0x2F for b in data)
    data[0:4] = b"CMFG"
    at = 4096 + 0x100
    data[at - 1] = 0
    data[at:at + len(version)] = version.encode()
    data[at + len(version)] = 0
    return bytes(data)


def ini(lines):
    return b"\xff\xfe" + "\r\n".join(lines + [""]).encode("utf-16-le")


config = ini(["[UPDATEINFO]", "title=Python Package", "socid=*", "ModelName=PY MODEL",
              "NEWVERSION=keep", "PowerCtrl=1"])

with zipfile.ZipFile(out / "py-package.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("KestrelInfo.ini", config)
    z.writestr("Micron-B47R_0.fw", image(8, "1.4.B.22"))
    z.writestr("TSB-BiCS4_2.fw", image(9, "1.5.C.01"))

with zipfile.ZipFile(out / "escape.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name in ["../escape1.fw", "..\\escape2.fw", "/escape3.fw", "C:/escape4.fw", "sub/../../escape5.fw",
                 "good.fw", "folder/inner.fw", "stream.fw:hidden", "L" * 300 + ".fw"]:
        z.writestr(zipfile.ZipInfo(name), b"content of " + name.encode())

# A stored item whose data no longer matches its CRC, between two good ones,
# and a deflated item whose stream is broken.
buf = io.BytesIO()
with zipfile.ZipFile(buf, "w") as z:
    z.writestr("first.fw", b"A" * 5000, compress_type=zipfile.ZIP_STORED)
    z.writestr("badcrc.fw", b"B" * 5000, compress_type=zipfile.ZIP_STORED)
    z.writestr("badstream.fw", bytes(range(256)) * 64, compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("last.fw", b"C" * 5000, compress_type=zipfile.ZIP_STORED)
data = bytearray(buf.getvalue())
with zipfile.ZipFile(io.BytesIO(bytes(data))) as z:
    for info in z.infolist():
        name_len, extra_len = struct.unpack("<HH", data[info.header_offset + 26:info.header_offset + 30])
        start = info.header_offset + 30 + name_len + extra_len
        if info.filename == "badcrc.fw":
            data[start + 2500] ^= 0xFF
        if info.filename == "badstream.fw":
            for i in range(start + 4, start + 40):
                data[i] ^= 0x5A
(out / "damaged.zip").write_bytes(bytes(data))

good = (out / "py-package.zip").read_bytes()
(out / "truncated.zip").write_bytes(good[:len(good) // 2])

# Items that must not be written: a bzip2 item, a deflated item whose stream
# ends before its declared size, and names Windows would rewrite or treat as
# a device, between good ones.
buf = io.BytesIO()
with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("good.fw", b"G" * 3000)
    z.writestr("bzip.fw", b"Z" * 3000, compress_type=zipfile.ZIP_BZIP2)
    z.writestr("short.fw", bytes(range(256)) * 16)
    for name in ["x.fw.", "x.fw ", "NUL", "aux.fw", "Com7.bin", "..", "...", "sub/inner.fw", "bad|name.fw"]:
        z.writestr(zipfile.ZipInfo(name), b"odd item " + name.encode(), compress_type=zipfile.ZIP_DEFLATED)
    # Month 0, day 0: no real day, which the updater ignores and the package tool reports.
    z.writestr(zipfile.ZipInfo("nodate.fw", date_time=(1980, 0, 0, 0, 0, 0)), b"N" * 10)
    z.writestr("twice.fw", b"first")
    z.writestr("TWICE.fw", b"second")  # one file for Windows
    z.writestr("last.fw", b"L" * 3000, compress_type=zipfile.ZIP_STORED)
data = bytearray(buf.getvalue())
with zipfile.ZipFile(io.BytesIO(bytes(data))) as z:
    short = z.getinfo("short.fw")
# The declared size grows by 100 in the local header and the central directory.
struct.pack_into("<I", data, short.header_offset + 22, short.file_size + 100)

at = 0
while True:
    at = data.find(b"PK\x01\x02", at)
    if at < 0:
        break
    if struct.unpack("<I", data[at + 42:at + 46])[0] == short.header_offset:
        struct.pack_into("<I", data, at + 24, short.file_size + 100)
    at += 4
(out / "odd.zip").write_bytes(bytes(data))

# An item that inflates past what a package item may be (17 MiB of zeros in
# a few KiB), then more items than a package may hold.
with zipfile.ZipFile(out / "limits.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("huge.fw", bytes(17 << 20))
    for i in range(70):
        z.writestr("item%02d.fw" % i, b"item %d" % i)
