"""SHAP values of a fitted tree: the estimators' ``shap_values`` and ``expected_value_``,
:func:`to_shap` (the tree in the form shap's ``TreeExplainer`` reads) and
:func:`plot_contributions`."""

from __future__ import annotations

import math

import numpy as np
from sklearn.utils.validation import check_is_fitted

__all__ = ["plot_contributions", "to_shap"]

_LEFT, _RIGHT = 0, 1
_DEFAULT_LEFT, _DEFAULT_RIGHT = -3, -4  # placeholders of children_default until the end


def shap_values(estimator, X, n_threads):
    """The values of the rows of `X`, already read as `predict` reads them."""
    values, _ = estimator._native.shap_values(X, n_threads)
    return values


def expected_value(estimator):
    """What a row's values add up to with its prediction: the regressor's mean training
    target (a float), the classifier's class frequencies (one per class), both over the
    training cover."""
    check_is_fitted(estimator)
    empty = np.empty((0, estimator.n_features_in_), dtype=np.float64)
    _, expected = estimator._native.shap_values(empty)
    return float(expected[0]) if not hasattr(estimator, "classes_") else expected


# --------------------------------------------------------------------------- rules


def left_codes(tree, i):
    """The category codes that categorical split `i` sends left: the node's "categories"
    when the tree has them (a set split), else its single "category"."""
    codes = tree.get("categories")
    if codes is not None and len(codes[i]) > 0:
        return sorted(int(c) for c in codes[i])
    return [int(tree["category"][i])]


def _code_bounds(code):
    """The values [low, high) that read as category `code` (rounded half away from zero;
    negative values are missing, so code 0 starts at 0)."""
    return (0.0 if code == 0 else code - 0.5), code + 0.5


_MAX_CODE = 2**32 - 2  # 2**32 - 1 is the missing code, never a category


def left_region(tree, i, is_categorical):
    """The values that split `i` sends left, as a sorted list of disjoint [low, high)
    intervals (None for an unbounded end), or None when no value goes left: a category test
    on a numeric column, an interval on a categorical one, or only invalid codes."""
    feature = int(tree["feature"][i])
    categorical_column = bool(is_categorical[feature]) if feature < len(is_categorical) else False
    if tree["is_categorical"][i]:
        if not categorical_column:
            return None
        region = []
        for code in left_codes(tree, i):
            if not 0 <= code <= _MAX_CODE:
                continue
            low, high = _code_bounds(code)
            if region and region[-1][1] == low:  # neighbouring codes form one interval
                region[-1] = (region[-1][0], high)
            else:
                region.append((low, high))
        return region or None
    if categorical_column:
        return None
    lower, upper = float(tree["lower"][i]), float(tree["upper"][i])
    return [(None if lower == -math.inf else lower, None if upper == math.inf else upper)]


def _chain(region):
    """`region` as thresholds t_1 < ... < t_r of tests ``x <= t`` and the side (_LEFT or
    _RIGHT) of each of the r + 1 segments they cut the line into."""
    thresholds, sides = [], []
    for low, high in region:
        # x < v is x <= the largest double below v.
        if low is not None:
            thresholds.append(float(np.nextafter(low, -np.inf)))
            sides.append(_RIGHT)
        if high is not None:
            thresholds.append(float(np.nextafter(high, -np.inf)))
            sides.append(_LEFT)
    if not thresholds:  # only "not missing": every finite value goes left
        return [np.finfo(np.float64).max], [_LEFT, _RIGHT]
    sides.append(_RIGHT if region[-1][1] is not None else _LEFT)
    return thresholds, sides


# ------------------------------------------------------------------------ to_shap


def _leaf_outputs(tree, n_outputs):
    n = tree["node_count"]
    values = np.zeros((n, n_outputs), dtype=np.float64)
    if "proba" in tree:
        for i, proba in enumerate(tree["proba"]):
            k = min(len(proba), n_outputs)
            values[i, :k] = proba[:k]
    else:
        values[:, 0] = np.asarray(tree["value"], dtype=np.float64)
    return values


def _covers(tree):
    """Leaves carry their weighted_n_samples, splits the sum of their children's: the
    covers the native values use."""
    left, right = tree["children_left"], tree["children_right"]
    cover = [float(w) for w in tree["weighted_n_samples"]]
    for i in range(tree["node_count"] - 1, -1, -1):  # children follow their parent
        if not tree["is_leaf"][i]:
            cover[i] = cover[left[i]] + cover[right[i]]
    return cover


def _copy_scales(count):
    """Powers of two summing to 1 for `count` copies of a subtree: scaling covers by a power
    of two keeps every ratio between them exact."""
    return [2.0 ** -(k + 1) for k in range(count - 1)] + [2.0 ** -(count - 1)]


def _shap_tree(tree, is_categorical, n_outputs):
    leaf_values = _leaf_outputs(tree, n_outputs)
    cover = _covers(tree)
    left_of, right_of = tree["children_left"], tree["children_right"]
    cl, cr, cd, features, thresholds, weights, source = [], [], [], [], [], [], []

    def new_node(feature, threshold, weight, leaf):
        cl.append(-1)
        cr.append(-1)
        cd.append(-1)
        features.append(feature)
        thresholds.append(threshold)
        weights.append(weight)
        source.append(leaf)
        return len(cl) - 1

    def attach(parent, side, child):
        if parent >= 0:
            (cl if side == _LEFT else cr)[parent] = child

    # (zelk node, scale of its covers, parent in the output, side of the parent)
    stack = [(0, 1.0, -1, _LEFT)]
    while stack:
        i, scale, parent, side = stack.pop()
        if tree["is_leaf"][i]:
            attach(parent, side, new_node(-2, -2.0, scale * cover[i], i))
            continue
        subtrees = (left_of[i], right_of[i])
        feature = int(tree["feature"][i])
        region = left_region(tree, i, is_categorical)
        if region is None:
            # Nothing goes left, but the left subtree still counts where the feature is
            # unknown: a test that no value passes keeps it.
            node = new_node(feature, math.nan, scale * cover[i], -1)
            cd[node] = _DEFAULT_RIGHT
            attach(parent, side, node)
            stack.append((subtrees[1], scale, node, _RIGHT))
            stack.append((subtrees[0], scale, node, _LEFT))
            continue
        cuts, sides = _chain(region)
        scales = {s: iter(_copy_scales(sides.count(s))) for s in (_LEFT, _RIGHT)}
        copies = [(subtrees[s], scale * next(scales[s])) for s in sides]
        # Chain node j tests x <= cuts[j]: segment j to its left, node j + 1 (or the last
        # segment) to its right; its cover is what lies below it.
        below = [0.0] * (len(copies) + 1)
        for j in range(len(copies) - 1, -1, -1):
            below[j] = below[j + 1] + copies[j][1] * cover[copies[j][0]]
        node = parent
        for j, cut in enumerate(cuts):
            prev, node = node, new_node(feature, float(cut), below[j], -1)
            attach(prev, side if j == 0 else _RIGHT, node)
            # Missing values go right in zelk: down the chain to the first right segment.
            cd[node] = _DEFAULT_LEFT if sides[j] == _RIGHT else _DEFAULT_RIGHT
            stack.append((copies[j][0], copies[j][1], node, _LEFT))
        stack.append((copies[-1][0], copies[-1][1], node, _RIGHT))
    cl, cr = np.asarray(cl, dtype=np.int64), np.asarray(cr, dtype=np.int64)
    cd = np.asarray(cd, dtype=np.int64)
    cd = np.where(cd == _DEFAULT_LEFT, cl, np.where(cd == _DEFAULT_RIGHT, cr, cd))
    weights = np.asarray(weights, dtype=np.float64)
    values = np.zeros((len(source), n_outputs), dtype=np.float64)
    for j in range(len(source) - 1, -1, -1):  # children follow their parent
        if source[j] >= 0:
            values[j] = leaf_values[source[j]]
        elif weights[j] > 0:
            values[j] = (weights[cl[j]] * values[cl[j]] + weights[cr[j]] * values[cr[j]]) / weights[
                j
            ]
    return {
        "children_left": cl,
        "children_right": cr,
        "children_default": cd,
        "features": np.asarray(features, dtype=np.int64),
        "thresholds": np.asarray(thresholds, dtype=np.float64),
        "values": values,
        "node_sample_weight": weights,
    }


def to_shap(estimator):
    """The fitted tree of a zelk estimator as the model dictionary that shap's
    ``TreeExplainer`` takes, so that
    ``shap.TreeExplainer(zelk.to_shap(est)).shap_values(X)`` gives ``est.shap_values(X)``
    (path-dependent, explaining ``predict`` for the regressor and ``predict_proba`` for the
    classifier; ``X`` as a float array, categorical columns as their codes).

    shap's trees test ``x <= threshold`` and send missing values one way. A zelk split that
    a single such test cannot express (a bounded interval, a category) becomes a short chain
    of tests on its feature, with a copy of a subtree under each segment of the chain that
    leads to it; the copies share the subtree's cover in powers of two, so every ratio of
    covers, and with it every value, is kept. Needs no shap to build.
    """
    check_is_fitted(estimator)
    tree = estimator.export_tree()
    n_outputs = len(estimator.classes_) if hasattr(estimator, "classes_") else 1
    return {
        "trees": [_shap_tree(tree, np.asarray(estimator.is_categorical_, bool), n_outputs)],
        "base_offset": 0.0,
        "tree_output": "raw_value",
        "input_dtype": np.float64,
        "internal_dtype": np.float64,
    }


# ---------------------------------------------------------------------------- plot


def plot_contributions(
    estimator, x, *, feature_names=None, class_index=None, max_features=10, ax=None
):
    """Draw one row's SHAP values as horizontal bars, largest first, from the expected value
    to the row's prediction (with matplotlib: ``pip install 'zelk[plot]'``).

    ``x`` is one row (a 1-D array-like, or a one-row 2-D input of any kind ``predict``
    takes). For a classifier, ``class_index`` chooses the class whose probability is
    explained (default: the predicted class). Features with a value of zero are left out,
    those beyond ``max_features`` summed into one bar. Returns the matplotlib Axes.
    """
    from ._plot import _require_matplotlib

    _require_matplotlib("plot_contributions")
    check_is_fitted(estimator)
    if isinstance(x, (list, tuple, np.ndarray)) and np.ndim(x) == 1:
        x = np.asarray(x, dtype=np.float64).reshape(1, -1)
    values = estimator.shap_values(x)
    if values.shape[0] != 1:
        raise ValueError(f"plot_contributions explains one row; got {values.shape[0]}.")
    base = estimator.expected_value_
    title = "prediction"
    if values.ndim == 3:
        if class_index is None:
            class_index = int(np.argmax(base + values[0].sum(axis=0)))
        values, base = values[..., class_index], base[class_index]
        title = f"P(class {estimator.classes_[class_index]})"
    row = values[0]
    if feature_names is None:
        names = getattr(estimator, "feature_names_in_", None)
        feature_names = (
            [str(n) for n in names]
            if names is not None
            else [f"feature_{j}" for j in range(row.shape[0])]
        )
    # Features the row's value does not depend on (the tree never reads them) are left out.
    order = [j for j in np.argsort(-np.abs(row), kind="stable") if row[j] != 0]
    shown = order[:max_features]
    labels = [str(feature_names[j]) for j in shown]
    bars = [float(row[j]) for j in shown]
    if len(order) > max_features:
        labels.append(f"{len(order) - max_features} other features")
        bars.append(float(row[order[max_features:]].sum()))
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(7, 0.45 * len(bars) + 1.5))
    positions = np.arange(len(bars))[::-1]
    colours = ["#c0392b" if v > 0 else "#2471a3" for v in bars]
    ax.barh(positions, bars, color=colours)
    ax.set_yticks(positions, labels)
    ax.axvline(0.0, color="black", linewidth=0.8)
    span = max((abs(v) for v in bars), default=0.0) or 1.0
    for p, v in zip(positions, bars):
        ax.text(
            v + (0.01 if v >= 0 else -0.01) * span,
            p,
            f"{v:+.3g}",
            va="center",
            ha="left" if v >= 0 else "right",
            fontsize=9,
        )
    ax.set_xlim(-1.25 * span, 1.25 * span)
    ax.set_xlabel("SHAP value (contribution to the prediction)")
    ax.set_title(f"{title}: {base + row.sum():.4g} = expected {base:.4g} + contributions")
    return ax
