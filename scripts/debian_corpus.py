#!/usr/bin/env python3
"""Builds a labelled corpus from the Debian package descriptions of this machine.

Each package becomes one example: its section (without the archive area, so
"contrib/net" counts as "net"), a tab, and its description, lower-cased with
everything but letters, digits and '+' turned into blanks. Only the most
frequent sections are kept, each capped so that no class swamps the others.
About one package in ten, chosen by a hash of its name, is held out for
testing. The output depends only on the package list it is built from.

The packages come from `apt-cache dumpavail` (every package the apt lists
know) when that lists enough of them, else from /var/lib/dpkg/status (the
installed packages), which every Debian system has.
"""
import argparse
import collections
import hashlib
import os
import re
import subprocess
import sys

DPKG_STATUS = "/var/lib/dpkg/status"


def records(text):
    """Yields the fields (name to value) of each stanza of a control file."""
    fields, key = {}, None
    for line in text.splitlines():
        if not line.strip():
            if fields:
                yield fields
            fields, key = {}, None
        elif line[0] in " \t" and key:
            fields[key] += "\n" + line[1:]
        elif ":" in line:
            key, value = line.split(":", 1)
            fields[key] = value.strip()
    if fields:
        yield fields


def package_text(source):
    if source == "apt":
        try:
            return subprocess.run(["apt-cache", "dumpavail"], capture_output=True,
                                  text=True, errors="replace", check=True).stdout
        except (OSError, subprocess.CalledProcessError):
            return ""
    with open(DPKG_STATUS, encoding="utf-8", errors="replace") as f:
        return f.read()


def packages(source):
    """Package name to (section, description), first stanza of a name winning."""
    found = {}
    for r in records(package_text(source)):
        name, section, desc = r.get("Package"), r.get("Section"), r.get("Description")
        if name and section and desc and name not in found:
            body = "\n".join(l for l in desc.split("\n") if l.strip() != ".")
            found[name] = (section.split("/")[-1], body)
    return found


def normalise(text):
    return " ".join(re.sub(r"[^a-z0-9+]+", " ", text.lower()).split())


def bucket(name):
    """A number in 0..9999 fixed by the package name."""
    return int(hashlib.sha1(name.encode()).hexdigest()[:8], 16) % 10000


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True, help="directory for train.txt and heldout.txt")
    ap.add_argument("--sections", type=int, default=12, help="number of sections kept")
    ap.add_argument("--cap", type=int, default=1500, help="most packages per section")
    ap.add_argument("--min-packages", type=int, default=2000,
                    help="fewest apt packages before falling back to the dpkg status")
    args = ap.parse_args()

    source = "apt"
    pkgs = packages("apt")
    if len(pkgs) < args.min_packages:
        source, pkgs = DPKG_STATUS, packages("dpkg")
    by_section = collections.defaultdict(list)
    for name in sorted(pkgs):
        section, desc = pkgs[name]
        text = normalise(desc)
        if text:
            by_section[section].append((name, text))
    ranked = sorted(by_section, key=lambda s: (-len(by_section[s]), s))[:args.sections]
    if len(ranked) < 2:
        sys.exit("debian_corpus.py: fewer than two sections in " + source)

    os.makedirs(args.out, exist_ok=True)
    counts = {"train": 0, "heldout": 0}
    with open(os.path.join(args.out, "train.txt"), "w") as train, \
            open(os.path.join(args.out, "heldout.txt"), "w") as held:
        for section in sorted(ranked):
            chosen = sorted(by_section[section], key=lambda p: (bucket(p[0]), p[0]))[:args.cap]
            for name, text in sorted(chosen):
                part = "heldout" if bucket(name) % 10 == 0 else "train"
                (held if part == "heldout" else train).write(section + "\t" + text + "\n")
                counts[part] += 1
    print("corpus: %d training and %d held-out descriptions in %d sections, from %s"
          % (counts["train"], counts["heldout"], len(ranked),
             "apt-cache dumpavail" if source == "apt" else source))


if __name__ == "__main__":
    main()
