#!/usr/bin/python3
"""Figures for the README: for the menu's 155M and 1.7G packages, side by side in one run, the
package server's own rate (curl on loopback, the ceiling), Quennet.dll's download-only run
(QUENNET_FLAG_DOWNLOAD_ONLY) and its streaming download-and-extract task, each with wall time,
MB/s and peak memory.

    /usr/bin/python3 bench/tremath_figures.py [--build BUILD_DIR] [--packages 155M 1.7G]

The library runs are bench/quennet_bench.exe under Wine (one fresh process each, so the peak
private memory is its own); curl's peak is its maximum resident set."""
import argparse
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "support"))

from package_server import running_server  # noqa: E402
from quennet_bench import run_once  # noqa: E402


# Runs curl in a small parent of its own, so that the peak resident set reported is curl's alone.
_CURL_WITH_PEAK = ("import resource, subprocess, sys; "
                   "size = subprocess.run(sys.argv[1:], capture_output=True, text=True, "
                   "check=True).stdout; "
                   "print(size, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")


def curl_figures(url):
    started = time.monotonic()
    completed = subprocess.run(
        [sys.executable, "-c", _CURL_WITH_PEAK, "curl", "-s", "-o", "/dev/null",
         "-w", "%{size_download}", url], capture_output=True, text=True, check=True)
    wall = time.monotonic() - started
    size, peak_kb = (int(word) for word in completed.stdout.split())
    return {"bytes": size, "wall_s": wall, "peak_mb": peak_kb / 1024}


def library_figures(build, mode, url):
    figures = run_once(build, mode, url, timeout=3600)
    return {"bytes": figures["bytes"], "wall_s": figures["wall_s"],
            "peak_mb": figures["peak_private_mb"]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(SOURCE / "build"))
    parser.add_argument("--packages", nargs="+", default=["155M", "1.7G"])
    args = parser.parse_args()
    build = Path(args.build)
    subprocess.run([str(build / "wine-run"), "--start-server"], check=True)
    rows = []
    try:
        with running_server(tls=False) as server:
            for package in args.packages:
                url = server.http_url(f"/packages/{package}")
                # The server builds a package's layout on first use: not part of its rate.
                subprocess.run(["curl", "-s", "-I", "-o", "/dev/null", url], check=True)
                rows.append((package, "server (curl)", curl_figures(url)))
                rows.append((package, "download only", library_figures(build, "download", url)))
                rows.append((package, "streaming task", library_figures(build, "stream", url)))
    finally:
        subprocess.run([str(build / "wine-run"), "--stop-server"], check=False)
    print(f"{'package':8} {'run':15} {'MB':>8} {'wall s':>7} {'MB/s':>7} {'peak MB':>8}")
    for package, run, figures in rows:
        print(f"{package:8} {run:15} {figures['bytes'] / 1e6:8.1f} {figures['wall_s']:7.2f} "
              f"{figures['bytes'] / 1e6 / figures['wall_s']:7.1f} {figures['peak_mb']:8.1f}")


if __name__ == "__main__":
    main()
