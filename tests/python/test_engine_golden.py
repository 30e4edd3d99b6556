"""Trees that zelk._engine grows, compared with recorded exports (statistics included).

Every task kind, both modes, both validations, with and without sample weights, on one and
two threads: restructuring growth must leave each of these trees bit-identical. To record them
anew after a deliberate change of behaviour: ZELK_RECORD_GOLDEN=1 pytest this file.
"""

import json
import os
from pathlib import Path

import numpy as np
import pytest

from zelk import _engine
from test_golden_trees import _decode, _encode, _same

GOLDEN = Path(__file__).with_name("golden") / "engine"
RECORD = os.environ.get("ZELK_RECORD_GOLDEN") == "1"

KINDS = {
    "mse": (_engine.Regressor, dict(criterion="mse")),
    "mae": (_engine.Regressor, dict(criterion="mae")),
    "entropy": (_engine.Classifier, dict(n_classes=3, criterion="entropy")),
    "gini": (_engine.Classifier, dict(n_classes=3, criterion="gini", split_style="bin")),
    "f1": (_engine.ObjectiveClassifier, dict(n_classes=3, objective="f1", average="macro")),
}
CASES = [
    (kind, mode, validation, weighted)
    for kind in KINDS
    for mode in ("strict", "fast")
    for validation in ("prune", "candidates")
    for weighted in (False, True)
    if not (kind == "mae" and mode == "fast")
]


def _data(regression, seed, n=300, m=5):
    """Continuous columns with NaN, a categorical column 3, and weights with some zeros."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    x[:, 3] = rng.integers(0, 6, size=n)
    x[rng.random(n) < 0.1, 1] = np.nan
    signal = x[:, 0] - 0.5 * x[:, 2] ** 2 + np.where(x[:, 3] == 2, 1.5, 0.0)
    signal = signal + 0.6 * rng.normal(size=n)
    weights = rng.exponential(size=n)
    weights[rng.random(n) < 0.1] = 0.0
    if regression:
        return x, signal, weights
    edges = np.quantile(signal, [1 / 3, 2 / 3])
    return x, np.searchsorted(edges, signal).astype(np.int64), weights


def _name(kind, mode, validation, weighted):
    return f"{kind}_{mode}_{validation}" + ("_weighted" if weighted else "")


@pytest.mark.parametrize("kind, mode, validation, weighted", CASES,
                         ids=[_name(*c) for c in CASES])
def test_engine_tree_matches_recorded(kind, mode, validation, weighted):
    cls, settings = KINDS[kind]
    regression = cls is _engine.Regressor
    path = GOLDEN / f"{_name(kind, mode, validation, weighted)}.json"
    data_path = GOLDEN / ("data_regression.json" if regression else "data_classification.json")
    if RECORD:
        x, y, w = _data(regression, seed=1 if regression else 2)
        GOLDEN.mkdir(parents=True, exist_ok=True)
        data_path.write_text(json.dumps(_encode({"x": x.tolist(), "y": y.tolist(),
                                                 "w": w.tolist()})))
    data = _decode(json.loads(data_path.read_text()))
    x = np.array(data["x"], dtype=np.float64)
    y = np.array(data["y"], dtype=np.float64 if regression else np.int64)
    w = np.array(data["w"], dtype=np.float64)
    if not RECORD:
        recorded = _decode(json.loads(path.read_text()))
    for threads in (1, 2):
        est = cls(**settings, mode=mode, validation=validation, categorical=[3], cv_folds=4,
                  min_samples_leaf=2, n_bins=16, categorical_split="one_vs_rest",
                  parallel=threads > 1, n_threads=threads, parallel_min_samples=1)
        est.fit(x, y, w if weighted else None)
        tree = est.export_tree()
        # The category sets came later: a one-category split's set is its category.
        categories = tree.pop("categories")
        assert categories == [[c] if cat else [] for c, cat in
                              zip(tree["category"], tree["is_categorical"])]
        if RECORD:
            path.write_text(json.dumps(_encode(tree)))
            break
        assert _same(tree, recorded), f"{path.stem} on {threads} thread(s) grew another tree"
