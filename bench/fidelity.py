#!/usr/bin/python3
"""Corpus-wide fidelity check of the .pst and .msg forms.

Every mailbox and single message of the corpus is converted with the command
line converter, once to .msg files and once to one .pst store per mailbox. The
results are read back by two independent readers per form (.pst: readpst and
pffexport; .msg: olefile directly and msgconvert) and each field is compared
with the source message as Python's email package (policy=default) reads it.

    fidelity.py [BUILD] [--corpus DIR] [--work DIR] [--jobs N] [--only SUBSTR]

Writes WORK/report.md (the table of matched shares per field and reader) and
WORK/mismatches.tsv (file, message number, field, reader, expected, got,
verdict). WORK (default ../fidelity-work beside the repository) is emptied at
the start of every run.
"""

import argparse
import base64
import collections
import concurrent.futures
import datetime
import difflib
import email
import email.policy
import email.utils
import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import time

import olefile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
READERS = {"pst": ("readpst", "pffexport"), "msg": ("olefile", "msgconvert")}
FIELDS = ("count", "subject", "from_name", "from_addr", "to", "cc", "date", "body", "html_present",
          "html", "att_names", "att_content", "topic", "index")
TIMEOUT = 120


# ---------------------------------------------------------------- the source

ENVELOPE = re.compile(rb"From (?:-[ \t]*$|(?:- |\S+ +)?(?:\w{3},? +)?\w{3} +\d{1,2} +\d{1,2}:\d{2}(?::\d{2})? .*\d{4})")
HEADER_LINE = re.compile(rb"[!-9;-~]+[ \t]*:")
EOL = re.compile(rb"\r\n|\n|\r")


def header_lines(data, lines, i, least):
    """Whether lines[i:] open a header block of at least `least` fields."""
    count = 0
    for a, b in lines[i:]:
        text = data[a:b].rstrip(b"\r\n")
        if text == b"":
            break
        if HEADER_LINE.match(text):
            count += 1
        elif text[:1] not in (b" ", b"\t") or count == 0:
            return False
        if count >= least:
            return True
    return count >= least


def split_mailbox(data):
    """The messages of a mailbox, split without the converter's help. The
    first line is a separator; so is a 'From ' line that reads like an envelope
    ('From sender weekday month day hh:mm:ss year', 'From -' bare or with a
    date) after an empty line or above a header field, and any other 'From '
    line after an empty line with a block of at least two header fields below
    it (body text like 'From Russia with love' over 'Year: 1963' stays body).
    A message whose Content-Length ends exactly at a separator or at the end
    of the file ends there, whatever its body holds. A file that does not
    start with 'From ' (after a UTF-8 BOM) is one message."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    if not data.startswith(b"From "):
        return [data] if data.strip() else []
    lines = []  # (start, end with the break)
    pos = 0
    for m in EOL.finditer(data):
        lines.append((pos, m.end()))
        pos = m.end()
    if pos < len(data):
        lines.append((pos, len(data)))
    seps = []
    prev_blank = True
    for i, (a, b) in enumerate(lines):
        text = data[a:b].rstrip(b"\r\n")
        if i == 0 or (text.startswith(b"From ") and (
                (ENVELOPE.match(text) and (prev_blank or header_lines(data, lines, i + 1, 1))) or
                (prev_blank and header_lines(data, lines, i + 1, 2)))):
            seps.append(i)
        prev_blank = text == b""
    messages = []
    k = 0
    while k < len(seps):
        first = lines[seps[k]][1] if seps[k] + 1 < len(lines) else len(data)
        first_line = seps[k] + 1
        nxt = k + 1
        # Content-Length: counted from the end of the header block.
        head_end = None
        for j in range(first_line, len(lines)):
            if data[lines[j][0]:lines[j][1]].strip(b"\r\n") == b"":
                head_end = j
                break
        end = lines[seps[nxt]][0] if nxt < len(seps) else len(data)
        if head_end is not None:
            header = data[first:lines[head_end][0]]
            m = re.search(rb"(?im)^Content-Length:[ \t]*(\d+)[ \t]*\r?$", header)
            if m:
                body_end = lines[head_end][1] + int(m.group(1))
                rest = data[body_end:]
                skip = re.match(rb"(?:\r\n|\n|\r)*", rest).end()
                if body_end <= len(data) and (body_end + skip == len(data) or rest[skip:].startswith(b"From ")):
                    target = body_end + skip
                    while nxt < len(seps) and lines[seps[nxt]][0] < target:
                        nxt += 1
                    end = lines[seps[nxt]][0] if nxt < len(seps) else len(data)
        messages.append(data[first:end])
        k = nxt
    return messages


def norm_text(s):
    if s is None:
        return None
    s = s.replace("\r\n", "\n").replace("\r", "\n")
    lines = [l.rstrip() for l in s.split("\n")]
    return "\n".join(lines).strip("\n")


def norm_html(s):
    if s is None:
        return None
    # The stored HTML is re-encoded, so its <meta> charset names the new one.
    s = re.sub(r"(?i)(<meta[^>]*charset=)[\"']?[\w.:-]+", r"\1", s.replace("\x00", ""))
    return re.sub(r"\s+", " ", s).strip()


def norm_subject(s):
    if s is None:
        return ""
    return re.sub(r"\s+", " ", s.replace("\x00", "")).strip()


def norm_addr(a):
    return (a or "").strip().strip("<>").lower()


def norm_name(n):
    n = re.sub(r"\s+", " ", n or "").strip().strip("'\"").strip()
    return n


def person(name, addr):
    """A (name, address) pair as compared. A display name that only repeats
    the address counts as no name: a MAPI row always carries a display name
    and takes the address when the message gives none."""
    name, addr = norm_name(name), norm_addr(addr)
    if name.lower() == addr or name.strip("<>").lower() == addr:
        name = ""
    return name, addr


def safe_header(msg, name):
    try:
        v = msg[name]
    except Exception:
        return None
    return v


def addr_list(msg, name):
    out = set()
    try:
        values = msg.get_all(name) or []
    except Exception:
        return out
    for v in values:
        try:
            for a in v.addresses:
                if a.addr_spec or a.display_name:
                    out.add(person(a.display_name, a.addr_spec))
        except Exception:
            for n, a in email.utils.getaddresses([str(v)]):
                if n or a:
                    out.add(person(n, a))
    return out


def part_text(part):
    try:
        text = part.get_content()
        if "\ufffd" in text:
            # 8-bit text under no or a 7-bit charset: taken as UTF-8 when it is.
            try:
                return part.get_payload(decode=True).decode("utf-8")
            except (UnicodeDecodeError, AttributeError):
                pass
        return text
    except Exception:
        try:
            payload = part.get_payload(decode=True) or b""
            return payload.decode(part.get_content_charset() or "utf-8", "replace")
        except Exception:
            return None


EMBEDDED = b"<embedded message>"


def part_bytes(part):
    try:
        if part.get_content_type() in ("message/rfc822", "message/global"):
            return EMBEDDED
        if part.get_content_maintype() == "message":
            # message/delivery-status and the like: the body as it stands.
            raw = part.as_bytes()
            m = re.search(rb"\r?\n\r?\n", raw)
            return raw[m.end():] if m else b""
        payload = part.get_payload(decode=True)
        return payload if payload is not None else b""
    except Exception:
        return b""


def att_key(name, data):
    return (name or "", len(data), hashlib.md5(data).hexdigest())


def record_from_email(msg, strip_transport=False):
    """The compared fields of an email.message.EmailMessage."""
    rec = {}
    subj = safe_header(msg, "subject")
    rec["subject"] = norm_subject(str(subj) if subj is not None else "")
    frm = addr_list(msg, "from")
    if not frm:
        frm = addr_list(msg, "sender")
    first = sorted(frm)[0] if frm else ("", "")
    if frm:
        try:
            first_hdr = msg["from"].addresses[0]
            first = person(first_hdr.display_name, first_hdr.addr_spec)
        except Exception:
            pass
    rec["from_name"], rec["from_addr"] = first
    rec["to"] = addr_list(msg, "to")
    rec["cc"] = addr_list(msg, "cc")
    rec["date"] = None
    try:
        d = msg["date"]
        dt = d.datetime if d is not None else None
        if dt is not None:
            if dt.tzinfo is None:
                dt = dt.replace(tzinfo=datetime.timezone.utc)
            rec["date"] = int(dt.timestamp())
    except Exception:
        pass
    plain = html = None
    body_parts = set()
    try:
        p = msg.get_body(("plain",))
        if p is not None:
            plain = part_text(p)
            body_parts.add(id(p))
        h = msg.get_body(("html",))
        if h is not None:
            html = part_text(h)
            body_parts.add(id(h))
    except Exception:
        pass
    rec["body"] = norm_text(plain) or ""
    rec["html_present"] = html is not None
    rec["html"] = norm_html(html) if html is not None else None
    atts = []
    try:
        for part in attachments_of(msg, body_parts):
            name = None
            try:
                name = part.get_filename()
            except Exception:
                pass
            data = part_bytes(part)
            atts.append(att_key("<message>" if data == EMBEDDED else name, data))
    except Exception:
        pass
    rec["att_names"] = sorted(a[0] for a in atts)
    rec["att_content"] = sorted(a[1:] for a in atts)
    topic = safe_header(msg, "thread-topic")
    rec["topic"] = norm_subject(str(topic)) if topic is not None else None
    index = safe_header(msg, "thread-index")
    rec["index"] = None
    if index is not None:
        try:
            rec["index"] = base64.b64decode(re.sub(r"\s+", "", str(index)), validate=False).hex()
        except Exception:
            rec["index"] = str(index)
    return rec


def attachments_of(msg, body_parts):
    """Leaf parts that are neither the chosen plain nor HTML body: named
    parts, parts marked attachment, and non-text parts (a message that is
    one image is one attachment); an attached message counts as one."""
    out = []

    def walk(part, top):
        ctype = part.get_content_type()
        if part.is_multipart() and part.get_content_maintype() == "multipart":
            for sub in part.get_payload():
                walk(sub, False)
            return
        if top and part.get_content_maintype() in ("text", ""):
            return
        if id(part) in body_parts:
            return
        disp = (part.get_content_disposition() or "")
        try:
            fname = part.get_filename()
        except Exception:
            fname = None
        if part.get_content_maintype() == "message" or disp == "attachment" or fname or \
                part.get_content_maintype() != "text":
            out.append(part)
        elif ctype not in ("text/plain", "text/html"):
            out.append(part)

    walk(msg, True)
    return out


def parse_email_bytes(data):
    return email.message_from_bytes(data, policy=email.policy.default)


# ---------------------------------------------------------------- the .msg readers

PT_UNICODE, PT_STRING8, PT_BINARY = 0x001F, 0x001E, 0x0102


def decode_cp(raw, cp):
    try:
        return raw.decode("utf-8" if cp == 65001 else "cp%d" % cp, "replace")
    except LookupError:
        return raw.decode("cp1252", "replace")


def ole_str(ole, storage, prop, cp=1252):
    """A string property; 8-bit strings are in the message's code page."""
    for t in (PT_UNICODE, PT_STRING8):
        name = "%s__substg1.0_%04X%04X" % (storage, prop, t)
        if ole.exists(name):
            raw = ole.openstream(name).read()
            if t == PT_UNICODE:
                return raw.decode("utf-16-le", "replace").rstrip("\x00")
            return decode_cp(raw, cp).rstrip("\x00")
    return None


def ole_bin(ole, storage, prop):
    name = "%s__substg1.0_%04X%04X" % (storage, prop, PT_BINARY)
    if ole.exists(name):
        return ole.openstream(name).read()
    return None


def ole_props(ole, storage, header):
    """Fixed-size properties of a property stream: tag -> 8 value bytes."""
    name = storage + "__properties_version1.0"
    if not ole.exists(name):
        return {}
    raw = ole.openstream(name).read()[header:]
    out = {}
    for off in range(0, len(raw) - 15, 16):
        tag = struct.unpack_from("<I", raw, off)[0]
        out[tag] = raw[off + 8:off + 16]
    return out


def filetime_to_epoch(v):
    ft = struct.unpack("<Q", v)[0]
    return ft // 10000000 - 11644473600


def record_from_msg(path):
    ole = olefile.OleFileIO(path)
    try:
        rec = {}
        props = ole_props(ole, "", 32)
        cp = 1252
        for tag in (0x3FFD0003, 0x3FDE0003):  # message code page, Internet code page
            if tag in props:
                cp = struct.unpack("<I", props[tag][:4])[0]
                break
        rec["subject"] = norm_subject(ole_str(ole, "", 0x0037, cp) or "")
        # From: is the represented sender; Sender: (when there is one) the sender.
        name = ole_str(ole, "", 0x0042, cp) or ole_str(ole, "", 0x0C1A, cp) or ""
        addr = ole_str(ole, "", 0x5D02, cp) or ole_str(ole, "", 0x0065, cp) or ole_str(ole, "", 0x5D01, cp) or \
            ole_str(ole, "", 0x0C1F, cp) or ""
        rec["from_name"], rec["from_addr"] = person(name, addr)
        rec["date"] = None
        for tag in (0x00390040, 0x0E060040):
            if tag in props:
                rec["date"] = filetime_to_epoch(props[tag])
                break
        to, cc = set(), set()
        storages = sorted({e[0] for e in ole.listdir() if e and e[0].startswith("__recip_version1.0_#")})
        for st in storages:
            prefix = st + "/"
            rp = ole_props(ole, prefix, 8)
            kind = struct.unpack("<I", rp[0x0C150003][:4])[0] if 0x0C150003 in rp else 1
            name = ole_str(ole, prefix, 0x3001, cp) or ""
            a = ole_str(ole, prefix, 0x39FE, cp) or ole_str(ole, prefix, 0x3003, cp) or ""
            (to if kind == 1 else cc if kind == 2 else set()).add(person(name, a))
        rec["to"], rec["cc"] = to, cc
        body = ole_str(ole, "", 0x1000, cp)
        rec["body"] = norm_text(body) or ""
        html = ole_bin(ole, "", 0x1013)
        html_text = None
        if html is not None:
            hcp = struct.unpack("<I", props[0x3FDE0003][:4])[0] if 0x3FDE0003 in props else 65001
            html_text = decode_cp(html, hcp)
        else:
            html_text = ole_str(ole, "", 0x1013, cp)
        rec["html_present"] = html_text is not None
        rec["html"] = norm_html(html_text) if html_text is not None else None
        atts = []
        astorages = sorted({e[0] for e in ole.listdir() if e and e[0].startswith("__attach_version1.0_#")})
        for st in astorages:
            prefix = st + "/"
            name = ole_str(ole, prefix, 0x3707, cp) or ole_str(ole, prefix, 0x3704, cp) or \
                ole_str(ole, prefix, 0x3001, cp)
            data = ole_bin(ole, prefix, 0x3701)
            if data is None:
                data, name = EMBEDDED, "<message>"
            atts.append(att_key(name, data))
        rec["att_names"] = sorted(a[0] for a in atts)
        rec["att_content"] = sorted(a[1:] for a in atts)
        topic = ole_str(ole, "", 0x0070, cp)
        rec["topic"] = norm_subject(topic) if topic is not None else None
        index = ole_bin(ole, "", 0x0071)
        rec["index"] = index.hex() if index is not None else None
        return rec
    finally:
        ole.close()


# ---------------------------------------------------------------- the .pst readers

def readpst_records(pst, outdir):
    os.makedirs(outdir, exist_ok=True)
    # -j 0: readpst's default forks a writer per folder, and those race for
    # the numbered file names; the same store then reads back with a few
    # messages fewer from one run to the next.
    subprocess.run(["readpst", "-j", "0", "-q", "-e", "-8", "-o", outdir, pst], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=TIMEOUT)
    files = []
    for f in glob.glob(os.path.join(outdir, "**", "*.eml"), recursive=True):
        m = re.match(r"(\d+)\.eml$", os.path.basename(f))
        if m:
            files.append((os.path.dirname(f), int(m.group(1)), f))
    files.sort()
    out = []
    for _, _, f in files:
        with open(f, "rb") as fh:
            out.append(record_from_email(parse_email_bytes(fh.read())))
    return out


def read_kv(path):
    kv = {}
    if not os.path.exists(path):
        return kv
    with open(path, "rb") as fh:
        text = fh.read().decode("utf-8", "replace")
    for line in text.splitlines():
        if ":" in line:
            k, v = line.split(":", 1)
            kv.setdefault(k.strip(), v.strip())
    return kv


def read_text_file(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as fh:
        raw = fh.read()
    if raw.startswith(b"\xef\xbb\xbf"):
        raw = raw[3:]
    return raw.decode("utf-8", "replace")


def pff_date(s):
    # "Dec 07, 2026 17:01:57.000000000 UTC"
    if not s:
        return None
    for fmt in ("%b %d, %Y %H:%M:%S", "%b %d, %Y %H:%M:%S.%f"):
        try:
            core = re.sub(r"\.\d+", "", s.replace(" UTC", "")).strip()
            return int(datetime.datetime.strptime(core, "%b %d, %Y %H:%M:%S")
                       .replace(tzinfo=datetime.timezone.utc).timestamp())
        except ValueError:
            continue
    return None


def pff_recipients(path):
    to, cc = set(), set()
    text = read_text_file(path)
    if text is None:
        return to, cc
    for block in re.split(r"\n\s*\n", text):
        kv = {}
        for line in block.splitlines():
            if ":" in line:
                k, v = line.split(":", 1)
                kv.setdefault(k.strip(), v.strip())
        if not kv:
            continue
        name, addr = person(kv.get("Display name", ""), kv.get("Email address", ""))
        kind = kv.get("Recipient type", "To")
        if not name and not addr:
            continue
        if kind.lower().startswith("cc"):
            cc.add((name, addr))
        elif kind.lower().startswith("to"):
            to.add((name, addr))
    return to, cc


def pffexport_records(pst, outdir):
    subprocess.run(["pffexport", "-q", "-f", "all", "-t", outdir, pst], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=TIMEOUT)
    dirs = []
    for d in glob.glob(os.path.join(outdir + ".export", "**", "Message*"), recursive=True):
        m = re.match(r"Message(\d+)$", os.path.basename(d))
        # Attached messages are exported below their message's Attachments.
        if m and os.path.isdir(d) and "Attachments" not in os.path.relpath(d, outdir + ".export").split(os.sep):
            dirs.append((os.path.dirname(d), int(m.group(1)), d))
    dirs.sort()
    out = []
    for _, _, d in dirs:
        out.append(pff_record(d))
    return out


def pff_record(d):
    rec = {}
    kv = read_kv(os.path.join(d, "OutlookHeaders.txt"))
    rec["subject"] = norm_subject(kv.get("Subject", ""))
    rec["from_name"], rec["from_addr"] = person(
        kv.get("Sent representing name", kv.get("Sender name", "")),
        kv.get("Sent representing email address", kv.get("Sender email address", "")))
    rec["date"] = pff_date(kv.get("Client submit time")) or pff_date(kv.get("Delivery time"))
    rec["to"], rec["cc"] = pff_recipients(os.path.join(d, "Recipients.txt"))
    rec["body"] = norm_text(read_text_file(os.path.join(d, "Message.txt"))) or ""
    html = read_text_file(os.path.join(d, "Message.html"))
    rec["html_present"] = html is not None
    rec["html"] = norm_html(html) if html is not None else None
    atts = []
    adir = os.path.join(d, "Attachments")
    if os.path.isdir(adir):
        for f in sorted(os.listdir(adir)):
            p = os.path.join(adir, f)
            if os.path.isdir(p):
                atts.append(att_key("<message>", EMBEDDED))
                continue
            with open(p, "rb") as fh:
                data = fh.read()
            # pffexport names each file "N_name"
            name = re.sub(r"^\d+_", "", f)
            atts.append(att_key(name, data))
    rec["att_names"] = sorted(a[0] for a in atts)
    rec["att_content"] = sorted(a[1:] for a in atts)
    topic = kv.get("Conversation topic")
    rec["topic"] = norm_subject(topic) if topic is not None else None
    ci = read_text_file(os.path.join(d, "ConversationIndex.txt"))
    rec["index"] = None
    if ci is not None:
        # pffexport shows only the header block decoded: its time and GUID.
        m = re.search(r"GUID:\s*([0-9a-fA-F-]{36})", ci)
        rec["index"] = "guid:" + m.group(1).replace("-", "").lower() if m else None
    return rec


# ---------------------------------------------------------------- the run

def convert(cli, form, src, out):
    os.makedirs(out, exist_ok=True)
    args = [cli, "--to", form] + (["--pst-per-mailbox"] if form == "pst" else []) + ["-o", out, src]
    r = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=TIMEOUT)
    return r.returncode, r.stderr.decode("utf-8", "replace")[-300:]


def msg_number(path):
    m = re.search(r"(\d+)\.(?:msg|eml)$", os.path.basename(path))
    return int(m.group(1)) if m else 0


def read_source(src_id, path, cli, work):
    """Everything for one source file: the source records, and the records
    each reader made of each form."""
    with open(path, "rb") as fh:
        data = fh.read()
    truth = []
    for raw in split_mailbox(data):
        try:
            truth.append(record_from_email(parse_email_bytes(raw)))
        except Exception as e:  # a source the email package cannot read at all
            truth.append({"error": str(e)})
    got = {}
    notes = []
    base = os.path.join(work, "out", src_id)
    # .msg
    out = os.path.join(base, "msg")
    rc, err = convert(cli, "msg", path, out)
    if rc:
        notes.append("msg exit %d: %s" % (rc, err.strip().splitlines()[-1] if err.strip() else ""))
    msgs = sorted(glob.glob(os.path.join(out, "**", "*.msg"), recursive=True), key=msg_number)
    recs = []
    for m in msgs:
        try:
            recs.append(record_from_msg(m))
        except Exception as e:
            recs.append({"error": "olefile: %s" % e})
    got["olefile"] = recs
    recs = []
    if msgs:
        emldir = os.path.join(base, "msgconvert")
        os.makedirs(emldir, exist_ok=True)
        subprocess.run(["msgconvert"] + [os.path.abspath(m) for m in msgs], cwd=emldir,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        for m in msgs:
            e = os.path.join(emldir, os.path.basename(m)[:-4] + ".eml")
            if os.path.exists(e):
                with open(e, "rb") as fh:
                    recs.append(record_from_email(parse_email_bytes(fh.read())))
            else:
                recs.append({"error": "msgconvert wrote nothing"})
    got["msgconvert"] = recs
    # .pst
    out = os.path.join(base, "pst")
    rc, err = convert(cli, "pst", path, out)
    if rc:
        notes.append("pst exit %d: %s" % (rc, err.strip().splitlines()[-1] if err.strip() else ""))
    psts = glob.glob(os.path.join(out, "**", "*.pst"), recursive=True)
    got["readpst"], got["pffexport"] = [], []
    for i, p in enumerate(sorted(psts)):
        try:
            got["readpst"] += readpst_records(p, os.path.join(base, "readpst%d" % i))
        except Exception as e:
            notes.append("readpst: %s" % e)
        try:
            got["pffexport"] += pffexport_records(p, os.path.join(base, "pff%d" % i))
        except Exception as e:
            notes.append("pffexport: %s" % e)
    shutil.rmtree(base, ignore_errors=True)
    return truth, got, notes


def pair_up(truth, recs):
    """The read-back record of each source message. With equal counts they
    pair in order; otherwise by the longest common run of (subject, From), so
    that a message split or joined differently does not shift every later
    one. A source message left without a partner gets None."""
    if len(recs) == len(truth):
        return list(recs)
    key = lambda r: (r.get("subject"), r.get("from_addr"))  # noqa: E731
    matcher = difflib.SequenceMatcher(None, [key(t) for t in truth], [key(r) for r in recs], autojunk=False)
    out = [None] * len(truth)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag in ("equal", "replace"):
            for k in range(min(i2 - i1, j2 - j1)):
                out[i1 + k] = recs[j1 + k]
    return out


def show(v):
    if isinstance(v, set):
        v = sorted(v)
    s = repr(v)
    return s if len(s) <= 200 else s[:197] + "..."


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--corpus", default=os.path.join(REPO, "..", "shared", "corpus"))
    ap.add_argument("--work", default=os.path.join(REPO, "..", "fidelity-work"))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--only", default="", help="only sources whose path contains this text")
    args = ap.parse_args()
    build = args.build if os.path.isabs(args.build) else os.path.join(os.getcwd(), args.build)
    cli = os.path.join(build, "cli", "vellary-convert")
    if not os.access(cli, os.X_OK):
        sys.exit("fidelity: no converter at %s (build the vellary-convert target)" % cli)
    corpus = os.path.abspath(args.corpus)
    work = os.path.abspath(args.work)
    if work == REPO or work.startswith(REPO + os.sep):
        sys.exit("fidelity: the work folder must be outside the repository")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    sources = sorted(glob.glob(os.path.join(corpus, "mbox", "*"))) + \
        sorted(f for f in glob.glob(os.path.join(corpus, "messages", "**", "*"), recursive=True)
               if os.path.isfile(f))
    sources = [s for s in sources if args.only in s]
    started = time.time()
    results = {}
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futs = {pool.submit(read_source, "s%04d" % i, s, cli, work): s for i, s in enumerate(sources)}
        for n, f in enumerate(concurrent.futures.as_completed(futs), 1):
            s = futs[f]
            try:
                results[s] = f.result()
            except Exception as e:
                results[s] = ([], {r: [] for f_ in READERS.values() for r in f_}, ["crashed: %s" % e])
            if n % 100 == 0:
                print("fidelity: %d/%d sources, %.0f s" % (n, len(sources), time.time() - started),
                      file=sys.stderr)

    readers = [r for form in ("pst", "msg") for r in READERS[form]]
    other_same_form = {"readpst": "pffexport", "pffexport": "readpst",
                       "olefile": "msgconvert", "msgconvert": "olefile"}
    other_form = {"readpst": ("olefile", "msgconvert"), "pffexport": ("olefile", "msgconvert"),
                  "olefile": ("readpst", "pffexport"), "msgconvert": ("readpst", "pffexport")}
    tally = {(f, r): [0, 0] for f in FIELDS for r in readers}  # matched, compared
    faults = {(f, r): 0 for f in FIELDS for r in readers}
    rows = []
    for src in sorted(results):
        truth, got, notes = results[src]
        rel = os.path.relpath(src, corpus)
        for note in notes:
            rows.append((rel, "-", "run", "-", "", note, "note"))
        for r in readers:
            tally[("count", r)][1] += 1
            if len(got.get(r, [])) == len(truth):
                tally[("count", r)][0] += 1
            else:
                rows.append((rel, "-", "count", r, str(len(truth)), str(len(got.get(r, []))), "mismatch"))
        paired = {r: pair_up(truth, got.get(r, [])) for r in readers}
        for i, t in enumerate(truth):
            if "error" in t:
                continue
            for field in FIELDS[1:]:
                expected = t[field]
                if field in ("topic", "index", "date") and expected is None:
                    continue
                if field == "html" and expected is None:
                    continue
                agree = {}
                for r in readers:
                    rec = paired[r][i]
                    want = expected
                    if field == "index" and r == "pffexport":
                        want = "guid:" + expected[12:44]
                    if rec is None or "error" in rec:
                        agree[r] = (False, rec.get("error") if rec else "missing")
                    else:
                        agree[r] = (rec.get(field) == want, rec.get(field))
                for r in readers:
                    ok, value = agree[r]
                    tally[(field, r)][1] += 1
                    if ok:
                        tally[(field, r)][0] += 1
                        continue
                    # A reader is at fault when the other reader of its form and a
                    # reader of the other form see the source's value and no other
                    # reader sees the same wrong one (two readers seeing one wrong
                    # value means the value is in the file).
                    verdict = "mismatch"
                    same_wrong = any(not agree[o][0] and agree[o][1] == value for o in readers if o != r)
                    if agree[other_same_form[r]][0] and any(agree[o][0] for o in other_form[r]) \
                            and not same_wrong:
                        verdict = "reader fault"
                        faults[(field, r)] += 1
                    rows.append((rel, str(i + 1), field, r, show(expected), show(value), verdict))

    with open(os.path.join(work, "mismatches.tsv"), "w") as fh:
        fh.write("file\tmessage\tfield\treader\texpected\tgot\tverdict\n")
        for row in rows:
            fh.write("\t".join(c.replace("\t", " ").replace("\n", "\\n") for c in row) + "\n")
    msgs = sum(len(results[s][0]) for s in results)
    lines = ["# Fidelity of the .pst and .msg forms", "",
             "%d sources (%d messages as the fidelity script splits them), %.0f s." %
             (len(results), msgs, time.time() - started), "",
             "Share of compared values that match the source (reader faults in brackets:",
             "the other reader of the form and a reader of the other form agree with the source).", "",
             "| field | " + " | ".join(readers) + " | compared |",
             "|---|" + "---:|" * len(readers) + "---:|"]
    for f in FIELDS:
        cells = []
        for r in readers:
            m, n = tally[(f, r)]
            cell = "%.1f%%" % (100.0 * m / n) if n else "-"
            if faults[(f, r)]:
                cell += " (%d)" % faults[(f, r)]
            cells.append(cell)
        lines.append("| %s | %s | %d |" % (f, " | ".join(cells), tally[(f, readers[0])][1]))
    verdicts = collections.Counter(r[6] for r in rows)
    lines += ["", "Mismatch rows: %s. List: %s" %
              (", ".join("%s %d" % kv for kv in sorted(verdicts.items())),
               os.path.join(work, "mismatches.tsv"))]
    per_file = collections.Counter(r[0] for r in rows if r[6] == "mismatch")
    if per_file:
        lines += ["", "Files with the most mismatches:", "", "| file | mismatches | fields |", "|---|---:|---|"]
        for name, n in per_file.most_common(20):
            fields = collections.Counter(r[2] for r in rows if r[0] == name and r[6] == "mismatch")
            lines.append("| %s | %d | %s |" % (name, n, ", ".join(f for f, _ in fields.most_common())))
    report = "\n".join(lines) + "\n"
    with open(os.path.join(work, "report.md"), "w") as fh:
        fh.write(report)
    print(report)


if __name__ == "__main__":
    main()
