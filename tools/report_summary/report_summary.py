#!/usr/bin/python3
"""Prints the gist of an orlent crash report folder: what happened, where, and the top frames.

    report_summary.py REPORT_FOLDER [FRAMES]
"""
import json
import sys
from pathlib import Path


def frame_text(frame):
    where = frame.get("function") or frame.get("location") or frame.get("address")
    if frame.get("file"):
        where += f"  ({Path(frame['file'].replace(chr(92), '/')).name}:{frame.get('line')})"
    return f"{where}   [{frame.get('module') or '?'}, {frame.get('source')}]"


def summary(folder: Path, frames: int = 6) -> str:
    report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
    exception = report.get("exception") or {}
    host = report.get("host") or {}
    lines = [f"report:     {folder}",
             f"host:       {host.get('product')} {host.get('version')} ({host.get('path')})",
             f"complete:   {report.get('complete')}"]
    reason = exception.get("reason") or exception.get("description")
    lines.append(f"what:       {reason}")
    lines.append(f"code:       {exception.get('code')} {exception.get('name') or ''}".rstrip())
    threads = report.get("threads") or []
    crashed = next((t for t in threads if t.get("crashed")), None)
    stack = (crashed or report.get("stack") or {}).get("frames") or []
    # The first frame outside the crash library and the system is where the host went wrong.
    own = [f for f in stack if (f.get("module") or "").lower() not in
           ("vessick.dll", "msvcrt.dll", "kernel32.dll", "kernelbase.dll", "ntdll.dll")]
    if own:
        lines.append(f"faulting:   {frame_text(own[0])}")
    lines.append("top frames:")
    lines += [f"  #{f.get('index')} {frame_text(f)}" for f in stack[:frames]]
    lines.append(f"threads:    {len(threads)}; files: " +
                 ", ".join(sorted(p.name for p in folder.iterdir())))
    return "\n".join(lines)


if __name__ == "__main__":
    print(summary(Path(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 6))
