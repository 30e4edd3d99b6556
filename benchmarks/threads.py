"""Fits side by side in Python threads: the native fit releases the interpreter lock.

    python benchmarks/threads.py                  # four fits of 100,000 x 16, mode "fast"
    python benchmarks/threads.py --mode strict    # the same in strict mode
    python benchmarks/threads.py --rows 20000     # a shorter run

Four regressors, each on its own data set of the given size (one thread each, n_jobs=None),
are fitted once one after another and once in a ThreadPoolExecutor of two workers; the best
of --repeats rounds of each is kept. Prints both times and their ratio: with the lock released
and two free cores it comes near 0.5; a fit holding the lock would give about 1. The threaded
trees are checked to be the serial ones. Other work on the machine takes cores from the
threads, so the process's CPU seconds per wall second in the threaded rounds are printed too:
near 2 when both fits ran at once (a fit holding the lock would keep it at 1 or below).
"""

from __future__ import annotations

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

from zelk import ZELKRegressor


def data_set(seed, rows, cols):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, cols))
    y = x[:, 0] + np.sin(2.0 * x[:, 1]) - 0.5 * x[:, 2] * x[:, 3] + rng.normal(size=rows)
    return x, y


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--cols", type=int, default=16)
    parser.add_argument("--fits", type=int, default=4)
    parser.add_argument("--mode", choices=["fast", "strict"], default="fast")
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()

    sets = [data_set(seed, args.rows, args.cols) for seed in range(args.fits)]

    def fit(i):
        x, y = sets[i]
        return ZELKRegressor(mode=args.mode).fit(x, y)

    serial_times, threaded_times, threaded_cpu = [], [], []
    for _ in range(args.repeats):
        start = time.perf_counter()
        serial = [fit(i) for i in range(args.fits)]
        serial_times.append(time.perf_counter() - start)
        start, cpu = time.perf_counter(), time.process_time()
        with ThreadPoolExecutor(2) as pool:
            threaded = list(pool.map(fit, range(args.fits)))
        threaded_times.append(time.perf_counter() - start)
        threaded_cpu.append((time.process_time() - cpu) / threaded_times[-1])
        for a, b in zip(serial, threaded):
            assert repr(a.export_tree()) == repr(b.export_tree()), "threaded tree differs"

    one, two = min(serial_times), min(threaded_times)
    # Other work on the machine takes cores from the threads: the load tells how much.
    print(f"{args.fits} fits of {args.rows:,} x {args.cols}, mode {args.mode!r}, "
          f"{os.cpu_count()} cores, best of {args.repeats}; load average at the end "
          f"{os.getloadavg()[0]:.2f}")
    print(f"  one after another        {one:8.2f} s")
    print(f"  ThreadPoolExecutor(2)    {two:8.2f} s")
    print(f"  ratio                    {two / one:8.3f}")
    print(f"  threaded CPU s / wall s  {max(threaded_cpu):8.2f}")


if __name__ == "__main__":
    main()
