# Reads a .msg file with olefile and prints one fact per line:
#   ISSUE text                          a structural fault
#   FILE key value                      file-level facts
#   HEADER storage len nextR nextA cntR cntA
#   STR storage/TAG hex(utf8)          string values, decoded (001E in the object's code page)
#   BIN storage/TAG size md5
#   INT storage/TAG value
#   NAMED TAG guid kind key            the named-property map
#   STREAM path size
import sys, struct, hashlib, olefile

path = sys.argv[1]
issues = []
try:
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
except Exception as e:
    print("ISSUE olefile refused the file:", e)
    sys.exit(0)
for i in ole.parsing_issues:
    issues.append("olefile: %s" % (i,))
size = len(open(path, 'rb').read())
if size % 512 != 0:
    issues.append("file size %d not a multiple of 512" % size)
print("FILE clsid", ole.root.clsid)
print("FILE version %d.%x" % (ole.dll_version, ole.minor_version))

# Sibling trees: in-order traversal must give compound-file order; no red node with a red child.
def key(name):
    return (len(name), name.upper())
def walk(sid, out, depth=0):
    if sid == olefile.NOSTREAM or depth > 10000:
        return
    e = ole.direntries[sid]
    walk(e.sid_left, out, depth + 1)
    out.append(e)
    walk(e.sid_right, out, depth + 1)
def check_colors(sid, parent_red):
    if sid == olefile.NOSTREAM:
        return
    e = ole.direntries[sid]
    red = e.color == 0
    if red and parent_red:
        issues.append("two red nodes in a row at " + e.name)
    check_colors(e.sid_left, red)
    check_colors(e.sid_right, red)
for e in ole.direntries:
    if e is None or e.entry_type not in (1, 5) or e.sid_child == olefile.NOSTREAM:
        continue
    kids = []
    walk(e.sid_child, kids)
    names = [k.name for k in kids]
    if [key(n) for n in names] != sorted(key(n) for n in names):
        issues.append("children of %s out of order" % e.name)
    if ole.direntries[e.sid_child].color != 1:
        issues.append("tree root under %s not black" % e.name)
    check_colors(e.sid_child, False)
    def height(sid):
        if sid == olefile.NOSTREAM:
            return 0
        n = ole.direntries[sid]
        return 1 + max(height(n.sid_left), height(n.sid_right))
    if height(e.sid_child) > 2 * len(kids).bit_length():
        issues.append("sibling tree under %s is not balanced" % e.name)

entries = ole.listdir(streams=True, storages=True)
streams = {"/".join(p): p for p in entries if ole.get_type(p) == olefile.STGTY_STREAM}
storages = {"/".join(p) for p in entries if ole.get_type(p) == olefile.STGTY_STORAGE}
for s in sorted(streams):
    print("STREAM", s, ole.get_size(s))

def children(prefix):
    n = len(prefix)
    return sorted({p[n:].split("/")[0] for p in list(streams) + list(storages)
                   if p.startswith(prefix) and p != prefix.rstrip("/")})

# Named-property map.
named = {}
if "__nameid_version1.0" not in storages:
    issues.append("no __nameid_version1.0")
else:
    def rd(n):
        p = "__nameid_version1.0/__substg1.0_" + n
        if p not in streams:
            issues.append("missing " + p)
            return b""
        return ole.openstream(p).read()
    g, ent, strs = rd("00020102"), rd("00030102"), rd("00040102")
    lookups = {}
    for i in range(0, len(ent), 8):
        first, ik, idx = struct.unpack("<IHH", ent[i:i + 8])
        kind, gi = ik & 1, ik >> 1
        if idx != i // 8:
            issues.append("named entry %d has index %d" % (i // 8, idx))
        guid = {1: "PS_MAPI", 2: "PS_PUBLIC_STRINGS"}.get(gi) or g[(gi - 3) * 16:(gi - 2) * 16].hex()
        if kind:
            ln = struct.unpack("<I", strs[first:first + 4])[0]
            nm = strs[first + 4:first + 4 + ln]
            crc = 0
            for b in nm:
                crc ^= b
                for _ in range(8):
                    crc = (crc >> 1) ^ (0xEDB88320 if crc & 1 else 0)
            hk, label = crc, "name:" + nm.decode("utf-16-le").encode().hex()
        else:
            hk, label = first, "lid:%x" % first
        sid = 0x1000 + (hk ^ ((gi << 1) | kind)) % 0x1F
        lookups.setdefault(sid, b"")
        lookups[sid] += struct.pack("<IHH", hk, ik, idx)
        named[0x8000 + idx] = (guid, label)
        print("NAMED %04X %s %s" % (0x8000 + idx, guid, label))
    for sid, recs in lookups.items():
        p = "__nameid_version1.0/__substg1.0_%04X0102" % sid
        if p not in streams or ole.openstream(p).read() != recs:
            issues.append("lookup stream %04X wrong" % sid)

FIXED = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x0005: 8, 0x0006: 8, 0x0007: 8, 0x000A: 4, 0x000B: 1, 0x0014: 8, 0x0040: 8}
def pycodec(cp):
    return {65001: "utf-8", 20127: "ascii", 20866: "koi8_r", 28591: "latin-1", 932: "cp932"}.get(cp) or (
        "iso8859_%d" % (cp - 28590) if 28591 <= cp <= 28605 else "cp%d" % cp)

def read_object(prefix, header_len, codepage):
    """prefix: storage path with trailing '/' or ''"""
    label = prefix.rstrip("/") or "ROOT"
    pp = prefix + "__properties_version1.0"
    if pp not in streams:
        issues.append("no property stream in " + label)
        return
    data = ole.openstream(pp).read()
    if (len(data) - header_len) % 16:
        issues.append("property stream of %s has a partial entry" % label)
    if header_len >= 24:
        nr, na, cr, ca = struct.unpack("<IIII", data[8:24])
        print("HEADER", label, header_len, nr, na, cr, ca)
    props = {}
    for off in range(header_len, len(data) - 15, 16):
        tag, flags = struct.unpack("<II", data[off:off + 8])
        props[tag] = data[off + 8:off + 16]
    # 8-bit strings decode in this object's message code page.
    if 0x3FFD0003 in props:
        codepage = struct.unpack("<I", props[0x3FFD0003][:4])[0]
    used = set()
    for tag, raw in sorted(props.items()):
        typ = tag & 0xFFFF
        name = "%s/%08X" % (label, tag)
        sname = prefix + "__substg1.0_%08X" % tag
        if typ in FIXED:
            v = int.from_bytes(raw[:FIXED[typ]], "little")
            if raw[FIXED[typ]:] != bytes(8 - FIXED[typ]):
                issues.append("non-zero padding in " + name)
            print("INT", name, v)
            continue
        sz = struct.unpack("<I", raw[:4])[0]
        if typ == 0x000D:
            if sz != 0xFFFFFFFF:
                issues.append("object size of %s" % name)
            used.add("__substg1.0_%08X" % tag)
            continue
        if sname not in streams:
            issues.append("no stream for " + name)
            continue
        used.add("__substg1.0_%08X" % tag)
        val = ole.openstream(sname).read()
        if typ in (0x101F, 0x101E, 0x1102):
            n = len(val) // (8 if typ == 0x1102 else 4)
            if sz != len(val):
                issues.append("size of " + name)
            for i in range(n):
                vn = "__substg1.0_%08X-%08X" % (tag, i)
                used.add(vn)
                v = ole.openstream(prefix + vn).read()
                ln = struct.unpack("<I", val[i * (8 if typ == 0x1102 else 4):][:4])[0]
                if ln != len(v):
                    issues.append("length of value %d of %s" % (i, name))
                if typ == 0x101F:
                    print("STR", "%s[%d]" % (name, i), v[:-2].decode("utf-16-le").encode().hex())
                elif typ == 0x101E:
                    print("STR", "%s[%d]" % (name, i), v[:-1].decode(pycodec(codepage)).encode().hex())
                else:
                    print("BIN", "%s[%d]" % (name, i), len(v), hashlib.md5(v).hexdigest())
            continue
        extra = {0x001F: 2, 0x001E: 1}.get(typ, 0)
        if sz != len(val) + extra:
            issues.append("size field of %s: %d for %d bytes" % (name, sz, len(val)))
        if typ == 0x001F:
            if len(val) >= 2 and val[-2:] == b"\0\0":
                issues.append("NUL stored in " + name)
            print("STR", name, val.decode("utf-16-le").encode().hex())
        elif typ == 0x001E:
            print("STR", name, val.decode(pycodec(codepage)).encode().hex())
        else:
            print("BIN", name, len(val), hashlib.md5(val).hexdigest())
    for c in children(prefix):
        if c.startswith("__substg1.0_") and c not in used:
            issues.append("stream without entry: " + prefix + c)
        if c.startswith("__substg1.0_") and c[12:] != c[12:].upper():
            issues.append("lower-case name " + prefix + c)
    return props, codepage

def read_message(prefix, header_len, codepage):
    res = read_object(prefix, header_len, codepage)
    if res is None:
        return
    props, codepage = res
    data = ole.openstream(prefix + "__properties_version1.0").read()
    nr, na, cr, ca = struct.unpack("<IIII", data[8:24])
    kids = children(prefix)
    recips = sorted(c for c in kids if c.startswith("__recip_version1.0_#"))
    atts = sorted(c for c in kids if c.startswith("__attach_version1.0_#"))
    if recips != ["__recip_version1.0_#%08X" % i for i in range(cr)] or nr != cr:
        issues.append("recipient storages of %s do not match the header" % (prefix or "ROOT"))
    if atts != ["__attach_version1.0_#%08X" % i for i in range(ca)] or na != ca:
        issues.append("attachment storages of %s do not match the header" % (prefix or "ROOT"))
    for r in recips:
        read_object(prefix + r + "/", 8, codepage)
    for a in atts:
        read_object(prefix + a + "/", 8, codepage)
        emb = prefix + a + "/__substg1.0_3701000D"
        if emb in storages:
            if "__nameid_version1.0" in children(emb + "/"):
                issues.append("name map inside an embedded message")
            read_message(emb + "/", 24, codepage)

read_message("", 32, 1252)
for i in issues:
    print("ISSUE", i)
