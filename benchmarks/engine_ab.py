"""A/B timing of the level-1 engine: the working tree's engine/ against a git revision's, on the corpus.

    python benchmarks/engine_ab.py [--base REV] [--rounds N] [--slice-mb MB]
    python benchmarks/engine_ab.py --variants baseline,v3 [--rounds N] [--slice-mb MB]

Builds benchmarks/engine_timer.cpp once with each engine (with CMake, the compiler from $CXX), then runs the two builds
in turn, round after round and taking turns at going first, on the first MB of every corpus file, so
that a slow phase of a shared machine falls on both alike; reports each file's best time as MB/s and
the ratio new ÷ base, and fails if the two engines write different bytes for any file. Steadier than two runs of bench.py when
deciding whether an engine change pays. With --variants, one build of the working tree instead, its
compiled forms of level 1 (chosen by KAVO_ENGINE_VARIANT) compared the same way: the first named is the base.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_CORPUS = Path(os.environ.get("KAVO_CORPUS", Path.home() / ".cache" / "kavo-corpus"))


def has_timer_target(tree: Path) -> bool:
    return "engine_timer" in (tree / "CMakeLists.txt").read_text()


def build(tree: Path, work: Path, with_cmake: bool) -> Path:
    """engine_timer (the working tree's) against the engine of a source tree, through the tree's own
    CMake build, or compiled by hand for a tree from before that target (then both are, so that the
    two builds differ in their engines only)."""
    timer = tree / "benchmarks" / "engine_timer.cpp"
    if tree != ROOT:
        shutil.copyfile(HERE / "engine_timer.cpp", timer)
    if with_cmake:
        cmake = shutil.which("cmake") or sys.exit("cmake is missing (pip install cmake)")
        configure = [cmake, "-S", str(tree), "-B", str(work), "-DCMAKE_BUILD_TYPE=Release", "-DKAVO_BUILD_MODULE=OFF",
                     "-DKAVO_BUILD_COMMAND=OFF", "-DKAVO_BUILD_BENCHMARKS=ON"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True, capture_output=True)
        subprocess.run([cmake, "--build", str(work), "-j", "2", "--target", "engine_timer"], check=True,
                       capture_output=True)
        return work / "engine_timer"
    engine = tree / "engine"
    out = work / "engine_timer"
    work.mkdir(parents=True, exist_ok=True)
    sources = sorted(str(p) for p in engine.glob("*.cpp"))
    subprocess.run([os.environ.get("CXX", "g++"), "-O3", "-std=c++17", f"-I{engine}", str(timer), *sources, "-o",
                    str(out)], check=True)
    return out


def run(binary: Path, outdir: Path, files: list[Path], repeats: int, variant: str | None = None) -> dict[str, float]:
    env = dict(os.environ, KAVO_ENGINE_VARIANT=variant) if variant else None
    done = subprocess.run([str(binary), str(repeats), str(outdir), *map(str, files)], check=True,
                          capture_output=True, text=True, env=env)
    return {name: float(sec) for name, sec in (line.split() for line in done.stdout.splitlines())}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--base", default="HEAD", help="git revision of the engine to compare with (default HEAD)")
    p.add_argument("--rounds", type=int, default=20, help="rounds of both builds, 2 runs each (default 20)")
    p.add_argument("--slice-mb", type=float, default=2.0, help="MB from the start of every file (default 2)")
    p.add_argument("--variants", help="compare compiled forms of one build instead, e.g. baseline,v3 (base first)")
    p.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS, help="corpus directory (default %(default)s)")
    args = p.parse_args()

    files = sorted(f for f in args.corpus.iterdir() if f.is_file() and f.name.upper() != f.name)
    if not files:
        sys.exit(f"no corpus in {args.corpus}: run benchmarks/bench.py once to build it")
    with tempfile.TemporaryDirectory(prefix="kavo-ab-") as tmp_name:
        tmp = Path(tmp_name)
        if args.variants:
            names = args.variants.split(",")
            if len(names) != 2:
                sys.exit("--variants takes two names, base first: e.g. baseline,v3")
            one = build(ROOT, tmp / "build-new", True)
            sides = {"base": (one, names[0]), "new": (one, names[1])}
            for side, (binary, variant) in sides.items():
                probe = subprocess.run([str(binary), "1", str(tmp), str(files[0])], capture_output=True, text=True,
                                       env=dict(os.environ, KAVO_ENGINE_VARIANT=variant), check=True)
                used = probe.stderr.split("engine variant: ")[-1].split()[0] if "engine variant: " in probe.stderr else None
                if used != variant:
                    sys.exit(f"this CPU does not run the engine variant {variant!r} ({probe.stderr.strip()})")
            label = f"variant {names[0]} against variant {names[1]} of the working tree"
        else:
            base_tree = tmp / "base"
            base_tree.mkdir()
            archive = subprocess.run(["git", "-C", str(ROOT), "archive", args.base], check=True,
                                     capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", str(base_tree)], input=archive, check=True)
            with_cmake = has_timer_target(base_tree) and has_timer_target(ROOT)
            sides = {"base": (build(base_tree, tmp / "build-base", with_cmake), None),
                     "new": (build(ROOT, tmp / "build-new", with_cmake), None)}
            label = f"base {args.base} against the working tree"

        slices = tmp / "slices"
        slices.mkdir()
        limit = int(args.slice_mb * 1e6)
        for f in files:
            with open(f, "rb") as src:
                (slices / f.name).write_bytes(src.read(limit))
        inputs = [slices / f.name for f in files]
        sizes = {f.name: (slices / f.name).stat().st_size for f in files}

        best: dict[str, dict[str, float]] = {side: {} for side in sides}
        order = list(sides.items())
        for r in range(args.rounds):
            # The build that runs second in a round reads a few percent slower on a shared machine,
            # so the two take turns at going first.
            for side, (binary, variant) in (order if r % 2 == 0 else order[::-1]):
                outdir = tmp / f"out-{side}"
                outdir.mkdir(exist_ok=True)
                for name, sec in run(binary, outdir, inputs, 2, variant).items():
                    best[side][name] = min(best[side].get(name, float("inf")), sec)

        differ = [f.name for f in files
                  if (tmp / "out-base" / f"{f.name}.deflate").read_bytes()
                  != (tmp / "out-new" / f"{f.name}.deflate").read_bytes()]
        print(f"{label}; best of {2 * args.rounds} runs, CPU time; MB = 10^6 bytes\n")
        print("| file | base MB/s | new MB/s | new ÷ base |")
        print("| --- | ---: | ---: | ---: |")
        for f in files:
            b, n = best["base"][f.name], best["new"][f.name]
            print(f"| {f.name} | {sizes[f.name] / b / 1e6:,.0f} | {sizes[f.name] / n / 1e6:,.0f} | {b / n:.3f}× |")
        total_b, total_n = sum(best["base"].values()), sum(best["new"].values())
        print(f"| all (time summed) | | | {total_b / total_n:.3f}× |")
        if differ:
            print("\nOUTPUT DIFFERS for: " + ", ".join(differ))
            return 1
        print("\nsame output for every file")
    return 0


if __name__ == "__main__":
    sys.exit(main())
