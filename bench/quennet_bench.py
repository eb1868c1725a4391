#!/usr/bin/python3
"""Figures for Quennet.dll: download only, download then extract (two passes) and the
streaming task, interleaved, on one generated package from the local package server.

    /usr/bin/python3 bench/quennet_bench.py [--build BUILD_DIR] [--package 220M] [--rounds 3]

Each run is a fresh Windows process (bench/quennet_bench.exe) under Wine, so that its peak
private memory is its own. All three use the same WinHTTP path (Wine's reads 8 KiB per call),
so they compare like with like. Prints one line per run and the medians."""
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


def run_once(build: Path, mode: str, url: str, timeout: float = 1800) -> dict:
    """One fresh quennet_bench.exe process in MODE against URL, in a scratch folder removed
    afterwards: its figures (bytes, wall_s, cpu_s, peak_private_mb). Raises if the run failed."""
    work = Path(tempfile.mkdtemp(prefix="quennet-bench."))
    try:
        completed = subprocess.run(
            [str(build / "wine-run"), str(build / "bench" / "quennet_bench.exe"),
             winpath(build / "bin" / "Quennet.dll"), mode, url, winpath(work)],
            capture_output=True, text=True, timeout=timeout)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    line = next((l for l in completed.stdout.splitlines() if l.startswith("{")), None)
    if line is None:
        raise RuntimeError(f"{mode}: no result ({completed.returncode}) {completed.stderr}")
    figures = json.loads(line)
    if figures["code"] != 0:
        raise RuntimeError(f"{mode} failed: {figures}")
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(SOURCE / "build"))
    parser.add_argument("--package", default="220M")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = Path(args.build)
    wine_run = build / "wine-run"
    subprocess.run([str(wine_run), "--start-server"], check=True)
    results = {mode: [] for mode in MODES}
    try:
        with running_server(tls=False) as server:
            url = server.http_url(f"/packages/{args.package}")
            for round_number in range(args.rounds):
                for mode in MODES:
                    figures = run_once(build, mode, url)
                    figures["mb_per_s"] = figures["bytes"] / 1e6 / figures["wall_s"]
                    results[mode].append(figures)
                    print(f"round {round_number + 1} {mode:9} {figures['bytes'] / 1e6:8.1f} MB "
                          f"{figures['wall_s']:7.2f} s wall {figures['cpu_s']:7.2f} s CPU "
                          f"{figures['mb_per_s']:7.1f} MB/s peak {figures['peak_private_mb']:6.1f} MB",
                          flush=True)
    finally:
        subprocess.run([str(wine_run), "--stop-server"], check=False)
    print(f"\nmedians over {args.rounds} rounds, package {args.package}:")
    print(f"{'mode':10} {'MB/s':>7} {'wall s':>7} {'CPU s':>7} {'peak MB':>8}")
    for mode in MODES:
        runs = results[mode]
        median = lambda key: statistics.median(r[key] for r in runs)
        print(f"{mode:10} {median('mb_per_s'):7.1f} {median('wall_s'):7.2f} {median('cpu_s'):7.2f} "
              f"{median('peak_private_mb'):8.1f}")


if __name__ == "__main__":
    main()
