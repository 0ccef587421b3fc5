#!/usr/bin/env python3
"""Seed corpora for the fuzz targets: the real Paradox samples, a generated
version 5 archive and the hand-made seeds in fuzz/seeds/.

Usage: fuzz_seeds.py CORPUS_DIR SAMPLES_DIR GENERATED_ARCHIVE_DIR
Each target gets CORPUS_DIR/<target>/ with its seed files (existing files,
which earlier runs found, are kept)."""
import hashlib
import os
import struct
import sys
from pathlib import Path

MAX_SEED = 256 * 1024
ROOT = Path(__file__).resolve().parent.parent


def put(corpus: Path, target: str, data: bytes) -> None:
    if not data or len(data) > MAX_SEED:
        return
    folder = corpus / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / ("seed-" + hashlib.sha1(data).hexdigest())).write_bytes(data)


def tables(folder: Path):
    """Pairs (table bytes, memo bytes) of every .DB below folder."""
    for db in sorted(folder.rglob("*")):
        if db.suffix.lower() != ".db" or not db.is_file():
            continue
        memo = b""
        for mb in db.parent.iterdir():
            if mb.stem.lower() == db.stem.lower() and mb.suffix.lower() == ".mb":
                memo = mb.read_bytes()
        yield db.read_bytes(), memo


def main() -> int:
    corpus, samples, generated = (Path(a) for a in sys.argv[1:4])
    for source in (samples, generated):
        if source.is_dir():
            for table, memo in tables(source):
                if len(table) + len(memo) > MAX_SEED:
                    memo = b""
                put(corpus, "paradox_fuzz", struct.pack("<I", len(table)) + table + memo)
    if generated.is_dir():
        for f in sorted(generated.rglob("*")) + sorted(generated.parent.glob("*.itm")):
            name = f.name.lower()
            if name.endswith(".fld"):
                put(corpus, "ini_fuzz", f.read_bytes())
            elif name.endswith(".itm") or name.endswith(".lay"):
                put(corpus, "side_files_fuzz", f.read_bytes())
    for folder in (ROOT / "fuzz" / "seeds").iterdir():
        for f in sorted(folder.iterdir()):
            put(corpus, folder.name + "_fuzz", f.read_bytes())
    for f in sorted((ROOT / "tests" / "fixtures").rglob("*")):
        if f.suffix.lower() in (".rtf", ".htm", ".html") and f.is_file():
            put(corpus, ("rtf" if f.suffix.lower() == ".rtf" else "html") + "_fuzz", f.read_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
