"""Sample weights and class weights, and the scikit-learn checks they make fail."""

import numpy as np
from sklearn.utils.class_weight import compute_sample_weight

from ._params import is_real


def check_sample_weight(sample_weight, n_samples):
    """`sample_weight` as a float64 array of n_samples finite, non-negative weights that are
    not all zero (a number weighs every row the same), or None."""
    if sample_weight is None:
        return None
    if is_real(sample_weight):
        weights = np.full(n_samples, float(sample_weight))
    else:
        try:
            weights = np.asarray(sample_weight, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"sample_weight must hold numbers: {exc}") from None
        if weights.ndim != 1:
            raise ValueError(
                f"sample_weight must be 1-D with one weight per sample; got shape "
                f"{weights.shape}."
            )
        if weights.shape[0] != n_samples:
            raise ValueError(
                f"sample_weight has {weights.shape[0]} entries for {n_samples} samples."
            )
    if not np.isfinite(weights).all():
        raise ValueError("sample_weight must be finite; it holds NaN or infinity.")
    if (weights < 0).any():
        raise ValueError("sample_weight must be non-negative; it holds a negative weight.")
    if not (weights > 0).any():
        raise ValueError("sample_weight sums to zero: no sample has a positive weight.")
    return np.ascontiguousarray(weights)


def with_class_weights(class_weight, y, weights):
    """`weights` times the weight of each sample's class under a checked `class_weight`."""
    if class_weight is None:
        return weights
    by_class = compute_sample_weight(class_weight, y)
    with np.errstate(over="ignore"):
        product = by_class if weights is None else weights * by_class
    if np.isfinite(by_class).all() and not np.isfinite(product).all():
        raise ValueError(
            "class_weight times sample_weight exceeds the largest double; divide "
            "sample_weight by a common factor, which changes nothing but the weighted counts."
        )
    return check_sample_weight(product, y.shape[0])


# Rows, not weight units, are dealt into folds, so an integer weight and repeated rows grow
# different trees.
_EQUIVALENCE_REASON = (
    "rows, not weight units, are dealt into each node's cross-validation folds, so an "
    "integer weight is not equivalent to repeating the row"
)
EXPECTED_FAILED_CHECKS = {
    "check_sample_weight_equivalence_on_dense_data": _EQUIVALENCE_REASON,
    "check_sample_weight_equivalence_on_sparse_data": _EQUIVALENCE_REASON,
    "check_sample_weights_invariance": _EQUIVALENCE_REASON,  # scikit-learn < 1.6
}
