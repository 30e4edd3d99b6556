"""The estimators' docstrings; their Parameters sections come from the tables of settings."""

from ._params import CLASSIFIER, REGRESSOR

_ATTRIBUTES = """
    n_features_in_ : int
        Number of features seen in fit.

    feature_names_in_ : ndarray of str
        Column names of a DataFrame seen in fit (only for such inputs).

    is_categorical_ : ndarray of bool
        Which training columns are categorical.

    feature_importances_ : ndarray of float
        Impurity-based (in-sample) importances.

    validated_importances_ : ndarray of float
        Importances from the splits' held-out (validated) gains.
"""

_WEIGHTS = """
    Sample weights: ``fit`` takes ``sample_weight``, and every count and sum
    that growth, scoring, the leaves and the exported statistics use is
    weighted: the folds' statistics, the class frequencies and means of the
    leaves, the impurities and "weighted_n_samples". Rows, not weight units,
    are dealt into each node's folds, so an integer weight is not the same as
    repeating the row (a repeated row can land in several folds, a weighted
    one lands in one); scikit-learn's sample-weight equivalence checks are
    expected to fail for that reason. A row of zero weight still routes down
    the tree and counts in "n_samples", but takes part in no statistic: not in
    the quantile bin edges (which come from the rows of positive weight, each
    counted once), not in ``min_samples_split`` and ``min_samples_leaf``
    (which count rows of positive weight), not in any score. Weights of 1 grow
    the unweighted tree exactly, and scaling every weight by a power of two
    changes nothing but "weighted_n_samples".
"""

_MISSING = """
    Missing values: NaN is allowed in ``X``; a sample whose value is missing
    for a split's feature always goes to the right child, in training and in
    prediction. Infinite values are rejected.
"""


def _docstring(intro, table, attributes, **holes):
    """`intro`, then a Parameters section with one entry per row of `table` (its text's
    holes filled from `holes`), the Attributes section and the notes."""
    entries = "".join(
        f"\n    {name} : {row.rule.kind}, default="
        + (f'"{row.default}"' if isinstance(row.default, str) else repr(row.default))
        + row.doc.format(**holes)
        + "\n"
        for name, row in table.items()
    )
    return (
        intro
        + "\n\n    Parameters\n    ----------"
        + entries
        + "\n    Attributes\n    ----------"
        + attributes
        + _WEIGHTS
        + _MISSING
    )


REGRESSOR_DOC = _docstring(
    """A regression tree whose splits are chosen by k-fold validation inside each node.

    At every node, each candidate split is scored on ``cv_folds`` folds of the
    node's own samples, the fold scores are combined by ``aggregator``, and the
    best candidate is accepted when its score beats ``min_impurity_decrease``.
    Leaves predict the mean target of their training samples.""",
    REGRESSOR,
    _ATTRIBUTES,
    held_out_loss='squared error; absolute error from the sides\' medians for "mae"',
    candidate_score="impurity decrease",
    tree_loss="squared error",
    monotonic_target="The constrained value is the prediction, the leaf's mean target.",
)

CLASSIFIER_DOC = _docstring(
    """A classification tree whose splits are chosen by k-fold validation inside each node.

    At every node, each candidate split is scored on ``cv_folds`` folds of the
    node's own samples, either by its validation impurity decrease
    (``criterion``) or, when ``objective`` is set, by the gain of a
    classification metric over predicting the node's majority class. Leaves
    predict the most frequent training class; ``predict_proba`` returns the
    leaf's class frequencies.""",
    CLASSIFIER,
    """
    classes_ : ndarray
        The class labels, sorted; ``predict_proba`` columns follow this order.

    n_classes_ : int
        Number of classes.
"""
    + _ATTRIBUTES,
    held_out_loss="the Brier score of the sides' class frequencies, smoothed by one "
    "pseudo-sample per class; with ``objective`` the node's split maximises the "
    "metric and the folds judge it the same way",
    candidate_score="impurity decrease (or, with ``objective``, the metric's gain)",
    tree_loss="misclassification",
    monotonic_target="The constrained value is the probability of the second class,\n"
    "        ``predict_proba(X)[:, 1]`` (``classes_[1]``); constraints need two classes\n"
    "        and an impurity criterion (``objective=None``).",
)
