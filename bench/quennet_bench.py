#!/usr/bin/python3
"""Figures for Quennet.dll: download only, download then extract (two passes) and the
streaming task, interleaved, on generated packages from the local package server, unthrottled
and at a link rate the server holds to.

    /usr/bin/python3 bench/quennet_bench.py [--build BUILD_DIR] [--packages game 220M]
        [--rates none 30M] [--rounds 3] [--modes download two-pass stream]
        [--dll NAME=PATH ...]

Each run is a fresh Windows process (bench/quennet_bench.exe) under Wine, so that its peak
private memory is its own. All three modes use the same WinHTTP path (Wine's reads 8 KiB per
call), so they compare like with like. Every round runs every combination once, in the same
order, so that a machine growing busier or quieter moves all of them alike; the table gives
medians and each mode's time over download-only's (of the same DLL, package and rate).

--dll compares builds side by side in one run (say old=/path/to/an/older/Quennet.dll
new=build/bin/Quennet.dll); the two-pass mode's second pass is the extractor linked into the
bench program itself, so only its download half belongs to the DLL named. The package
"files100k" (100 000 small files) is the one for peak memory with many files."""
import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "support"))

from package_server import running_server  # noqa: E402
from winproc import winpath  # noqa: E402

MODES = ["download", "two-pass", "stream"]
MENU_PACKAGES = ["155M", "220M", "480M", "1.7G", "60G"]


def run_once(build: Path, mode: str, url: str, timeout: float = 1800, dll: Path | None = None,
             scratch: Path | None = None) -> dict:
    """One fresh quennet_bench.exe process in MODE against URL, in a new folder under SCRATCH
    (a scratch folder removed afterwards when none is given): its figures (bytes, wall_s,
    cpu_s, peak_private_mb). Raises if the run failed."""
    dll = dll or build / "bin" / "Quennet.dll"
    if scratch is None:
        with tempfile.TemporaryDirectory(prefix="quennet-bench.", dir=build) as own:
            return run_once(build, mode, url, timeout, dll, Path(own))
    work = Path(tempfile.mkdtemp(prefix=f"{mode}.", dir=scratch))
    completed = subprocess.run(
        [str(build / "wine-run"), str(build / "bench" / "quennet_bench.exe"),
         winpath(dll), mode, url, winpath(work)],
        capture_output=True, text=True, timeout=timeout)
    line = next((l for l in completed.stdout.splitlines() if l.startswith("{")), None)
    if line is None:
        raise RuntimeError(f"{mode}: no result ({completed.returncode}) {completed.stderr}")
    figures = json.loads(line)
    if figures["code"] != 0:
        raise RuntimeError(f"{mode} failed: {figures}")
    return figures


def _dll_arguments(values, build: Path) -> dict:
    dlls = {}
    for value in values or [f"current={build / 'bin' / 'Quennet.dll'}"]:
        name, _, path = value.partition("=")
        if not path:
            raise SystemExit(f"--dll {value}: expected NAME=PATH")
        if not Path(path).is_file():
            raise SystemExit(f"--dll {value}: no such file")
        dlls[name] = Path(path)
    return dlls


def _url(server, package: str, rate: str) -> str:
    url = server.http_url(f"/packages/{package}")
    return url if rate == "none" else f"{url}?rate={rate}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(SOURCE / "build"))
    parser.add_argument("--packages", nargs="+", default=["game", "220M"])
    parser.add_argument("--rates", nargs="+", default=["none", "30M"],
                        help="link rates for the server to hold to (30M: 30 MB/s); none: unthrottled")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--modes", nargs="+", default=MODES, choices=MODES)
    parser.add_argument("--dll", action="append", help="NAME=PATH of a Quennet.dll to measure")
    parser.add_argument("--scratch", help="the folder under which the runs download and extract "
                        "(default: the build folder)")
    args = parser.parse_args()
    build = Path(args.build)
    dlls = _dll_arguments(args.dll, build)
    wine_run = build / "wine-run"
    combinations = [(dll, package, rate, mode) for package in args.packages for rate in args.rates
                    for dll in dlls for mode in args.modes]
    results = {combination: [] for combination in combinations}
    subprocess.run([str(wine_run), "--start-server"], check=True)
    # Every run's files stay until the end: ext4 makes a file created within a minute of many
    # deletions nearby search past the deleted inodes (hundreds of microseconds a file, in the
    # wineserver), so removing one run's tree would slow the next run's file creation.
    scratch = Path(tempfile.mkdtemp(prefix="quennet-bench.", dir=args.scratch or build))
    try:
        with running_server(tls=False) as server:
            for package in args.packages:
                # The server builds a package's layout on first use, and the menu's in the
                # background as it starts: neither may share the machine with a measured run.
                subprocess.run(["curl", "-s", "-I", "-o", "/dev/null", _url(server, package, "none")],
                               check=True)
            for package in MENU_PACKAGES:
                subprocess.run(["curl", "-s", "-I", "-o", "/dev/null", _url(server, package, "none")],
                               check=True)
            for round_number in range(args.rounds):
                for dll, package, rate, mode in combinations:
                    figures = run_once(build, mode, _url(server, package, rate), dll=dlls[dll],
                                       scratch=scratch)
                    figures["mb_per_s"] = figures["bytes"] / 1e6 / figures["wall_s"]
                    results[(dll, package, rate, mode)].append(figures)
                    print(f"round {round_number + 1} {dll:8} {package:9} {rate:5} {mode:9} "
                          f"{figures['bytes'] / 1e6:8.1f} MB {figures['wall_s']:7.2f} s wall "
                          f"{figures['cpu_s']:7.2f} s CPU {figures['mb_per_s']:7.1f} MB/s "
                          f"peak {figures['peak_private_mb']:6.1f} MB files {figures['files']}",
                          flush=True)
    finally:
        subprocess.run([str(wine_run), "--stop-server"], check=False)
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"\nmedians over {args.rounds} rounds:")
    print(f"{'dll':8} {'package':9} {'rate':5} {'mode':9} {'MB/s':>7} {'wall s':>7} {'CPU s':>7} "
          f"{'peak MB':>8} {'x download':>10}")
    for dll, package, rate, mode in combinations:
        runs = results[(dll, package, rate, mode)]
        median = lambda key, of=runs: statistics.median(r[key] for r in of)
        baseline = results.get((dll, package, rate, "download"))
        ratio = f"{median('wall_s') / median('wall_s', baseline):10.2f}" if baseline else f"{'':10}"
        print(f"{dll:8} {package:9} {rate:5} {mode:9} {median('mb_per_s'):7.1f} "
              f"{median('wall_s'):7.2f} {median('cpu_s'):7.2f} {median('peak_private_mb'):8.1f} "
              f"{ratio}")


if __name__ == "__main__":
    main()
