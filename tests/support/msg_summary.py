# Reads the .msg files named on stdin (one path a line) with olefile, in one
# process for all of them, and prints for each:
#   FILE hex(path) | ERROR hex(text) | CP n | S pid hex(utf8) | T filetime | FLAGS n
#   HTML hex | R type hex(address) | A hex(name) hex(bytes) | E hex(subject)
import sys, struct, olefile

def codec(cp):
    named = {65001: "utf-8", 20127: "ascii", 20866: "koi8_r", 21866: "koi8_u", 28591: "latin-1", 932: "cp932",
             936: "gbk", 949: "cp949", 950: "cp950", 50220: "iso2022_jp", 51932: "euc_jp", 51949: "euc_kr"}
    if cp in named:
        return named[cp]
    if 28591 <= cp <= 28605:
        return "iso8859_%d" % (cp - 28590)
    return "cp%d" % cp

def props(ole, prefix, header):
    data = ole.openstream(prefix + "__properties_version1.0").read()
    out = {}
    for off in range(header, len(data) - 15, 16):
        tag = struct.unpack("<I", data[off:off + 4])[0]
        out[tag] = data[off + 8:off + 16]
    return out

def stream(ole, prefix, tag):
    p = prefix + "__substg1.0_%08X" % tag
    return ole.openstream(p).read() if ole.exists(p) else None

def text(ole, prefix, p, pid, cp):
    if (pid << 16) | 0x1F in p:
        return (stream(ole, prefix, (pid << 16) | 0x1F) or b"").decode("utf-16-le")
    if (pid << 16) | 0x1E in p:
        return (stream(ole, prefix, (pid << 16) | 0x1E) or b"").rstrip(b"\0").decode(codec(cp))
    return None

def storages(ole, prefix, kind):
    depth = prefix.count("/")
    names = set()
    for entry in ole.listdir(streams=True, storages=True):
        if len(entry) > depth and "/".join(entry[:depth]) + ("/" if depth else "") == prefix and entry[depth].startswith(kind):
            names.add(entry[depth])
    return sorted(names)

def hexs(s):
    return s.encode("utf-8").hex()

for path in sys.stdin.read().split("\n"):
    if not path:
        continue
    print("FILE", path.encode().hex())
    try:
        ole = olefile.OleFileIO(path)
        p = props(ole, "", 32)
        cp = struct.unpack("<I", p[0x3FFD0003][:4])[0] if 0x3FFD0003 in p else 1252
        print("CP", cp)
        for pid in (0x0037, 0x0C1F, 0x0065, 0x1035, 0x1000):
            t = text(ole, "", p, pid, cp)
            if t is not None:
                print("S %04X %s" % (pid, hexs(t)))
        if 0x00390040 in p:
            print("T", struct.unpack("<Q", p[0x00390040])[0])
        if 0x0E070003 in p:
            print("FLAGS", struct.unpack("<I", p[0x0E070003][:4])[0])
        h = stream(ole, "", 0x10130102)
        if h is not None:
            # PR_HTML is in the code page PR_INTERNET_CPID names.
            hcp = struct.unpack("<I", p[0x3FDE0003][:4])[0] if 0x3FDE0003 in p else cp
            print("HTML", hexs(h.decode(codec(hcp), "replace")) or "-")
        for r in storages(ole, "", "__recip_version1.0_#"):
            rp = props(ole, r + "/", 8)
            rtype = struct.unpack("<I", rp[0x0C150003][:4])[0] if 0x0C150003 in rp else 0
            addr = text(ole, r + "/", rp, 0x3003, cp) or ""
            print("R", rtype, hexs(addr) or "-")
        for a in storages(ole, "", "__attach_version1.0_#"):
            ap = props(ole, a + "/", 8)
            method = struct.unpack("<I", ap[0x37050003][:4])[0] if 0x37050003 in ap else 0
            if method == 5:
                ep = props(ole, a + "/__substg1.0_3701000D/", 24)
                ecp = struct.unpack("<I", ep[0x3FFD0003][:4])[0] if 0x3FFD0003 in ep else cp
                print("E", hexs(text(ole, a + "/__substg1.0_3701000D/", ep, 0x0037, ecp) or "") or "-")
                continue
            name = text(ole, a + "/", ap, 0x3707, cp) or text(ole, a + "/", ap, 0x3704, cp) or ""
            data = stream(ole, a + "/", 0x37010102) or b""
            print("A", hexs(name) or "-", data.hex() or "-")
        ole.close()
    except Exception as e:
        print("ERROR", str(e).encode().hex())
