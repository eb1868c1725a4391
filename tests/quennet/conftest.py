"""Fixtures of the Quennet.dll tests: one package server per module serving a folder of
generated archives, scratch folders removed after each test, and the driver that runs the real
DLL under Wine and hands back its JSON lines."""
import io
import json
import random
import shutil
import tarfile
import tempfile
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from package_server import running_server, trust_ca_in_prefix
from winproc import BUILD_DIR, BIN_DIR, run, winpath

DRIVER = BUILD_DIR / "tests" / "bin" / "quennet_driver.exe"
DLL = BIN_DIR / "Quennet.dll"


def package_contents(seed: int) -> dict:
    """Files of a test package: incompressible and compressible data, a folder, a Chinese
    name, an empty file; large enough that the body takes many reads after its tail."""
    rng = random.Random(seed)
    return {
        "readme.txt": b"Quennet test package\r\n" * 40,
        "data/random.bin": rng.randbytes(1_500_000),
        "data/words.txt": " ".join(rng.choice(["alpha", "beta", "gamma"]) for _ in range(90_000)).encode(),
        "data/empty.dat": b"",
        "游戏/存档.txt": "中文内容".encode("utf-8") * 500,
    }


# Smaller than the first tail request: its answer is the whole package.
TINY = {"a.txt": b"hello", "b/c.txt": b"x" * 1000}


def write_zip(path: Path, contents: dict):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in contents.items():
            method = zipfile.ZIP_STORED if name.endswith(".bin") else zipfile.ZIP_DEFLATED
            archive.writestr(name, data, compress_type=method)


def write_tar_gz(path: Path, contents: dict):
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for name, data in contents.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))


@dataclass
class Served:
    folder: Path
    contents: dict = field(default_factory=dict)

    def bytes_of(self, name) -> bytes:
        return (self.folder / name).read_bytes()


@pytest.fixture(scope="module")
def served():
    folder = Path(tempfile.mkdtemp(prefix="quennet-served."))
    try:
        contents = package_contents(7)
        write_zip(folder / "small.zip", contents)
        write_tar_gz(folder / "small.tar.gz", contents)
        (folder / "not-an-archive.bin").write_bytes(b"\x00" * 100_000)
        write_zip(folder / "tiny.zip", TINY)
        yield Served(folder, contents)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def server(served):
    trust_ca_in_prefix()
    with running_server(files_dir=served.folder) as started:
        yield started


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="quennet-test."))
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@dataclass
class DriverRun:
    exit_code: int | None
    events: list
    stderr: str

    def of(self, kind) -> list:
        return [e for e in self.events if e["event"] == kind]

    def one(self, kind) -> dict:
        found = self.of(kind)
        assert len(found) == 1, (kind, self.events)
        return found[0]

    @property
    def completions(self) -> list:
        return self.of("complete")


# The library keeps trying for a minute after losing the server; tests that are not about that
# budget give it a second and a half.
TEST_RETRY_BUDGET = {"QUENNET_TEST_RETRY_BUDGET_MS": "1500"}


def run_driver(*args, timeout=120, env=None) -> DriverRun:
    outcome = run(DRIVER, winpath(DLL), *args, timeout=timeout, env={**TEST_RETRY_BUDGET, **(env or {})})
    events = [json.loads(line) for line in outcome.stdout.decode().splitlines() if line.startswith("{")]
    return DriverRun(outcome.exit_code, events, outcome.stderr.decode(errors="replace"))


def run_task(url, download_dir, extract_dir, attempts=1, flags=0, **options) -> DriverRun:
    timeout = options.pop("timeout", 120)
    env = options.pop("env", None)
    extra = [f"{key}={value}" for key, value in options.items()]
    as_argument = lambda folder: "-null" if folder is None else winpath(folder)
    result = run_driver("task", "-null" if url is None else url, as_argument(download_dir),
                        as_argument(extract_dir), str(attempts), str(flags), *extra,
                        timeout=timeout, env=env)
    assert result.exit_code == 0, (result.exit_code, result.events, result.stderr)
    assert not result.of("violation"), result.events
    assert result.events[-1]["event"] == "alive", result.events
    return result


def tree_of(folder: Path) -> dict:
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}
