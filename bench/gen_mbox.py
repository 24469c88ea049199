#!/usr/bin/env python3
"""Writes a realistic generated mailbox for the benchmarks.

    gen_mbox.py OUT.mbox SIZE_MB [--crlf] [--seed N]
    gen_mbox.py OUT.mbox --one-message SIZE_MB [--crlf]

Messages of a few KB to a few hundred KB: text bodies, some HTML
alternatives and base64 attachments, mixed header sets, non-ASCII subjects.
"""
import argparse
import base64
import random


def wrap64(data):
    text = base64.b64encode(data).decode("ascii")
    return "\n".join(text[i:i + 76] for i in range(0, len(text), 76))


WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor "
         "incididunt ut labore et dolore magna aliqua Ut enim ad minim veniam quis nostrud "
         "exercitation ullamco laboris nisi aliquip ex ea commodo consequat").split()


def paragraph(rng, words):
    line, lines = [], []
    for _ in range(words):
        line.append(rng.choice(WORDS))
        if len(" ".join(line)) > 70:
            lines.append(" ".join(line))
            line = []
    lines.append(" ".join(line))
    return "\n".join(lines)


def message(rng, n):
    sender = f"user{rng.randrange(500)}@example{rng.randrange(20)}.org"
    to = f"person{rng.randrange(500)}@example.com"
    subject = rng.choice(["Meeting notes", "Re: quarterly report", "=?UTF-8?B?w5xiZXJzaWNodCDinJM=?=",
                          "Invoice " + str(n), "Fwd: photos"])
    day = 1 + n % 28
    head = (f"From {sender} Mon Jan {day:2d} 10:{n % 60:02d}:00 2024\n"
            f"Return-Path: <{sender}>\n"
            f"Received: from mx{n % 7}.example.org by mail.example.com; Mon, {day} Jan 2024 10:00:00 +0000\n"
            f"From: Sender {n} <{sender}>\nTo: {to}\nSubject: {subject}\n"
            f"Date: Mon, {day} Jan 2024 10:{n % 60:02d}:00 +0000\n"
            f"Message-ID: <{n}.{rng.randrange(10**9)}@example.org>\nMIME-Version: 1.0\n")
    body = paragraph(rng, rng.randrange(50, 800))
    kind = rng.random()
    if kind < 0.55:
        return head + "Content-Type: text/plain; charset=utf-8\n\n" + body + "\n"
    boundary = f"=_b{n}"
    parts = [f"--{boundary}\nContent-Type: text/plain; charset=utf-8\n\n{body}\n"]
    if kind < 0.7:
        parts.append(f"--{boundary}\nContent-Type: text/html; charset=utf-8\n\n<html><body><p>"
                     + body.replace("\n", "</p><p>") + "</p></body></html>\n")
        ctype = "multipart/alternative"
    else:
        size = int(rng.choice([2, 8, 30, 60, 120, 250]) * 1024 * rng.uniform(0.5, 1.2))
        data = rng.randbytes(size)
        parts.append(f"--{boundary}\nContent-Type: application/octet-stream; name=\"file{n}.bin\"\n"
                     f"Content-Disposition: attachment; filename=\"file{n}.bin\"\n"
                     f"Content-Transfer-Encoding: base64\n\n{wrap64(data)}\n")
        ctype = "multipart/mixed"
    return (head + f"Content-Type: {ctype}; boundary=\"{boundary}\"\n\n"
            + "".join(parts) + f"--{boundary}--\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("size_mb", nargs="?", type=float, default=150)
    ap.add_argument("--crlf", action="store_true")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--one-message", type=float, metavar="MB")
    a = ap.parse_args()
    rng = random.Random(a.seed)
    eol = "\r\n" if a.crlf else "\n"
    with open(a.out, "w", encoding="utf-8", newline="") as f:
        if a.one_message:
            head = message(rng, 1).split("\nMIME-Version")[0]
            f.write((head + "\nMIME-Version: 1.0\nContent-Type: application/octet-stream\n"
                     "Content-Transfer-Encoding: base64\n\n").replace("\n", eol))
            chunk = wrap64(rng.randbytes(57 * 1000)).replace("\n", eol) + eol
            written = 0
            while written < a.one_message * 1024 * 1024:
                f.write(chunk)
                written += len(chunk)
            return
        total, n = 0, 0
        while total < a.size_mb * 1024 * 1024:
            n += 1
            text = message(rng, n).replace("\n", eol)
            f.write(text)
            total += len(text)


if __name__ == "__main__":
    main()
