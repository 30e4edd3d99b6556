"""Trees grown by a varied set of small fits, compared with recorded exports.

Optimisations must leave every tree bit-identical; these files pin the trees (and the inputs
they were grown from) so that any change in arithmetic or ordering shows up here. To record
them anew after a deliberate change of behaviour: ZELK_RECORD_GOLDEN=1 pytest this file.
"""

import json
import math
import os
from pathlib import Path

import numpy as np
import pytest

from zelk import _zelk as native
from conftest import arguments

GOLDEN = Path(__file__).with_name("golden")
RECORD = os.environ.get("ZELK_RECORD_GOLDEN") == "1"


def _data(kind, n, m, seed, n_classes=3, categorical=()):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    for j in categorical:
        x[:, j] = rng.integers(0, 6, size=n)
    x[rng.random(size=(n, m)) < 0.05] = np.nan
    signal = np.nan_to_num(x[:, 0]) - 0.5 * np.nan_to_num(x[:, 1]) ** 2
    if kind == "regress":
        return x, signal + rng.normal(scale=0.3, size=n)
    cuts = np.quantile(signal, np.linspace(0, 1, n_classes + 1)[1:-1])
    y = np.searchsorted(cuts, signal).astype(np.int64)
    flip = rng.random(n) < 0.1
    y[flip] = rng.integers(0, n_classes, size=int(flip.sum()))
    return x, y


# (name, class, data kind, constructor overrides)
CASES = [
    ("reg_strict_mse", native.RawRegressor, "regress", {}),
    ("reg_strict_mae_bin", native.RawRegressor, "regress",
     dict(criterion="mae", split_style="bin", n_bins=6, max_depth=5)),
    ("reg_strict_cat_median", native.RawRegressor, "regress",
     dict(categorical=[2], aggregator="median", cv_folds=4)),
    ("reg_fast_variance", native.RawRegressor, "regress",
     dict(mode="fast", criterion="variance", n_bins=16)),
    ("reg_fast_bin_trimmed", native.RawRegressor, "regress",
     dict(mode="fast", split_style="bin_membership", aggregator="trimmed_mean", agg_frac=0.2,
          categorical=[2], cv_folds=5)),
    ("reg_fast_noshuffle_snr", native.RawRegressor, "regress",
     dict(mode="fast", cv_shuffle=False, aggregator="signal_to_noise", agg_eps=0.01,
          min_samples_leaf=5)),
    ("cls_strict_gini", native.RawClassifier, "classify", {}),
    ("cls_strict_entropy_cat", native.RawClassifier, "classify",
     dict(criterion="entropy", categorical=[2], split_style="bin")),
    ("cls_fast_gini_lambda", native.RawClassifier, "classify",
     dict(mode="fast", aggregator="mean_minus_lambda_std", agg_lambda=0.5, n_bins=32)),
    ("cls_fast_entropy_cat", native.RawClassifier, "classify",
     dict(mode="fast", criterion="entropy", categorical=[2], max_depth=4)),
    ("obj_strict_f1_macro", native.RawObjectiveClassifier, "classify", {}),
    ("obj_strict_accuracy", native.RawObjectiveClassifier, "classify",
     dict(objective="accuracy", split_style="bin", categorical=[2])),
    ("obj_fast_fbeta_weighted", native.RawObjectiveClassifier, "classify",
     dict(mode="fast", objective="fbeta", average="weighted", beta=2.0, n_bins=16)),
    ("obj_fast_recall_micro", native.RawObjectiveClassifier, "classify",
     dict(mode="fast", objective="recall", average="micro", categorical=[2],
          split_style="bin")),
    ("obj_fast_precision_binary", native.RawObjectiveClassifier, "classify",
     dict(mode="fast", objective="precision", average="binary", pos_label=2, cv_folds=7)),
]


def _encode(value):
    """JSON with exact floats: repr round-trips, and NaN / infinities are spelled out."""
    if isinstance(value, float):
        return {"f": repr(value)}
    if isinstance(value, list):
        return [_encode(v) for v in value]
    if isinstance(value, dict):
        return {k: _encode(v) for k, v in value.items()}
    return value


def _decode(value):
    if isinstance(value, dict) and set(value) == {"f"}:
        return float(value["f"])
    if isinstance(value, list):
        return [_decode(v) for v in value]
    if isinstance(value, dict):
        return {k: _decode(v) for k, v in value.items()}
    return value


def _same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) ==
                                                      math.copysign(1, b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(_same(p, q) for p, q in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("name, cls, kind, overrides", CASES, ids=[c[0] for c in CASES])
def test_tree_matches_recorded(name, cls, kind, overrides):
    path = GOLDEN / f"{name}.json"
    if RECORD:
        x, y = _data(kind, n=300, m=5, seed=len(name),
                     categorical=overrides.get("categorical", ()))
        record = {"x": x.tolist(), "y": y.tolist(), "overrides": overrides}
    else:
        record = _decode(json.loads(path.read_text()))
    x = np.array(record["x"], dtype=np.float64)
    y = np.array(record["y"], dtype=np.float64 if kind == "regress" else np.int64)
    args = arguments(cls, **record["overrides"])
    for threads in (1, 2):
        est = cls(**{**args, "parallel": threads > 1, "n_threads": threads,
                     "parallel_min_samples": 0})
        est.fit(x, y)
        tree = est.export_tree()
        if RECORD:
            record["tree"] = tree
            GOLDEN.mkdir(exist_ok=True)
            path.write_text(json.dumps(_encode(record)))
            break
        assert _same(tree, record["tree"]), f"{name} with {threads} thread(s) grew another tree"
