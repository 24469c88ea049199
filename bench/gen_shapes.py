#!/usr/bin/env python3
"""Writes a mailbox of one message of an awkward shape, for the memory benchmark.

    gen_shapes.py OUT.mbox SHAPE [SIZE]

Shapes (SIZE in the unit given):
  attachment MB    one base64 attachment of about MB megabytes of message text
  subject MB       a folded Subject of MB megabytes
  to-bare MB       a folded To: of bare addresses, MB megabytes long
  to-named COUNT   a To: of COUNT named addresses ("Person N <person.N@...>")
  nested LEVELS    LEVELS nested multipart/alternative parts around one text
"""
import argparse
import base64
import random

HEAD = ("From sender@example.org Mon Jan  1 10:00:00 2024\n"
        "From: Sender <sender@example.org>\n"
        "Date: Mon, 1 Jan 2024 10:00:00 +0000\n"
        "Message-ID: <shape@example.org>\n"
        "MIME-Version: 1.0\n")


def folded(f, name, items, sep):
    """Writes a header field of `items`, folded before a line passes 76 characters."""
    line, first = name + ":", True
    for item in items:
        if not first:
            line += sep
        piece = " " + item
        if len(line) + len(piece) > 76 and not first:
            f.write(line + "\n")
            line = ""
        line += piece
        first = False
    f.write(line + "\n")


def numbered(fmt, megabytes, sep):
    """Items until they, their separators and blanks fill `megabytes`."""
    total, n = 0, 0
    while total < megabytes * 1024 * 1024:
        item = fmt.format(n)
        yield item
        total += len(item) + len(sep) + 1
        n += 1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("shape", choices=["attachment", "subject", "to-bare", "to-named", "nested"])
    ap.add_argument("size", type=float)
    a = ap.parse_args()
    rng = random.Random(7)
    with open(a.out, "w", encoding="ascii", newline="") as f:
        f.write(HEAD)
        if a.shape == "attachment":
            f.write("To: Someone <someone@example.com>\nSubject: one big attachment\n"
                    "Content-Type: multipart/mixed; boundary=\"=_b\"\n\n"
                    "--=_b\nContent-Type: text/plain; charset=utf-8\n\nThe file is attached.\n"
                    "--=_b\nContent-Type: application/octet-stream; name=\"big.bin\"\n"
                    "Content-Disposition: attachment; filename=\"big.bin\"\n"
                    "Content-Transfer-Encoding: base64\n\n")
            text = base64.b64encode(rng.randbytes(57 * 1000)).decode("ascii")
            chunk = "\n".join(text[i:i + 76] for i in range(0, len(text), 76)) + "\n"
            written = 0
            while written < a.size * 1024 * 1024:
                f.write(chunk)
                written += len(chunk)
            f.write("--=_b--\n")
            return
        if a.shape == "nested":
            levels = int(a.size)
            f.write("To: Someone <someone@example.com>\nSubject: nested alternatives\n")
            for i in range(levels):
                f.write(f"Content-Type: multipart/alternative; boundary=\"=_{i}\"\n\n--=_{i}\n")
            f.write("Content-Type: text/plain; charset=us-ascii\n\nThe innermost text.\n")
            for i in reversed(range(levels)):
                f.write(f"--=_{i}--\n")
            return
        if a.shape == "subject":
            f.write("To: Someone <someone@example.com>\n")
            folded(f, "Subject", numbered("word{}", a.size, ""), "")
        elif a.shape == "to-bare":
            folded(f, "To", numbered("person.{}@example.com", a.size, ","), ",")
            f.write("Subject: many bare addresses\n")
        else:
            count = int(a.size)
            folded(f, "To", (f"Person {n} <person.{n}@example.com>" for n in range(count)), ",")
            f.write("Subject: many named addresses\n")
        f.write("Content-Type: text/plain; charset=us-ascii\n\nA short body.\n")


if __name__ == "__main__":
    main()
