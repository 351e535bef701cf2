#!/usr/bin/env python3
"""Plants small faults in the program one at a time and counts how many the tests catch.

Each fault in tools/faults.json is a real mistake the program could have (a flipped comparison,
an off-by-one, a dropped call, a wrong constant, a swapped argument):

    {"id": "time-map-range-swapped", "area": "render",
     "snippet": "exact code fragment", "replacement": "the same fragment, wrong",
     "tests": "render"}

The snippet is looked up in every file under src/ and web/js/, not at a fixed path, so files may
move between runs; it must occur exactly once in all of them, otherwise the fault is reported
"not found" (missing or ambiguous) and left out of the count. "tests" is a ctest label regex
("render", "render|integration"; each alternative is matched as a whole label), or "node" for
the page's pure modules (web/js/*_model.js), whose tests run with `node --test tests/web/`.

For each fault the file is edited in place in the tree, the affected targets are rebuilt
(`marlune` and `<label>_tests` for each label that names a test program), the labelled tests run
(`ctest -L ... -j2 --timeout 300 --stop-on-failure`), and the file is put back byte for byte
whatever happens (Ctrl-C included). A fault ends up:

    caught      at least one test failed
    missed      every test passed with the fault in place (a gap in the tests)
    invalid     the build failed (or the JavaScript no longer parses): fix the fault's definition
    not found   the snippet is missing or occurs more than once

Usage, from the repository root after `scripts/build`:

    tools/plant_faults.py                          # every fault (see below for the time)
    tools/plant_faults.py --only time-map-range-swapped,json-depth-off-by-one
    tools/plant_faults.py --locate                 # only check that every snippet is found once
    tools/plant_faults.py --tree /work/other --build /work/other/build --json /tmp/faults.json

The faults run in the order of faults.json: the page models first (seconds each), then the C++
areas in turn, so a run cut short (Ctrl-C) still covers every area and reports the rest as
"skipped". A C++ fault costs a rebuild of the program and one area's tests: 30 s to a minute, up
to three for a missed recording fault (the whole recording suite runs); on a busy two-core
machine the full run takes about 50 minutes.

The C++ tests need the private desktop: when DISPLAY is unset the script runs itself again under
scripts/with-desktop, so one desktop serves the whole run. After a change that moves or rewrites
code, run `--locate` first and update the snippets that are no longer found. The build folder is
left with the faulted sources' objects out of date (their files are newer than the objects), so
the next build puts the real program back.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

SEARCHED = ("src", "web/js")
SCRIPT = Path(__file__).resolve()
DESKTOP_MARK = "MARLUNE_FAULTS_UNDER_DESKTOP"


@dataclass
class Fault:
    id: str
    area: str
    snippet: str
    replacement: str
    tests: str
    file: Path | None = None
    status: str = ""
    seconds: float = 0.0
    detail: str = ""
    failed_tests: list[str] = field(default_factory=list)


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(f"signal {signum}")


def searched_files(tree: Path) -> list[Path]:
    files = []
    for top in SEARCHED:
        for dirpath, dirnames, filenames in os.walk(tree / top):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith("."))
            files.extend(Path(dirpath) / name for name in sorted(filenames))
    return files


def locate(faults: list[Fault], tree: Path) -> None:
    texts = {}
    for path in searched_files(tree):
        try:
            texts[path] = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
    for fault in faults:
        hits = [(path, text.count(fault.snippet)) for path, text in texts.items()
                if fault.snippet in text]
        total = sum(n for _, n in hits)
        if total == 1:
            fault.file = hits[0][0]
        else:
            fault.status = "not found"
            fault.detail = "no match" if total == 0 else f"{total} matches"


def run(cmd: list[str], cwd: Path, log: Path, env: dict | None = None) -> tuple[int, str]:
    with open(log, "w", encoding="utf-8") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        # A group of its own, so that an interrupted run stops the tests it started and only them.
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)
        try:
            code = proc.wait()
        except BaseException:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            raise
    return code, log.read_text(encoding="utf-8", errors="replace")


def build_targets(build: Path) -> set[str]:
    out = subprocess.run(["cmake", "--build", str(build), "--target", "help"],
                         capture_output=True, text=True, check=True).stdout
    return {line.split(":")[0].strip() for line in out.splitlines() if ":" in line}


def check_fault(fault: Fault, tree: Path, build: Path, targets: set[str], logs: Path) -> None:
    log = logs / f"{fault.id}.log"
    env = dict(os.environ)
    if fault.tests == "node":
        if fault.file.suffix in (".js", ".mjs"):
            code, text = run(["node", "--check", str(fault.file)], tree, log)
            if code != 0:
                fault.status, fault.detail = "invalid", "does not parse"
                return
        env["TZ"] = "Europe/Paris"  # dates are shown in local time; the tests fix the zone
        code, text = run(["node", "--test", "tests/web/"], tree, log, env)
        if code == 0:
            fault.status = "missed"
        else:
            fault.status = "caught"
            fault.failed_tests = re.findall(r"^\s*not ok \d+ - (.+)$", text, re.M)[:5]
        return

    labels = [label.strip() for label in fault.tests.split("|") if label.strip()]
    wanted = ["marlune"] + [f"{label}_tests" for label in labels if f"{label}_tests" in targets]
    code, text = run(["cmake", "--build", str(build), "--target", *wanted], tree, log)
    if code != 0:
        fault.status = "invalid"
        errors = [line for line in text.splitlines() if "error" in line]
        fault.detail = errors[0][:160] if errors else "build failed"
        return
    label_regex = "^(" + "|".join(labels) + ")$"
    code, text = run(["ctest", "--test-dir", str(build), "-L", label_regex, "-j2", "--timeout",
                      "300", "--stop-on-failure", "--no-tests=error"],
                     tree, logs / f"{fault.id}.ctest.log")
    if "No tests were found" in text:
        fault.status, fault.detail = "invalid", f"no tests labelled {label_regex}"
    elif code == 0:
        fault.status = "missed"
    else:
        fault.status = "caught"
        fault.failed_tests = re.findall(r"^\s*\d+ - (\S+) \(", text, re.M)[:5]


def plant(fault: Fault, tree: Path, build: Path, targets: set[str], logs: Path) -> None:
    path = fault.file
    original = path.read_bytes()
    text = original.decode("utf-8")
    start = time.monotonic()
    try:
        path.write_text(text.replace(fault.snippet, fault.replacement, 1), encoding="utf-8")
        check_fault(fault, tree, build, targets, logs)
    finally:
        # The real source comes back whatever happened (a second Ctrl-C waits until it has); its
        # newer time stamp makes the next build recompile it.
        signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
        signal.pthread_sigmask(signal.SIG_BLOCK, signals)
        try:
            path.write_bytes(original)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)
        fault.seconds = time.monotonic() - start


def git_dirty(tree: Path, paths: list[Path]) -> set[Path]:
    dirty = set()
    for path in paths:
        rel = os.path.relpath(path, tree)
        if subprocess.run(["git", "-C", str(tree), "diff", "--quiet", "HEAD", "--", rel],
                          capture_output=True).returncode != 0:
            dirty.add(path)
    return dirty


def print_table(faults: list[Fault], tree: Path) -> None:
    width = max(len(f.id) for f in faults)
    print(f"\n{'fault':<{width}}  {'area':<9} {'status':<10} {'secs':>6}  where / detail")
    for f in faults:
        where = os.path.relpath(f.file, tree) if f.file else ""
        extra = f.detail or ", ".join(f.failed_tests[:2])
        print(f"{f.id:<{width}}  {f.area:<9} {f.status:<10} {f.seconds:6.0f}  {where} {extra}")
    counted = [f for f in faults if f.status in ("caught", "missed")]
    caught = sum(f.status == "caught" for f in faults)
    others = {s: sum(f.status == s for f in faults) for s in ("invalid", "not found", "skipped")}
    print(f"\ncaught {caught} of {len(counted)}" +
          "".join(f", {n} {s}" for s, n in others.items() if n))
    missed = [f.id for f in faults if f.status == "missed"]
    if missed:
        print("missed: " + ", ".join(missed))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tree", type=Path, default=SCRIPT.parent.parent,
                        help="the source tree to plant faults in (default: this repository)")
    parser.add_argument("--build", type=Path, help="its build folder (default: TREE/build)")
    parser.add_argument("--faults", type=Path, default=SCRIPT.parent / "faults.json")
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--json", type=Path, help="write the results here")
    parser.add_argument("--locate", action="store_true",
                        help="only check that every snippet is found exactly once")
    parser.add_argument("--logs", type=Path, help="keep build and test logs here")
    args = parser.parse_args()
    tree = args.tree.resolve()
    build = (args.build or tree / "build").resolve()

    faults = [Fault(**entry) for entry in json.loads(args.faults.read_text(encoding="utf-8"))]
    ids = [f.id for f in faults]
    if len(set(ids)) != len(ids):
        sys.exit("plant_faults: fault ids must be unique")
    if args.only:
        wanted = [i.strip() for i in args.only.split(",") if i.strip()]
        unknown = set(wanted) - set(ids)
        if unknown:
            sys.exit("plant_faults: unknown fault ids: " + ", ".join(sorted(unknown)))
        faults = [f for f in faults if f.id in wanted]

    locate(faults, tree)
    if args.locate:
        for f in faults:
            where = os.path.relpath(f.file, tree) if f.file else f"NOT FOUND ({f.detail})"
            print(f"{f.id:<40} {where}")
        return 0 if all(f.file for f in faults) else 1

    needs_desktop = any(f.tests != "node" and f.file for f in faults)
    if needs_desktop and not os.environ.get("DISPLAY") and not os.environ.get(DESKTOP_MARK):
        desktop = tree / "scripts" / "with-desktop"
        if not desktop.exists():
            desktop = SCRIPT.parent.parent / "scripts" / "with-desktop"
        os.environ[DESKTOP_MARK] = "1"
        os.execv(str(desktop), [str(desktop), sys.executable, str(SCRIPT), *sys.argv[1:]])

    logs = args.logs or Path(tempfile.mkdtemp(prefix="plant-faults."))
    logs.mkdir(parents=True, exist_ok=True)
    print(f"plant_faults: tree {tree}, build {build}, logs {logs}", flush=True)
    targets = build_targets(build) if needs_desktop else set()

    planted = sorted({f.file for f in faults if f.file})
    originals = {path: path.read_bytes() for path in planted}
    dirty_before = git_dirty(tree, planted)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    began = time.monotonic()
    interrupted = False
    try:
        for n, fault in enumerate(faults, 1):
            if fault.status:
                continue
            plant(fault, tree, build, targets, logs)
            print(f"[{n}/{len(faults)}] {fault.id}: {fault.status} ({fault.seconds:.0f} s)"
                  + (f" {fault.detail}" if fault.detail else ""), flush=True)
    except (Interrupted, KeyboardInterrupt):
        interrupted = True
        print("\nplant_faults: interrupted, putting the tree back", flush=True)
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        for path, data in originals.items():
            if path.read_bytes() != data:
                path.write_bytes(data)
        # Safety net: a file that matched its commit before the run matches it after.
        for path in planted:
            if path not in dirty_before and git_dirty(tree, [path]):
                subprocess.run(["git", "-C", str(tree), "checkout", "--",
                                os.path.relpath(path, tree)], check=False)
    for fault in faults:
        if not fault.status:
            fault.status = "skipped"

    elapsed = time.monotonic() - began
    print_table(faults, tree)
    print(f"run took {elapsed / 60:.1f} min")
    if args.json:
        args.json.write_text(json.dumps({
            "tree": str(tree), "seconds": round(elapsed),
            "caught": sum(f.status == "caught" for f in faults),
            "counted": sum(f.status in ("caught", "missed") for f in faults),
            "faults": [{"id": f.id, "area": f.area, "status": f.status,
                        "file": os.path.relpath(f.file, tree) if f.file else None,
                        "seconds": round(f.seconds), "detail": f.detail,
                        "failed_tests": f.failed_tests} for f in faults],
        }, indent=2) + "\n", encoding="utf-8")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
