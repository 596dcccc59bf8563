#!/usr/bin/python3
"""Writes damaged and hostile UMB archives made from models/coin2_K4, for
measuring how iicheck reads them (host/README.md, "Input"):

  crc.umb.gz      the CRC of the gzip trailer is wrong (gzip -t refuses it)
  duplicate.umb   branch-to-target.bin twice, the second copy different
  init.umb        a label "init" that marks other states than state-is-initial.bin
  keys.umb.gz     index.json with 100000 more keys in "model-data"
  labels.umb.gz   100000 labels, each with its bitset
  spaces.umb.gz   index.json padded with 2 GiB of spaces (a 2 MB file)
  stalled.umb     the first 20 KiB of coin2_K4.umb, for a pipe that stalls

Usage: scripts/hostile-archives.py OUTPUT_FOLDER [--no-spaces]
"""
import gzip
import io
import json
import os
import sys
import tarfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL = os.path.join(ROOT, "models", "coin2_K4", "coin2_K4.umb")


def members():
    with tarfile.open(MODEL) as archive:
        return [(m.name, archive.extractfile(m).read()) for m in archive.getmembers()]


def tar(entries, out, fileobj=None):
    with tarfile.open(out, "w", fileobj=fileobj, format=tarfile.USTAR_FORMAT) as archive:
        for name, data in entries:
            info = tarfile.TarInfo(name)
            if isinstance(data, int):  # a member of that many spaces, streamed
                info.size = data
                archive.addfile(info, Spaces(data))
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))


class Spaces:
    def __init__(self, count):
        self.left = count

    def read(self, size=-1):
        size = self.left if size < 0 else min(size, self.left)
        self.left -= size
        return b" " * size


def gz(path, entries):
    with gzip.open(path, "wb", compresslevel=9) as out:
        tar(entries, None, fileobj=out)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    base = members()
    index = json.loads(dict(base)["index.json"])
    states = index["transition-system"]["#states"]
    words = (states + 63) // 64

    gz(os.path.join(folder, "crc.umb.gz"), base)
    with open(os.path.join(folder, "crc.umb.gz"), "r+b") as f:
        f.seek(-8, os.SEEK_END)
        byte = f.read(1)
        f.seek(-8, os.SEEK_END)
        f.write(bytes([byte[0] ^ 1]))

    targets = dict(base)["branch-to-target.bin"]
    tar(base + [("./branch-to-target.bin", bytes(len(targets)))], os.path.join(folder, "duplicate.umb"))

    with_init = json.loads(json.dumps(index))
    with_init["annotations"]["aps"]["init"] = {
        "alias": "init", "applies-to": ["states"], "type": {"type": "bool", "size": 1}}
    init_bits = (2).to_bytes(8, "little") + bytes(8 * (words - 1))  # state 1, not state 0
    tar([("index.json", json.dumps(with_init, indent=2).encode())] + base[1:] +
        [("annotations/aps/init/states/values.bin", init_bits)], os.path.join(folder, "init.umb"))

    keys = json.loads(json.dumps(index))
    keys["model-data"] = {"k%d" % i: i for i in range(100000)}
    gz(os.path.join(folder, "keys.umb.gz"), [("index.json", json.dumps(keys).encode())] + base[1:])

    labels = json.loads(json.dumps(index))
    extra = []
    for i in range(100000):
        labels["annotations"]["aps"]["l%d" % i] = {
            "alias": "l%d" % i, "applies-to": ["states"], "type": {"type": "bool", "size": 1}}
        extra.append(("annotations/aps/l%d/states/values.bin" % i, bytes(8 * words)))
    gz(os.path.join(folder, "labels.umb.gz"), [("index.json", json.dumps(labels).encode())] + base[1:] + extra)

    if "--no-spaces" not in sys.argv:
        text = json.dumps(index).encode()
        padding = 2 << 30
        tar_entries = [("index.json", len(text) + padding)] + base[1:]
        with gzip.open(os.path.join(folder, "spaces.umb.gz"), "wb", compresslevel=9) as out:
            with tarfile.open(None, "w", fileobj=out, format=tarfile.GNU_FORMAT) as archive:
                for name, data in tar_entries:
                    info = tarfile.TarInfo(name)
                    if isinstance(data, int):
                        info.size = data
                        archive.addfile(info, Prefixed(text, padding))
                    else:
                        info.size = len(data)
                        archive.addfile(info, io.BytesIO(data))

    with open(MODEL, "rb") as f:
        head = f.read(20 * 1024)
    with open(os.path.join(folder, "stalled.umb"), "wb") as f:
        f.write(head)


class Prefixed:
    """The index's text followed by that many spaces."""

    def __init__(self, text, spaces):
        self.text = text
        self.spaces = Spaces(spaces)

    def read(self, size):
        part, self.text = self.text[:size], self.text[size:]
        return part + self.spaces.read(size - len(part))


if __name__ == "__main__":
    main()
