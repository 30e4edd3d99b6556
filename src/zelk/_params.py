"""The estimators' settings, one row each: default, check and documentation.

The rows give the ``__init__`` defaults (a test holds the signatures to them), the checks
that ``fit`` runs, the Parameters section of the docstrings and the defaults that older
pickles lack. A check takes the setting's name, its value and the training sample count and
returns what the native tree is given.
"""

from __future__ import annotations

import numbers
import os
from typing import Any, Callable, NamedTuple

import numpy as np

_U64_MAX = 2**64 - 1


class Rule(NamedTuple):
    kind: str  # the type in the docstring
    check: Callable[[str, Any, Any], Any] | None  # None: checked where the value is used


class Setting(NamedTuple):
    default: Any
    rule: Rule
    doc: str


def is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def is_real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def fail(name, expected, value):
    raise ValueError(f"The '{name}' parameter must be {expected}; got {value!r}.")


def _int(low, none=False):
    def check(name, value, n_samples):
        if none and value is None:
            return None
        if not is_int(value) or not low <= value <= _U64_MAX:
            fail(name, f"an int >= {low}", value)
        return int(value)

    return Rule("int or None" if none else "int", check)


def _real(low=None, high=None, low_open=False):
    def check(name, value, n_samples):
        if not is_real(value) or not np.isfinite(value):
            fail(name, "a finite real number", value)
        value = float(value)
        if (low is not None and (value < low or (low_open and value == low))) or (
            high is not None and value > high
        ):
            bound = f"a real number {'>' if low_open else '>='} {low}"
            fail(name, bound + (f" and <= {high}" if high is not None else ""), value)
        return value

    return Rule("float", check)


def _count(low, frac_high_open):
    """An absolute sample count from an int or a fraction of the training samples."""

    def check(name, value, n_samples):
        if is_int(value) and low <= value <= _U64_MAX:
            return int(value)
        if (
            is_real(value)
            and not is_int(value)
            and (0.0 < value < 1.0 or (not frac_high_open and value == 1.0))
        ):
            return max(low, int(np.ceil(float(value) * n_samples)))
        fail(name, f"an int >= {low} or a float in (0, 1{')' if frac_high_open else ']'}", value)

    return Rule("int or float", check)


def _one_of(*choices, none=False, shown=None):
    def check(name, value, n_samples):
        if none and value is None:
            return None
        if not isinstance(value, str) or value not in choices:
            fail(name, "one of " + ", ".join(repr(c) for c in choices), value)
        return value

    listed = ", ".join(["None"] * none + [f'"{c}"' for c in shown or choices])
    return Rule("{" + listed + "}", check)


def _bool(name, value, n_samples):
    if not isinstance(value, (bool, np.bool_)):
        fail(name, "a bool", value)
    return bool(value)


def _n_threads(name, n_jobs, n_samples):
    if n_jobs is None:
        return 1
    if not is_int(n_jobs) or n_jobs == 0:
        fail(name, "None or a non-zero int", n_jobs)
    cores = os.cpu_count() or 1
    return int(n_jobs) if n_jobs > 0 else max(1, cores + 1 + int(n_jobs))


def _class_weight(name, value, n_samples):
    if value is not None and not (isinstance(value, dict) or value == "balanced"):
        fail(name, 'None, "balanced" or a dict of label: weight', value)
    return value


def _monotonic_cst(name, value, n_samples):
    """None, or one int of -1, 0, 1 per feature; the count and the columns are checked
    against the training set where it is known."""
    if value is None:
        return None
    array = None
    if not isinstance(value, (str, bytes)):
        try:
            array = np.asarray(value)
        except (TypeError, ValueError):
            pass
    # Integers or floats holding integers; booleans, text and objects are refused.
    numeric = array is not None and array.ndim == 1 and array.dtype.kind in "iuf"
    if not numeric or not np.all(np.isin(array, (-1, 0, 1))):
        fail(name, "None or an array-like of -1, 0 or 1, one per feature", value)
    return [int(c) for c in array]


def _criterion(default, *choices):
    return Setting(default, _one_of(*choices), """
        The impurity a split reduces. With "prune" its decrease on a node's
        samples chooses the node's split (and each fold's pick); with
        "candidates" its decrease on each fold's held-out part scores every
        candidate.""")


# The settings of growth both estimators share, in their constructors' order. A docstring
# may leave holes ({name}) that each estimator fills with its own wording.
GROWTH = {
    "max_depth": Setting(None, _int(0, none=True), """
        Depth limit of the tree; None grows until no split survives the
        validation folds (0 gives a single leaf)."""),
    "min_samples_split": Setting(2, _count(2, False), """
        A node with fewer samples is not split. A float in (0, 1] is a
        fraction of the training samples (rounded up)."""),
    "min_samples_leaf": Setting(1, _count(1, True), """
        Minimum samples on each side of a split. A float in (0, 1) is a
        fraction of the training samples (rounded up)."""),
    "min_weight_fraction_leaf": Setting(0.0, _real(0.0, 0.5), """
        Minimum fraction of the training set's total sample weight (of its
        sample count without ``sample_weight``) on each side of a split, in
        [0, 0.5]."""),
    "min_impurity_decrease": Setting(0.0, _real(), """
        With "tree", a positive value is a bar for growth: a node splits only
        when its split's validated gain per sample exceeds it. With "prune",
        a split is kept only when its subtree's validated gain per sample
        exceeds this value; with "candidates", only when its aggregated
        validation score is strictly greater than this value."""),
    "validation": Setting("tree", _one_of("tree", "prune", "candidates"), """
        How the tree is validated and sized.

        "tree": the tree is grown as under "prune" (every split measured on
        its node's folds; a cut of categories ordered by the node's own
        sample gives way to another feature's split that gains more on
        those folds by over one standard error of the paired difference),
        then sized as a whole: ten trees grown the same way, each on nine
        tenths of the rows, give every row's held-out {tree_loss} under each
        subtree of the weakest-link (cost-complexity) pruning sequence. The
        subtree of least cross-validated risk must beat a single leaf by a
        one-sided paired test at the 1% level, else the tree is a single
        leaf; the smallest subtree whose risk exceeds the least by at most
        half the standard error of their paired difference is kept.

        "prune": the node splits by its best candidate on its own samples;
        on every fold the training part picks the split it likes best and
        that pick is measured on the fold's held-out part, with the
        predictions learnt on the training part ({held_out_loss}). The
        node's validated gain is the aggregate of these held-out gains,
        corrected for the training parts being smaller than the node. After
        growth, a split is kept only when the validated gain of its subtree
        (its own and that of the splits kept below it) is positive, and the
        whole tree must beat a single leaf at the 5% level (one-sided t test
        on the folds): data with nothing to learn give a single leaf.

        "candidates": every candidate split is scored on every fold by its
        {candidate_score} on the fold's held-out part, the fold scores are
        aggregated, and the best candidate splits the node while its score
        beats ``min_impurity_decrease``; nothing is pruned."""),
    "n_bins": Setting(16, _int(2), """
        Quantile bins per continuous feature: candidate thresholds are the
        bin edges."""),
    "cv_folds": Setting(5, _int(2), """
        Folds over each node's own samples on which every candidate split is
        scored."""),
    "cv_seed": Setting(0, _int(0), """
        Seed of the fold shuffle (0 .. 2**64 - 1). With "tree" it also deals
        the rows into the sizing's ten folds: where the cross-validated risk is
        flat near its least, another seed may keep another size at much the
        same accuracy."""),
    "cv_shuffle": Setting(True, Rule("bool", _bool), """
        Shuffle a node's samples before dealing them into folds."""),
    "mode": Setting("auto", _one_of("auto", "strict", "fast"), """
        "strict" re-fits the bins on every fold's training part; "fast" bins
        every feature once and scores candidates from histograms. "auto" is
        "strict" while the training set has at most 500,000 values
        (samples times features), or when fast mode cannot grow the fit (the
        criterion "mae", ``n_bins`` above 65535), else "fast": on
        data that large the global bins are as fine as a node's own, and fast
        mode is several times faster. The same data always take the same mode."""),
    "split_style": Setting(
        "threshold", _one_of("threshold", "bin", "bin_membership", shown=("threshold", "bin")),
        """
        "threshold" splits a continuous feature at one bin edge; "bin" sends
        one quantile bin left and the rest right ("bin_membership" is an
        alias of "bin")."""),
    "thresholds": Setting("midpoint", _one_of("midpoint", "value"), """
        Where strict mode places a split between two of the node's values:
        "midpoint" halfway between them, so that a new value in the gap goes
        to the side it is nearer (a bin's bounds likewise); "value" at the
        upper one, as zelk did before. Fast mode cuts at its bins' edges
        either way."""),
    "aggregator": Setting("mean", _one_of(
        "mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"), """
        How the fold scores become one score. With "candidates" it ranks the
        candidates; with "prune" it combines the folds' held-out gains of a
        node's split ("signal_to_noise", a ratio without the gains' units,
        combines them as "mean" there)."""),
    "agg_frac": Setting(0.1, _real(0.0, 0.5), """
        Fraction trimmed at each end by "trimmed_mean" (0 .. 0.5)."""),
    "agg_eps": Setting(1e-9, _real(0.0, low_open=True), """
        Added to the fold standard deviation by "signal_to_noise" (> 0)."""),
    "agg_lambda": Setting(1.0, _real(0.0), """
        Multiple of the fold standard deviation subtracted by
        "mean_minus_lambda_std" (>= 0)."""),
    "parallel_min_samples": Setting(512, _int(1), """
        In "fast" mode, the smallest node whose features are scored on
        worker threads."""),
    "n_jobs": Setting(None, Rule("int or None", _n_threads), """
        Worker threads that score a node's features: None means 1, -1 all
        cores, -2 all but one. Trees are identical whatever the value."""),
    # Checked as the training columns are read.
    "categorical_features": Setting(
        "from_dtype", Rule('None, "from_dtype", array-like of int, str or bool', None), """
        Categorical columns: column indices, column names of a DataFrame, a
        boolean mask over the columns, or "from_dtype" for the columns of a
        categorical dtype (pandas ``category`` or pyarrow dictionary, polars
        ``Categorical`` or ``Enum``; no column for other inputs).
        How a categorical split divides the categories is ``categorical_split``.
        Numeric categorical values are category codes (rounded to the
        nearest integer; negative values and NaN are missing); columns of a
        categorical dtype are encoded by their declared categories (pandas
        ``category``, polars ``Enum``) or their sorted distinct values, as
        are text columns named here, and a category unseen in training is
        treated as missing."""),
    "categorical_split": Setting("subset", _one_of("subset", "one_vs_rest"), """
        "subset": a categorical split sends a set of the node's categories
        left, the best cut of the categories ordered by the node's mean target
        (regression), by the frequency of the second class (two classes), or
        by their class frequencies' first principal component (more classes);
        every fold orders the categories on its own training part. The
        objective classifier splits one category against the rest.
        "one_vs_rest": one category against all others. Missing and unseen
        categories go right."""),
    # Checked here for its values, in fit for its length and columns.
    "monotonic_cst": Setting(None, Rule("array-like of int of shape (n_features,) or None",
                                        _monotonic_cst), """
        Monotonic constraints, one per feature: 1 the prediction must not
        decrease as the feature increases (all else fixed), -1 must not
        increase, 0 none; None constrains nothing.
        {monotonic_target}
        A constrained feature splits by thresholds only; a split is taken
        only when its two sides' values keep the order, and each child's
        value is kept on its side of the midpoint of the two (and within its
        parent's bounds), so that the whole tree keeps it. A categorical feature
        cannot be constrained (its entry must be 0). A missing value takes
        the right branch, as at any split, and is outside the order.
        Constraints of 0 grow the unconstrained tree."""),
}

REGRESSOR = {
    "criterion": _criterion("mse", "mse", "variance", "mae"),
    **GROWTH,
    "min_samples_leaf": GROWTH["min_samples_leaf"]._replace(default=5),
}

CLASSIFIER = {
    "criterion": _criterion("entropy", "gini", "entropy"),
    "objective": Setting(None, _one_of(
        "accuracy", "precision", "recall", "f1", "fbeta", none=True), """
        None chooses splits by impurity (``criterion``); a metric name chooses
        them by that metric's cross-validated gain."""),
    "average": Setting(None, _one_of("binary", "micro", "macro", "weighted", none=True), """
        Averaging of "precision", "recall", "f1" and "fbeta" over classes.
        None means "binary" for two classes and "macro" otherwise; "binary"
        scores the class ``pos_label`` alone."""),
    # Checked against the classes seen in fit.
    "pos_label": Setting(None, Rule("label or None", None), """
        The positive class for "binary" averaging, in the label space of
        ``y``; None means the greater of the two classes (``classes_[1]``)."""),
    "beta": Setting(1.0, _real(0.0), """
        Weight of recall against precision in "fbeta" (>= 0)."""),
    "class_weight": Setting(None, Rule('None, "balanced" or dict', _class_weight), """
        Weights of the classes, as scikit-learn defines them: a dict maps labels
        of ``y`` to weights, "balanced" weighs each class by n_samples /
        (n_classes * its count), None weighs every class 1. They multiply
        ``sample_weight`` in ``fit``."""),
    **GROWTH,
}


def keep(estimator, arguments):
    """Stores the constructor's arguments unchanged, as scikit-learn requires."""
    for name in estimator._settings:
        setattr(estimator, name, arguments[name])
