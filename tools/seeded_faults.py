#!/usr/bin/env python3
"""Seeded faults: how many small changes to the C++ sources does the suite notice?

Each mutant is one small change (a flipped comparison or arithmetic operator, a
constant off by one, true/false or &&/|| swapped, a `!` dropped, one statement
line deleted, a boolean return negated). For each one the tool edits the file in
this checkout, rebuilds the preset incrementally, runs ctest and puts the file
back byte for byte (also on Ctrl-C or SIGTERM; a run killed harder leaves a note
in build/seeded-faults/ that the next run restores first). A mutant that does
not compile is replaced by the next one of its folder and not counted.

    tools/seeded_faults.py --list -n 60 --seed 1          # the plan, nothing runs
    nice -n 19 tools/seeded_faults.py -n 60 --seed 1 --out /tmp/faults/all
    tools/seeded_faults.py --paths src/capture src/platform/linux -n 30 \\
        --reuse /tmp/faults/all.json --out /tmp/faults/capture
    tools/seeded_faults.py --only 1a2b3c4d                # rerun one mutant
    tools/seeded_faults.py -n 20 --ctest-args="-R ^Channel"
    # a second checkout takes the same plan from its other end; each run reuses the other's results
    tools/seeded_faults.py -n 60 --out /tmp/faults/a --reuse /tmp/faults/b.json
    tools/seeded_faults.py --repo CLONE -n 60 --from-end --out /tmp/faults/b --reuse /tmp/faults/a.json

The sample is spread over folders: every folder gets at least one mutant, the
rest in proportion to its candidates, drawn in an order fixed by the seed and
the folder alone, so runs over fewer folders draw the same first mutants there
and --reuse can take their results from an earlier run of a commit that differs
from this one in nothing but this tool.
Results go to OUT.json and OUT.tsv; the summary ends with the survivors, the
places where the suite is blind. Timeouts count as detected.
"""
import argparse, hashlib, json, os, random, re, shlex, signal, subprocess, sys, threading, time
from pathlib import Path

FOREIGN = re.compile(r"\b(_WIN32|_WIN64|WIN32|_MSC_VER|__MINGW32__|__MINGW64__|__APPLE__|__ANDROID__)\b")
SIMD = {"_sse2": "sse2", "_sse41": "sse4_1", "_avx2": "avx2", "_avx512": "avx512f", "_neon": "neon"}
SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "+": "-", "-": "+", "*": "/",
        "/": "*", "+=": "-=", "-=": "+=", "*=": "/=", "/=": "*=", "&&": "||", "||": "&&"}
BINARY = re.compile(r"(?<=\s)(<=|>=|==|!=|\+=|-=|\*=|/=|&&|\|\||<|>|\+|-|\*|/)(?=\s)")
NUMBER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|\d[\d']*)(?=[uUlLzZ]*(?![\w.']))")
BOOL = re.compile(r"\b(true|false)\b")
NOT = re.compile(r"(?<![\w)\]!])!(?!=)")
BOOLISH = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>|&&|\|\|)(?=\s)")
ASSIGN = re.compile(r"^[\w:.\->\[\]()*]+\s*(?:[-+*/%|&^]|<<|>>)?=\s")
CALL = re.compile(r"^(?:\+\+|--)?[\w:.\->()]+(?:\(\)|\+\+|--)$")
NOT_STATEMENT = re.compile(r"^(return|break|continue|goto|case|default|using|typedef|namespace|template|friend)\b")
SOURCES = {".cpp", ".cc", ".h", ".hpp"}


def mask(text):
    """The lines of `text` with comments and literals blanked, columns kept."""
    out, in_block = [], False
    for line in text.split("\n"):
        chars, i = list(line), 0
        while i < len(line):
            if in_block or line.startswith("/*", i):
                end = line.find("*/", i + (0 if in_block else 2))
                stop = len(line) if end < 0 else end + 2
                chars[i:stop], i, in_block = " " * (stop - i), stop, end < 0
            elif line.startswith("//", i):
                chars[i:] = " " * (len(line) - i)
                break
            elif line[i] == '"' or (line[i] == "'" and not (i and line[i - 1].isdigit())):
                j = i + 1
                while j < len(line) and line[j] != line[i]:
                    j += 2 if line[j] == "\\" else 1
                j = min(j + 1, len(line))
                chars[i:j], i = " " * (j - i), j
            else:
                i += 1
        out.append("".join(chars))
    return out


def taken(word, cond):
    """Whether this build compiles a branch: other platforms' macros are off, every other macro on."""
    if cond.strip() == "0":
        return False
    if word in ("ifdef", "ifndef"):
        return bool(FOREIGN.search(cond)) == (word == "ifndef")
    return not FOREIGN.search(re.sub(r"!\s*(defined\s*\(?\s*)?\w+\)?", "", cond))


def live_lines(code):
    """False for preprocessor lines and for lines in branches this build skips."""
    stack, live, continued = [], [], False
    for line in code:
        s = line.strip()
        if continued or s.startswith("#"):
            continued = s.endswith("\\")
            d = re.match(r"#\s*(\w+)\s*(.*)", s)
            word, cond = d.groups() if d else ("", "")
            if word in ("if", "ifdef", "ifndef"):
                t = taken(word, cond)
                stack.append([t, t])
            elif word in ("elif", "else") and stack:
                t = not stack[-1][1] and (word == "else" or taken("if", cond))
                stack[-1] = [t, stack[-1][1] or t]
            elif word == "endif" and stack:
                stack.pop()
            live.append(False)
        else:
            live.append(all(t for t, _ in stack))
    return live


def collapse(s):
    """Bracketed parts reduced to empty brackets, template arguments dropped."""
    for _ in range(8):
        s = re.sub(r"\([^()]*\)", "()", re.sub(r"\[[^\[\]]*\]", "[]", re.sub(r"<[\w:, ]*>", "", s)))
    return s


def mutants_of(rel, text):
    lines, code = text.split("\n"), mask(text)
    found, prev = [], ""

    def add(no, col, old, new, kind):
        key = f"{rel}:{no}:{col}:{old}->{new}"
        found.append(dict(id=hashlib.sha1(key.encode()).hexdigest()[:8], file=rel, line=no, col=col,
                          old=old, new=new, kind=kind))

    for no, (line, c, live) in enumerate(zip(lines, code, live_lines(code)), 1):
        s = c.strip()
        if live and s and "static_assert" not in c:
            for m in BINARY.finditer(c):
                add(no, m.start(), m.group(), SWAP[m.group()], "operator")
            for m in NUMBER.finditer(c):
                old = m.group()
                base = 16 if old[:2] in ("0x", "0X") else 10
                value = int(old.replace("'", ""), base)
                new = {0: 1, 1: 0}.get(value, value + 1)
                add(no, m.start(), old, old[:2] + format(new, "X") if base == 16 else str(new), "constant")
            for m in BOOL.finditer(c):
                add(no, m.start(), m.group(), "false" if m.group() == "true" else "true", "boolean")
            for m in NOT.finditer(c):
                add(no, m.start(), "!", "", "negation")
            ret = re.match(r"return (.+);$", s)
            flat = collapse(ret.group(1)) if ret else "?"
            if "?" not in flat and (BOOLISH.search(flat) or flat.startswith("!")):
                col = c.index("return ") + 7
                old = line[col:col + len(ret.group(1))]
                add(no, col, old, f"!({old})", "return")
            body = collapse(s[:-1].strip())
            if (s.endswith(";") and not NOT_STATEMENT.match(s) and not re.search(r"= (default|delete);$", s)
                    and (prev == "" or prev[-1] in ";{}:") and (ASSIGN.match(body) or CALL.match(body))):
                col = len(c) - len(c.lstrip())
                add(no, col, line[col:len(c.rstrip())], "", "statement")
        if s:
            prev = "{" if s.startswith("#") else s
    return found


def candidates(repo, paths, excludes):
    flags = set()
    if Path("/proc/cpuinfo").exists():
        flags = set(re.findall(r"\w+", Path("/proc/cpuinfo").read_text().split("\nflags", 1)[-1].split("\n", 1)[0]))
    found = []
    for top in paths:
        for f in sorted((repo / top).rglob("*") if (repo / top).is_dir() else [repo / top]):
            rel = f.relative_to(repo).as_posix()
            if f.suffix not in SOURCES or any(rel == e or rel.startswith(e.rstrip("/") + "/") for e in excludes):
                continue
            if any(f.stem.endswith(tag) and flag not in flags for tag, flag in SIMD.items()):
                continue
            found += mutants_of(rel, f.read_text(encoding="utf-8"))
    return found


def folder(m):
    return m["file"].rsplit("/", 1)[0]


def plan(found, n, seed):
    """Per folder, its candidates in seeded order and how many to count."""
    queues = {}
    for m in found:
        queues.setdefault(folder(m), []).append(m)
    for name, queue in queues.items():
        random.Random(f"{seed}:{name}").shuffle(queue)
    quota = {name: int(n >= len(queues)) for name in queues}
    rest, total = n - sum(quota.values()), len(found)
    share = {name: rest * len(q) / total for name, q in queues.items()}
    for name in queues:
        quota[name] += int(share[name])
    for name in sorted(queues, key=lambda k: (int(share[k]) - share[k], k))[:n - sum(quota.values())]:
        quota[name] += 1
    return {name: (queues[name], min(quota[name], len(queues[name]))) for name in sorted(queues)}


def run(cmd, cwd, timeout, grace=20):
    """(exit status, None when stopped; output; first test ctest reports failed). Waiting ends `grace`
    seconds after such a report, as a stray process of a failed test can hold ctest's output open;
    the process group, strays included, is ended in any case."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace", start_new_session=True)
    lines, failed, status = [], [], None

    def read():
        for line in p.stdout:
            lines.append(line)
            hit = re.search(r"Test\s+#\d+: (\S+) .*\*\*\*", line)
            if hit and not failed:
                failed.append((hit.group(1), time.monotonic()))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline and not (failed and time.monotonic() > failed[0][1] + grace):
            if p.poll() is not None:
                status = p.returncode
                break
            time.sleep(0.5)
    finally:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        p.wait()
        reader.join(5)
    return status, "".join(lines), failed[0][0] if failed else ""


class Runner:
    def __init__(self, args, repo):
        self.repo, self.args = repo, args
        self.journal = repo / "build" / "seeded-faults" / "pending.json"
        targets = ["--target", *args.targets] if args.targets else []
        self.build = ["cmake", "--build", "--preset", args.preset, *targets]
        self.ctest = ["ctest", "--preset", args.preset, "--stop-on-failure", "-j", str(args.jobs),
                      *shlex.split(args.ctest_args)]

    def restore_leftover(self):
        if self.journal.exists():
            for rel, original in json.loads(self.journal.read_text()).items():
                (self.repo / rel).write_bytes(original.encode("utf-8", "surrogateescape"))
                print(f"restored {rel} left mutated by an earlier run")
            self.journal.unlink()

    def baseline(self, suite):
        for cmd in (["cmake", "--preset", self.args.preset], self.build) + ((self.ctest,) if suite else ()):
            started = time.monotonic()
            status, out, _ = run(cmd, self.repo, 3600)
            if status != 0:
                sys.exit(f"without mutants `{' '.join(cmd)}` fails:\n{out[-3000:]}")
        return time.monotonic() - started if suite else 0.0

    def measure(self, m, timeout):
        path = self.repo / m["file"]
        original = path.read_bytes()
        lines = original.decode("utf-8").split("\n")
        line = lines[m["line"] - 1]
        assert line[m["col"]:m["col"] + len(m["old"])] == m["old"], m
        lines[m["line"] - 1] = line[:m["col"]] + m["new"] + line[m["col"] + len(m["old"]):]
        self.journal.parent.mkdir(parents=True, exist_ok=True)
        self.journal.write_text(json.dumps({m["file"]: original.decode("utf-8", "surrogateescape")}))
        started = time.monotonic()
        try:
            path.write_bytes("\n".join(lines).encode("utf-8"))
            if run(self.build, self.repo, 1800)[0] != 0:
                return dict(status="no-build", test="", seconds=round(time.monotonic() - started))
            status, _, test = run(self.ctest, self.repo, timeout)
            verdict = "survived" if status == 0 else "timeout" if status is None and not test else "killed"
            return dict(status=verdict, test=test or (f"(ctest exit {status})" if status else ""),
                        seconds=round(time.monotonic() - started))
        finally:
            path.write_bytes(original)
            self.journal.unlink()


def describe(m):
    change = f'delete "{m["old"]}"' if m["kind"] == "statement" else f'{m["old"]} -> {m["new"] or "(nothing)"}'
    return f'{m["id"]}  {m["file"]}:{m["line"]}:{m["col"] + 1}  {m["kind"]}: {change}'


def save(out, meta, results):
    out.parent.mkdir(parents=True, exist_ok=True)
    partial = out.with_suffix(".json.part")
    partial.write_text(json.dumps(dict(meta, mutants=results), indent=1, ensure_ascii=False))
    os.replace(partial, out.with_suffix(".json"))
    keys = ["id", "status", "file", "line", "kind", "old", "new", "test", "seconds"]
    rows = ["\t".join(keys)] + ["\t".join(str(r.get(k, "")).replace("\t", " ") for k in keys) for r in results]
    out.with_suffix(".tsv").write_text("\n".join(rows) + "\n")


def summary(results):
    counted = [r for r in results if r["status"] != "no-build"]
    def rate(rs):
        hit = sum(r["status"] in ("killed", "timeout") for r in rs)
        return f"{hit}/{len(rs)} = {100 * hit / len(rs):.0f} %" if rs else "-"
    print(f"\nkill rate {rate(counted)} (no-build discarded: {len(results) - len(counted)})")
    for name in sorted({folder(r) for r in counted}):
        print(f"  {name:24} {rate([r for r in counted if folder(r) == name])}")
    survivors = [r for r in counted if r["status"] == "survived"]
    print(f"survivors ({len(survivors)}):")
    for r in survivors:
        print("  " + describe(r))


def main():
    repo_default = Path(__file__).resolve().parent.parent
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--repo", type=Path, default=repo_default, help="checkout to mutate (default: this one)")
    p.add_argument("--paths", nargs="+", default=["src"])
    p.add_argument("--exclude", nargs="*", default=["src/platform/win"])
    p.add_argument("-n", "--count", type=int, default=60, help="mutants to count (no-build ones are replaced)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--preset", default="linux")
    p.add_argument("--targets", nargs="*", default=["nimbra-capture", "nimbra_unit_tests"] + [
                       "fuzz_" + name for name in ("watch_wire", "sps_rewrite", "stdin_commands", "command_line",
                                                   "watch_pipeline")],
                   help="what to rebuild for each mutant (empty: everything)")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--ctest-args", default="", help='more ctest arguments, e.g. "-R ^Channel"')
    p.add_argument("--timeout", type=float, help="seconds of ctest per mutant (default: 3 x the clean run, >= 60)")
    p.add_argument("--out", type=Path, help="result prefix (default: build/seeded-faults/seed-N)")
    p.add_argument("--reuse", type=Path, nargs="*", default=[], help="earlier results of the same sources and tests")
    p.add_argument("--list", action="store_true", help="print the planned mutants and stop")
    p.add_argument("--only", help="run the mutant with this id")
    p.add_argument("--from-end", action="store_true",
                   help="walk the plan backwards, without replacing no-build mutants: a second run in another "
                        "checkout that meets a normal run in the middle, each reusing the other's results")
    args = p.parse_args()
    repo = args.repo.resolve()
    found = candidates(repo, args.paths, args.exclude)
    if args.only:
        todo = {"only": ([m for m in found if m["id"] == args.only], 1)}
        if not todo["only"][0]:
            sys.exit(f"no mutant {args.only} under {' '.join(args.paths)}")
    else:
        todo = plan(found, args.count, args.seed)
    if args.from_end:
        todo = {name: (queue[:quota][::-1], quota) for name, (queue, quota) in reversed(todo.items())}
    if args.list:
        for queue, quota in todo.values():
            for m in sorted(queue[:quota], key=lambda m: (m["file"], m["line"], m["col"])):
                print(describe(m))
        print(f"{sum(q for _, q in todo.values())} of {len(found)} candidates")
        return
    runner = Runner(args, repo)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    runner.restore_leftover()
    commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=repo, capture_output=True, text=True).stdout.strip()
    this_tool = ":(exclude)" + Path(__file__).resolve().relative_to(repo_default).as_posix()
    dirty = bool(subprocess.run(["git", "status", "--porcelain", "--", ".", this_tool], cwd=repo,
                                capture_output=True, text=True).stdout.strip())
    meta = dict(commit=commit, dirty=dirty, seed=args.seed, paths=args.paths, exclude=args.exclude,
                preset=args.preset, ctest=" ".join(runner.ctest))
    compatible, seen = {}, {}

    def reused(mid):
        """An earlier result for this mutant: files are re-read each time, so that two runs can share
        work, and what was read stays known, so that a run can resume into its own result file."""
        for f in args.reuse:
            try:
                old = json.loads(f.read_text())
            except (OSError, ValueError):
                continue
            key = (old["commit"], old["dirty"], old["ctest"])
            if key not in compatible:
                same = subprocess.run(["git", "diff", "--quiet", old["commit"], "HEAD", "--", ".", this_tool],
                                      cwd=repo, capture_output=True).returncode == 0
                compatible[key] = same and not old["dirty"] and not dirty and old["ctest"] == meta["ctest"]
                if not compatible[key]:
                    print(f"not reusing {f}: other sources, tests or ctest command")
            if compatible[key]:
                seen.update({r["id"]: r for r in old["mutants"]})
        return seen.get(mid)

    clean = runner.baseline(suite=not args.only and args.timeout is None)
    timeout = args.timeout or (max(60.0, 3 * clean) if clean else 600.0)
    meta.update(clean_seconds=round(clean), timeout=round(timeout))
    print(f"commit {commit[:12]}{' (dirty)' if dirty else ''}, clean suite {clean:.0f} s, timeout {timeout:.0f} s")
    out = args.out or repo / "build" / "seeded-faults" / f"seed-{args.seed}"
    results = []
    for queue, quota in todo.values():
        counted = 0
        for m in queue:
            if counted == quota:
                break
            earlier = reused(m["id"])
            r = dict(m, **(earlier or runner.measure(m, timeout)))
            r["reused"] = bool(earlier)
            results.append(r)
            counted += r["status"] != "no-build"
            reuse_note = " (reused)" * r["reused"]
            print(f'{r["status"]:9} {r["seconds"]:4}s {describe(r)} {r["test"]}{reuse_note}', flush=True)
            save(out, meta, results)
    summary(results)
    print(f"results: {out.with_suffix('.json')} {out.with_suffix('.tsv')}")


if __name__ == "__main__":
    main()
