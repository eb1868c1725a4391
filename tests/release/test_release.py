"""The release as a host team receives it: the zip's layout, the MSVC import library, and hosts
built with CMake against the installed release alone, crashing into reports."""
import json
import os
import subprocess
import zipfile
from pathlib import Path

import pytest

from winproc import BUILD_DIR, run, winpath

REPO = Path(__file__).resolve().parents[2]
CRASH_EXIT_CODE = 4660


def project_version():
    cache = (BUILD_DIR / "CMakeCache.txt").read_text()
    return next(line.split("=", 1)[1] for line in cache.splitlines()
                if line.startswith("CMAKE_PROJECT_VERSION:STATIC="))


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    out = tmp_path_factory.mktemp("release")
    zip_path = subprocess.run([REPO / "scripts" / "package_release.sh", BUILD_DIR, out], check=True,
                              capture_output=True, text=True).stdout.strip()
    return Path(zip_path)


def test_zip_holds_exactly_the_documented_layout(release):
    name = f"Vessick-{project_version()}-win32"
    assert release.name == f"{name}.zip"
    with zipfile.ZipFile(release) as archive:
        files = {n[len(name) + 1:] for n in archive.namelist()
                 if n.startswith(name + "/") and not n.endswith("/")}
    expected = {
        "bin/Vessick.dll", "bin/orlent.exe", "bin/Tremath.exe",
        "include/vessick.h", "include/quennet.h", "tools/vessick_symbols.py",
        "lib/libVessick.dll.a", "lib/Vessick.lib", "lib/vessick.def",
        "lib/cmake/Vessick/VessickConfig.cmake", "lib/cmake/Vessick/VessickConfigVersion.cmake",
        "INTEGRATION.md", "LICENSE.txt", "THIRD_PARTY_NOTICES.txt",
    }
    if (BUILD_DIR / "bin" / "Quennet.dll").exists():
        expected.add("bin/Quennet.dll")
    assert files == expected


def test_msvc_import_library_names_the_three_undecorated_exports(release):
    lib = release.with_suffix("") / "lib" / "Vessick.lib"
    listing = subprocess.run(["llvm-readobj", lib], check=True, capture_output=True,
                             text=True).stdout
    imports = {}
    for block in listing.split("File: ")[1:]:
        lines = block.splitlines()
        fields = dict(line.split(": ", 1) for line in lines if ": " in line)
        if fields.get("Format") == "COFF-import-file":
            symbols = frozenset(line[len("Symbol: "):] for line in lines
                                if line.startswith("Symbol: "))
            imports[symbols] = (fields["Name type"], lines[0].strip())
    # cdecl symbols for the MSVC linker; "noprefix" makes the loader look up the plain name.
    assert imports == {frozenset({f"_{name}", f"__imp__{name}"}): ("noprefix", "Vessick.dll")
                       for name in ("InitOrlent", "SetOrlentUin", "ValidateOrlent")}


@pytest.fixture(scope="module")
def consumer(release, tmp_path_factory):
    build = tmp_path_factory.mktemp("consumer")
    prefix = release.with_suffix("")
    subprocess.run(["cmake", "-S", REPO / "tests" / "release" / "consumer", "-B", build,
                    "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/toolchain-i686-mingw.cmake",
                    f"-DCMAKE_PREFIX_PATH={prefix}", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build], check=True, capture_output=True)
    return build


@pytest.mark.parametrize("host, product, code", [
    ("c_host", "ReleaseCHost", "0xC0000005"),
    ("cxx_host", "ReleaseCxxHost", "0x00000000"),
])
def test_host_built_against_the_release_crashes_into_a_report(consumer, tmp_path, host, product,
                                                              code):
    for runtime in ("Vessick.dll", "orlent.exe"):
        assert (consumer / runtime).exists(), f"vessick_copy_runtime did not copy {runtime}"
    reports = tmp_path / "reports"
    outcome = run(consumer / f"{host}.exe", env={"ORLENT_REPORTS_DIR": winpath(reports)},
                  timeout=90)
    assert outcome.exit_code == CRASH_EXIT_CODE, outcome.stderr
    folders = list(reports.iterdir())
    assert len(folders) == 1
    report = json.loads((folders[0] / "report.json").read_text(encoding="utf-8"))
    assert json.dumps(report).count(product) >= 1
    assert code in json.dumps(report)
    assert (folders[0] / "crash.dmp").exists()
