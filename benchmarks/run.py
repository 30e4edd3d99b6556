"""Side-by-side benchmark of zelk against scikit-learn's tree and a single LightGBM tree.

    python benchmarks/run.py            # the full suite (takes a while on 2 cores)
    python benchmarks/run.py --quick    # smaller data, fewer repeats
    python benchmarks/run.py --no-peers # zelk alone, e.g. to compare two builds

Prints a table of medians with zelk/peer ratios and writes every figure to
benchmarks/results/latest.json. Peak memory of a fit is measured in a fresh process per
case, as resident-set growth over the process's state just before the fit.
"""

from __future__ import annotations

import argparse
import json
import math
import os

# BLAS worker threads left spinning after data generation would steal a core from the fits.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from sklearn.datasets import make_classification, make_regression
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

import zelk

try:
    import lightgbm
except ImportError:  # the peer is optional: `pip install .[bench]`
    lightgbm = None

RESULTS = Path(__file__).resolve().parent / "results"


def make_data(task: str, n: int, m: int, seed: int = 0):
    if task == "regress":
        x, y = make_regression(n_samples=n, n_features=m, n_informative=max(2, m // 2),
                               noise=10.0, random_state=seed)
    else:
        x, y = make_classification(n_samples=n, n_features=m, n_informative=max(2, m // 2),
                                   n_redundant=0, flip_y=0.05, random_state=seed)
    return np.ascontiguousarray(x, dtype=np.float64), y


def zelk_model(task, mode, depth, n_bins, folds, threads, validation="candidates"):
    """Scored per candidate (with the classifier's former default criterion, gini), the rows
    compare with earlier runs; validation="prune" is the package's default."""
    if task == "regress":
        return zelk.ZELKRegressor(mode=mode, max_depth=depth, n_bins=n_bins, cv_folds=folds,
                                  n_jobs=threads, validation=validation)
    criterion = "gini" if validation == "candidates" else "entropy"
    return zelk.ZELKClassifier(mode=mode, max_depth=depth, n_bins=n_bins, cv_folds=folds,
                               n_jobs=threads, validation=validation, criterion=criterion)


def sklearn_model(task, depth):
    cls = DecisionTreeRegressor if task == "regress" else DecisionTreeClassifier
    return cls(max_depth=depth, random_state=0)


def lightgbm_fit(task, depth, n_bins, threads):
    """A single tree: one boosting round, learning rate 1, no bagging."""
    params = dict(n_estimators=1, learning_rate=1.0, max_depth=depth,
                  num_leaves=min(2 ** depth, 131072), max_bin=n_bins, subsample=1.0,
                  colsample_bytree=1.0, min_child_samples=1, n_jobs=threads, verbose=-1)
    if task == "regress":
        return lightgbm.LGBMRegressor(**params)
    return lightgbm.LGBMClassifier(**params)


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def peers(task, mode, depth, n_bins, folds, threads, validation, with_peers=True):
    models = {f"zelk-{mode}": lambda: zelk_model(task, mode, depth, n_bins, folds, threads,
                                                 validation)}
    if with_peers:
        models["sklearn"] = lambda: sklearn_model(task, depth)
    if with_peers and lightgbm is not None:
        models["lightgbm"] = lambda: lightgbm_fit(task, depth, n_bins, threads)
    return models


def run_case(name, task, mode, validation, n, m, depth, n_bins, folds, threads, repeats,
             with_peers=True):
    x, y = make_data(task, n, m)
    row = {"case": name, "task": task, "mode": mode, "validation": validation, "n": n, "m": m,
           "depth": depth, "n_bins": n_bins, "folds": folds, "threads": threads, "fit": {},
           "predict": {}}
    for label, build in peers(task, mode, depth, n_bins, folds, threads, validation,
                              with_peers).items():
        model = build()
        row["fit"][label] = timed(lambda: model.fit(x, y), repeats)
        row["predict"][label] = timed(lambda: model.predict(x), repeats)
    return row


def weighted_case(name, task, n, m, depth, n_bins, folds, threads, repeats):
    """The same fast fit without and with sample weights (all positive, spread over two
    orders of magnitude: rows of zero weight would leave less to score), alternated so that
    both see the same machine."""
    x, y = make_data(task, n, m)
    weights = 10.0 ** np.random.default_rng(1).uniform(-1.0, 1.0, n)
    model = zelk_model(task, "fast", depth, n_bins, folds, threads)
    plain, weighted = [], []
    for _ in range(repeats):
        plain.append(timed(lambda: model.fit(x, y), 1))
        weighted.append(timed(lambda: model.fit(x, y, sample_weight=weights), 1))
    row = {"case": name, "n": n, "m": m, "unweighted": statistics.median(plain),
           "weighted": statistics.median(weighted)}
    row["ratio"] = row["weighted"] / row["unweighted"]
    print(f"{name:16s} n={n:>8d}  fast fit unweighted {row['unweighted']:7.3f}s  weighted "
          f"{row['weighted']:7.3f}s (x{row['ratio']:.2f})", flush=True)
    return row


def child_memory(task, mode, n, m, depth, n_bins, folds, threads):
    """Runs in a fresh process: RSS growth of one fit over the state just before it."""
    x, y = make_data(task, n, m)
    model = zelk_model(task, mode, depth, n_bins, folds, threads)
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak-RSS mark
    before = rss_bytes("VmRSS")
    model.fit(x, y)
    peak = rss_bytes("VmHWM")
    print(json.dumps({"growth_bytes": peak - before, "input_bytes": x.nbytes}))


def rss_bytes(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def measure_memory(task, mode, n, m, depth, n_bins, folds, threads):
    out = subprocess.run([sys.executable, __file__, "--child-memory", task, mode, str(n), str(m),
                          str(depth), str(n_bins), str(folds), str(threads)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def fitted_exponent(ns, times):
    lx = [math.log(v) for v in ns]
    ly = [math.log(v) for v in times]
    mx, my = statistics.fmean(lx), statistics.fmean(ly)
    return sum((a - mx) * (b - my) for a, b in zip(lx, ly)) / sum((a - mx) ** 2 for a in lx)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small data, fewer repeats")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--no-peers", action="store_true",
                        help="time zelk alone (no scikit-learn or LightGBM fits)")
    parser.add_argument("--no-weighted", action="store_true",
                        help="leave out the weighted fits (a build without sample_weight)")
    parser.add_argument("--child-memory", nargs=8, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child_memory:
        task, mode, *nums = args.child_memory
        child_memory(task, mode, *map(int, nums))
        return

    big = 100_000 if args.quick else 1_000_000
    strict_n = 20_000 if args.quick else 100_000
    repeats = 1 if args.quick else 3
    t = args.threads
    cases = [
        ("fast-regress", "regress", "fast", "candidates", big, 32, 10, 255, 5),
        ("fast-binary", "classify", "fast", "candidates", big, 32, 10, 255, 5),
        ("strict-regress", "regress", "strict", "candidates", strict_n, 16, 8, 16, 5),
        ("strict-binary", "classify", "strict", "candidates", strict_n, 16, 8, 16, 5),
        ("fast-regress-prune", "regress", "fast", "prune", big, 32, 10, 255, 5),
        ("fast-binary-prune", "classify", "fast", "prune", big, 32, 10, 255, 5),
        ("strict-binary-prune", "classify", "strict", "prune", strict_n, 16, 8, 16, 5),
    ]
    report = {"machine": platform.platform(), "cpus": os.cpu_count(), "threads": t,
              "quick": args.quick, "lightgbm": getattr(lightgbm, "__version__", None),
              "cases": [], "weighted": [], "memory": [], "scaling": {}, "thread_speedup": {}}
    for name, task, mode, validation, n, m, depth, n_bins, folds in cases:
        row = run_case(name, task, mode, validation, n, m, depth, n_bins, folds, t, repeats,
                       not args.no_peers)
        report["cases"].append(row)
        print_row(row)
    if not args.no_weighted:
        for name, task, mode, _, n, m, depth, n_bins, folds in cases[:2]:
            report["weighted"].append(
                weighted_case(name + "-w", task, n, m, depth, n_bins, folds, t, repeats))
    for name, task, mode, _, n, m, depth, n_bins, folds in cases[:2]:
        mem = measure_memory(task, mode, n, m, depth, n_bins, folds, t)
        mem["budget_bytes"] = 2 * n * m + 64 * n
        mem["case"] = name
        report["memory"].append(mem)
        print(f"{name:16s} fit peak growth {mem['growth_bytes'] / 2**20:8.1f} MiB "
              f"(budget {mem['budget_bytes'] / 2**20:.1f} MiB)")
    ns = [10_000, 30_000, 100_000, 300_000] + ([] if args.quick else [1_000_000])
    times = []
    for n in ns:
        x, y = make_data("regress", n, 32)
        model = zelk_model("regress", "fast", 10, 255, 5, t)
        times.append(timed(lambda: model.fit(x, y), repeats))
    report["scaling"] = {"n": ns, "fit_seconds": times, "exponent": fitted_exponent(ns, times)}
    print(f"fast fit time ~ n^{report['scaling']['exponent']:.3f} over n = {ns[0]}..{ns[-1]}")
    x, y = make_data("regress", big, 32)
    one = timed(lambda: zelk_model("regress", "fast", 10, 255, 5, 1).fit(x, y), repeats)
    two = timed(lambda: zelk_model("regress", "fast", 10, 255, 5, 2).fit(x, y), repeats)
    report["thread_speedup"] = {"one_thread": one, "two_threads": two, "speedup": one / two}
    print(f"two threads vs one on {big} x 32 fast: {one / two:.2f}x")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest.json").write_text(json.dumps(report, indent=2))


def print_row(row):
    fit, pred = row["fit"], row["predict"]
    zk = f"zelk-{row['mode']}"
    parts = [f"{row['case']:16s} n={row['n']:>8d}  fit {zk} {fit[zk]:7.3f}s"]
    for peer in ("sklearn", "lightgbm"):
        if peer in fit:
            parts.append(f"{peer} {fit[peer]:7.3f}s (x{fit[zk] / fit[peer]:.2f})")
    parts.append(f"| predict {pred[zk]:.3f}s")
    if "sklearn" in pred:
        parts.append(f"vs sklearn {pred['sklearn']:.3f}s (x{pred[zk] / pred['sklearn']:.2f})")
    print("  ".join(parts), flush=True)


if __name__ == "__main__":
    main()
