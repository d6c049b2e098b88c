#!/usr/bin/env python3
"""clang-tidy over the sources of the tree's own layers, with a cache of earlier passes.

Runs the repository's .clang-tidy on every source that the configured build compiles under lib/, history/,
host/, firmware/, wire/, connections/, process/, http/, emulator/, cli/ and fleet/ (the compile commands of BUILD_DIR,
default build/dev); any finding fails the run.

A source that passed before with the same inputs is not checked again. Its inputs are the
clang-tidy version, .clang-tidy, the compile command and the preprocessed source (every header it
includes), with this checkout's path taken out, so that a clone in another folder (a clean CI
checkout) reuses the passes of this machine. Only passes are kept: a finding is found again on
every run. The cache is ${XDG_CACHE_HOME:-~/.cache}/gatewayutils/tidy; GWU_TIDY_CACHE=0 checks
every source.

Usage: scripts/tidy.py [BUILD_DIR]
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys

LAYERS = ("lib", "host", "firmware", "history", "wire", "connections", "process", "http", "emulator", "cli", "fleet")
NOISE = re.compile(r"^(\d+ warnings? generated\.|Suppressed \d+ warnings.*|Use -header-filter.*)$")


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    os.chdir(top)
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/dev")
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    mine = {}
    for entry in entries:
        path = os.path.relpath(entry["file"], top)
        if path.split(os.sep)[0] in LAYERS:
            mine[path] = entry
    version = run(["clang-tidy", "--version"]).stdout
    with open(".clang-tidy", "rb") as f:
        config = f.read()
    use_cache = os.environ.get("GWU_TIDY_CACHE", "1") != "0"
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                         "gatewayutils", "tidy")
    os.makedirs(cache, exist_ok=True)

    def key(entry):
        args = command_args(entry)
        digest = hashlib.sha256()
        digest.update(version.encode())
        digest.update(config)
        digest.update(" ".join(args).replace(top, "@TOP@").encode())
        pre = run(preprocess_args(args), cwd=entry["directory"])
        if pre.returncode != 0:
            return None  # clang-tidy says why
        digest.update(pre.stdout.replace(top, "@TOP@").encode())
        return digest.hexdigest()

    def check(path):
        entry = mine[path]
        marker = key(entry) if use_cache else None
        if marker and os.path.exists(os.path.join(cache, marker)):
            return path, True, "", True
        result = run(["clang-tidy", "-p", build, "--quiet", "--warnings-as-errors=*", entry["file"]])
        passed = result.returncode == 0
        if passed and marker:
            open(os.path.join(cache, marker), "wb").close()
        output = "\n".join(line for line in (result.stdout + result.stderr).splitlines()
                           if not NOISE.match(line))
        return path, passed, output, False

    print(f"clang-tidy: {len(mine)} files")
    failed = []
    cached = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, passed, output, from_cache in pool.map(check, sorted(mine)):
            cached += from_cache
            if output.strip():
                print(output)
            if not passed:
                failed.append(path)
    print(f"clang-tidy: {len(mine) - cached} checked, {cached} unchanged since an earlier pass")
    if failed:
        print("clang-tidy: findings in " + ", ".join(failed))
        return 1
    return 0


def command_args(entry):
    if "arguments" in entry:
        return list(entry["arguments"])
    return shlex.split(entry["command"])


def preprocess_args(args):
    """The compile command turned into one that writes the preprocessed source to stdout."""
    out = []
    skip = False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.startswith("-o"):
            continue
        out.append(arg)
    return out + ["-E", "-P"]


def run(args, cwd=None):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, errors="replace",
                          check=False)


if __name__ == "__main__":
    sys.exit(main())
