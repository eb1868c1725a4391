"""The five menu packages: deterministic ZIP archives built from a recipe on first use.

Each holds a folder tree, many small stored files, some deflated text files (a few with Chinese
names, so the UTF-8 name flag is exercised), a few empty files and folders, and large stored
files that make up the rest of its size.

Two more packages, not on the menu, measure the extraction of many files: "game" (1500 small
files of 2 to 60 KB across 40 folders, a third of them deflated text, and six large assets:
about 105 MB, the shape of a game's install) and "files100k" (100 000 files of 100 bytes to 2 KB
in 500 folders: the count, not the size, is what it tests)."""
import random
import threading
import zlib

import content_pool
from zip_layout import Entry, ZipLayout

MiB = 1 << 20
GiB = 1 << 30

# name -> (total size aimed at, sizes of large files that must be there)
RECIPES = {
    "155M": (155 * MiB, []),
    "220M": (220 * MiB, []),
    "480M": (480 * MiB, []),
    "1.7G": (1700 * MiB, [1536 * MiB]),
    "60G": (60 * GiB, [5 * GiB]),             # one entry needs ZIP64 sizes
}

# Test packages beside the menu's: name -> the stored entries (name, size) they hold, no more.
# One entry past 4 GiB in a ZIP needs ZIP64 sizes, and its body passes Wine's 2 GiB limit twice.
SINGLE_ENTRY = {
    "stored-4.6G": [("big/stored_4.6G.bin", 4_600_000_000)],
}

_FOLDERS = ["bin/", "data/", "data/maps/", "data/sounds/", "资源/", "资源/贴图/", "游戏数据/",
            "empty/", "docs/"]
_TEXT_NAMES = ["说明.txt", "更新日志.txt", "docs/readme.txt", "docs/licence.txt"]


def _text(rng: random.Random, size: int, topic: str) -> bytes:
    words = ["资源", "版本", "config", "value", "enabled", "texture", "地图", "sound", "level",
             "true", "false", "路径"]
    lines, total = [], 0
    number = 0
    while total < size:
        line = f"{topic}.{number:05d} = {rng.choice(words)} {rng.choice(words)} {rng.randrange(1000)}\n"
        lines.append(line)
        total += len(line.encode("utf-8"))
        number += 1
    return "".join(lines).encode("utf-8")[:size]


def _deflated_entry(name: str, data: bytes, level: int = 6) -> Entry:
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    return Entry(name, len(data), zlib.crc32(data), deflated=compressor.compress(data) +
                 compressor.flush())


def _stored_entry(rng: random.Random, name: str, size: int) -> Entry:
    start = rng.randrange(content_pool.POOL_SIZE)
    return Entry(name, size, content_pool.crc_of_run(start, size), pool_start=start)


def build_entries(name: str):
    target, required_large = RECIPES[name]
    rng = random.Random(f"package {name}")
    entries = [Entry(folder) for folder in _FOLDERS]
    used = 0

    text_count = 48
    for i in range(text_count):
        file_name = _TEXT_NAMES[i] if i < len(_TEXT_NAMES) else f"data/config_{i:03d}.ini"
        entry = _deflated_entry(file_name, _text(rng, rng.randrange(2_000, 200_000), f"k{i}"))
        entries.append(entry)
        used += len(entry.deflated)
    entries.append(Entry("data/empty.dat"))
    entries.append(Entry("资源/空文件.bin"))

    small_total = min(target // 5, 200 * MiB)
    small_folders = ["data/maps/", "data/sounds/", "资源/贴图/", "bin/"]
    i = 0
    while used < small_total:
        size = rng.randrange(1, 96 * 1024)
        folder = small_folders[i % len(small_folders)]
        suffix = "贴图" if folder == "资源/贴图/" else "part"
        entries.append(_stored_entry(rng, f"{folder}{suffix}_{i:05d}.bin", size))
        used += size
        i += 1

    for j, size in enumerate(required_large):
        entries.append(_stored_entry(rng, f"游戏数据/big_{j}.pak", size))
        used += size
    j = 0
    remaining = target - used
    while remaining > 0:
        size = min(remaining, rng.randrange(8 * MiB, 64 * MiB) if target < 4 * GiB
                   else rng.randrange(256 * MiB, 1024 * MiB))
        entries.append(_stored_entry(rng, f"data/archive_{j:03d}.pak", size))
        remaining -= size
        j += 1
    return entries


def _game_entries(rng: random.Random):
    folders = [f"{area}/{kind}_{n:02d}/" for area, kinds in
               (("assets", ("textures", "models", "sounds", "levels")),
                ("data", ("scripts", "config", "locale", "ui")),
                ("资源", ("贴图", "音效")))
               for kind in kinds for n in range(4)][:40]
    entries = [Entry(folder) for folder in folders]
    # One block of text, cut at different places: generating 500 texts line by line would
    # hold up the first request for seconds.
    text = _text(rng, 256 * 1024, "game")
    used = 0
    for i in range(1500):
        folder = folders[i % len(folders)]
        size = rng.randrange(2 * 1024, 60 * 1024)
        if i % 3 == 0:
            start = rng.randrange(len(text) - size)
            entry = _deflated_entry(f"{folder}text_{i:04d}.cfg", text[start:start + size],
                                    level=1)
            used += len(entry.deflated)
        else:
            entry = _stored_entry(rng, f"{folder}asset_{i:04d}.bin", size)
            used += size
        entries.append(entry)
    large = (105_000_000 - used) // 6
    for j in range(6):
        entries.append(_stored_entry(rng, f"assets/pack_{j}.pak", large))
    return entries


def _many_files_entries(rng: random.Random, count: int, folder_count: int):
    folders = [f"set_{n // 25:02d}/group_{n % 25:02d}/" for n in range(folder_count)]
    entries = [Entry(folder) for folder in folders]
    for i in range(count):
        entries.append(_stored_entry(rng, f"{folders[i % folder_count]}f_{i:06d}.dat",
                                     rng.randrange(100, 2048)))
    return entries


# Built on first use only: not on the menu, and the server need not build them at start.
EXTRA_RECIPES = {
    "game": _game_entries,
    "files100k": lambda rng: _many_files_entries(rng, 100_000, 500),
}


def build_extra_entries(name: str):
    return EXTRA_RECIPES[name](random.Random(f"package {name}"))


def build_single_entry(name: str):
    rng = random.Random(f"package {name}")
    return [_stored_entry(rng, entry_name, size) for entry_name, size in SINGLE_ENTRY[name]]


class Catalogue:
    """Packages by name, each built once on first use (thread-safe)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._built = {}

    def names(self):
        """The menu's packages (built when the server starts)."""
        return list(RECIPES)

    def get(self, name: str) -> ZipLayout | None:
        if name in RECIPES:
            build = build_entries
        elif name in EXTRA_RECIPES:
            build = build_extra_entries
        elif name in SINGLE_ENTRY:
            build = build_single_entry
        else:
            return None
        with self._lock:
            if name not in self._built:
                self._built[name] = ZipLayout(build(name))
            return self._built[name]
