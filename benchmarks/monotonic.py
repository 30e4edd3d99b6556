"""Monotonic constraints on a real set: BostonHousing from R's mlbench, with the median value
rising in `rm` (rooms per dwelling) and falling in `lstat` (share of lower-status population).

    python benchmarks/monotonic.py               # the README's figures and docs/monotonic.png
    python benchmarks/monotonic.py --repeats 1   # a shorter run

The set is read through R as benchmarks/generalization.py reads it (Rscript with mlbench;
`chas` becomes a pandas category). Each model, constrained and free, in both modes, is scored
by 5-fold cross-validation repeated --repeats times, the same splits for every model: the mean
R2 over the folds and its standard deviation. Then, fitted on the whole set, how many rows
break each order (the row's prediction falls somewhere as `rm` rises, or rises as `lstat` rises,
over a grid of the feature's range), and the picture: the prediction along `rm` with every other
feature at its median (`chas` at its most frequent level).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.metrics import r2_score
from sklearn.model_selection import RepeatedKFold

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from generalization import load_real, real_data_available  # noqa: E402

from zelk import ZELKRegressor  # noqa: E402

PICTURE = HERE.parent / "docs" / "monotonic.png"


def constraints(columns):
    return [1 if c == "rm" else -1 if c == "lstat" else 0 for c in columns]


def cv_r2(make, x, y, repeats):
    scores = []
    for train, test in RepeatedKFold(n_splits=5, n_repeats=repeats, random_state=0).split(x):
        model = make().fit(x.iloc[train], y[train])
        scores.append(r2_score(y[test], model.predict(x.iloc[test])))
    return np.mean(scores), np.std(scores)


def rows_breaking(model, x, column, direction, points=60):
    """Rows of `x` whose prediction moves against `direction` somewhere along `column`."""
    grid = np.linspace(x[column].min(), x[column].max(), points)
    broken = 0
    for i in range(len(x)):
        rows = x.iloc[[i] * points].copy()
        rows[column] = grid
        broken += bool(np.any(np.diff(model.predict(rows)) * direction < 0))
    return broken


def at_medians(x, column, grid):
    rows = x.iloc[[0] * len(grid)].copy()
    for c in x.columns:
        if isinstance(x[c].dtype, pd.CategoricalDtype):
            rows[c] = x[c].mode()[0]
        else:
            rows[c] = x[c].median()
    rows[column] = grid
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args()
    if not real_data_available():
        sys.exit("Rscript with mlbench is not installed")
    x, y = load_real("BostonHousing", "reg", "medv", [])
    cst = constraints(x.columns)
    print(f"BostonHousing: {x.shape[0]} rows, {x.shape[1]} features; rm +1, lstat -1")
    print(f"5-fold cross-validated R2, {args.repeats} repeats (mean, sd over the folds):")
    for mode in ("strict", "fast"):
        for name, monotonic in (("free", None), ("constrained", cst)):
            mean, sd = cv_r2(lambda: ZELKRegressor(mode=mode, monotonic_cst=monotonic), x, y,
                             args.repeats)
            model = ZELKRegressor(mode=mode, monotonic_cst=monotonic).fit(x, y)
            broken = [rows_breaking(model, x, "rm", 1), rows_breaking(model, x, "lstat", -1)]
            print(f"  {mode:6} {name:11}  R2 {mean:.3f} (sd {sd:.3f})  leaves "
                  f"{model.get_n_leaves():3}  rows breaking rm+ {broken[0]:3}, "
                  f"lstat- {broken[1]:3}")
    if args.no_plot:
        return
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    grid = np.linspace(x["rm"].min(), x["rm"].max(), 300)
    rows = at_medians(x, "rm", grid)
    fig, ax = plt.subplots(figsize=(6.4, 3.8), layout="constrained")
    ax.scatter(x["rm"], y, s=6, color="0.75", label="training rows")
    for name, monotonic, style in (("free", None, "--"), ("rm +1, lstat -1", cst, "-")):
        model = ZELKRegressor(monotonic_cst=monotonic).fit(x, y)
        ax.plot(grid, model.predict(rows), style, lw=2, label=f"zelk, {name}")
    ax.set_xlabel("rm (rooms per dwelling)")
    ax.set_ylabel("medv (median value, $1000s)")
    ax.set_title("Prediction along rm, other features at their medians")
    ax.legend(loc="upper left", frameon=False)
    fig.savefig(PICTURE, dpi=70)
    print(f"wrote {PICTURE.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
