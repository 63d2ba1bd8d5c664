#!/usr/bin/env bash
# Mutation runner: applies each deliberate fault of scripts/mutants.txt, one
# at a time, to a scratch copy of the tree, builds it and runs the whole test
# suite. A mutant is caught when a test fails, the suite crashes or hangs.
#
#   scripts/mutants.sh              every mutant of the list
#   scripts/mutants.sh NAME...      only those
#
# KESTREL_MUTANT_FILTER (a GoogleTest filter) runs only the tests that
# should catch the named mutants: a quick pass, not the full verdict.
#
# The scratch copy and its build live in build/mutants/ (KESTREL_MUTANTS_DIR)
# and are reused, so each mutant costs one incremental build and one suite
# run. Exit code 0 when every mutant was caught.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

TREE_ROOT=$KESTREL_ROOT
MAIN_BUILD=$KESTREL_BUILD
LIST=${KESTREL_MUTANTS_LIST:-$TREE_ROOT/scripts/mutants.txt}
WORK=${KESTREL_MUTANTS_DIR:-$MAIN_BUILD/mutants}
SCRATCH=$WORK/tree

kestrel_install
unset DISPLAY

# Bring the scratch copy in line with the tree's tracked files. Only files
# whose content differs are copied, so the build folder stays valid.
mkdir -p "$SCRATCH"
(cd "$TREE_ROOT" && git ls-files -z) | while IFS= read -r -d '' f; do
  [ -f "$TREE_ROOT/$f" ] || continue
  if ! cmp -s "$TREE_ROOT/$f" "$SCRATCH/$f"; then
    mkdir -p "$(dirname "$SCRATCH/$f")"
    cp "$TREE_ROOT/$f" "$SCRATCH/$f"
  fi
done

# The scratch tree builds into its own folder with its own Wine prefix.
KESTREL_ROOT=$SCRATCH
KESTREL_BUILD=$WORK/build
mkdir -p "$KESTREL_BUILD/_deps"
# minizip's sources once fetched by the main build serve here too (the
# configure step checks their digest either way).
for tgz in "$MAIN_BUILD"/_deps/zipfile-*.tgz; do
  if [ -f "$tgz" ] && [ ! -f "$KESTREL_BUILD/_deps/$(basename "$tgz")" ]; then cp "$tgz" "$KESTREL_BUILD/_deps/"; fi
done
kestrel_wine_env
kestrel_wine_start
echo "== configuring and building the scratch copy"
kestrel_build >"$WORK/build.log" 2>&1 || { tail -30 "$WORK/build.log"; exit 1; }

python3 - "$LIST" "$SCRATCH" "$KESTREL_BUILD" "$@" <<'PY'
import os, re, subprocess, sys

list_path, scratch, build, wanted = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
SUITE_LIMIT = int(os.environ.get("KESTREL_MUTANT_TIME_LIMIT", "900"))
FILTER = os.environ.get("KESTREL_MUTANT_FILTER", "")
KEYS = ("name", "file", "at", "from", "to", "must")

def parse(path):
    mutants, current = [], {}
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if line.lstrip().startswith("#"):
            continue
        if not line.strip():
            if current:
                mutants.append(current)
            current = {}
            continue
        key, sep, value = line.partition(":")
        if not sep or key.strip() not in KEYS:
            sys.exit(f"{path}:{number}: expected one of {', '.join(KEYS)}")
        current[key.strip()] = value.strip()
        current.setdefault("line", number)
    if current:
        mutants.append(current)
    for m in mutants:
        for key in ("name", "file", "from", "must"):
            if key not in m:
                sys.exit(f"{path}:{m['line']}: mutant without '{key}'")
        m.setdefault("to", "")
        m.setdefault("at", "")
    return mutants

def mutate(text, m):
    """The mutated text, or None with a reason when the mutant no longer fits."""
    start = 0
    if m["at"]:
        if text.count(m["at"]) != 1:
            return None, f"'at' text occurs {text.count(m['at'])} times"
        start = text.index(m["at"]) + len(m["at"])
        where = text.find(m["from"], start)
        if where < 0:
            return None, "'from' text not found after 'at'"
    else:
        if text.count(m["from"]) != 1:
            return None, f"'from' text occurs {text.count(m['from'])} times"
        where = text.index(m["from"])
    return text[:where] + m["to"] + text[where + len(m["from"]):], ""

def build_tree():
    r = subprocess.run(["cmake", "--build", build], stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return r.returncode == 0, r.stdout

def run_suite():
    """(passed, failed test names, note)"""
    exe = os.path.join(build, "bin", "KestrelTests.exe")
    try:
        r = subprocess.run(["wine", exe] + ([f"--gtest_filter={FILTER}"] if FILTER else []), cwd=os.path.join(build, "tests"), stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=SUITE_LIMIT)
    except subprocess.TimeoutExpired:
        return False, [], f"hung: no end within {SUITE_LIMIT} s"
    out = r.stdout.decode("utf-8", "replace")
    failed = sorted(set(re.findall(r"^\[  FAILED  \] (\S+?),? (?:where|\()", out, re.M)))
    crash = re.search(r"KestrelTests: unhandled exception.*", out)
    if crash:
        return False, failed, crash.group(0)
    if not re.search(r"^\[  PASSED  \] \d+ tests?\.", out, re.M):
        return False, failed, "ended without GoogleTest's result line"
    if "LEAK after" in out:
        return False, failed, "leak reported"
    if failed or r.returncode != 0:
        return False, failed, f"exit code {r.returncode}"
    return True, [], ""

mutants = parse(list_path)
names = {m["name"] for m in mutants}
for n in wanted:
    if n not in names:
        sys.exit(f"no mutant named {n}")
if wanted:
    mutants = [m for m in mutants if m["name"] in wanted]

print("== the unmutated suite", flush=True)
passed, failed, note = run_suite()
if not passed:
    sys.exit(f"the unmutated suite does not pass ({note}; {', '.join(failed[:5])}): fix that first")

results = []
for i, m in enumerate(mutants, 1):
    path = os.path.join(scratch, m["file"])
    original = open(path, encoding="utf-8", newline="").read()
    mutated, why = mutate(original, m)
    label = f"[{i:2}/{len(mutants)}] {m['name']}"
    if mutated is None:
        results.append((m, "stale"))
        print(f"{label}: STALE ({why}): update the list", flush=True)
        continue
    try:
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(mutated)
        ok, log = build_tree()
        if not ok:
            results.append((m, "no-build"))
            print(f"{label}: DOES NOT BUILD: fix the mutant", flush=True)
            continue
        passed, failed, note = run_suite()
    finally:
        # Written anew, so the next build compiles the original again.
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(original)
    if passed:
        results.append((m, "survived"))
        print(f"{label}: SURVIVED: {m['must']}", flush=True)
    else:
        results.append((m, "caught"))
        shown = ", ".join(failed[:3]) + (f" and {len(failed) - 3} more" if len(failed) > 3 else "")
        print(f"{label}: caught by {shown or note}", flush=True)

counts = {k: sum(1 for _, r in results if r == k) for k in ("caught", "survived", "stale", "no-build")}
print(f"== {len(results)} mutants: {counts['caught']} caught, {counts['survived']} survived"
      + (f", {counts['stale']} stale" if counts["stale"] else "")
      + (f", {counts['no-build']} not built" if counts["no-build"] else ""))
for m, r in results:
    if r == "survived":
        print(f"   survived: {m['name']} ({m['file']}): {m['must']}")
sys.exit(0 if counts["caught"] == len(results) else 1)
PY
