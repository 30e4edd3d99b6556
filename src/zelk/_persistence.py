"""Pickled estimators: the native tree travels as its dictionary, and pickles of earlier
versions load with the settings they lacked."""

import numpy as np

from . import _engine

# Pickles made before the package drove zelk._engine name zelk._zelk's classes.
_LEGACY_KINDS = {
    "RawRegressor": "Regressor",
    "RawClassifier": "Classifier",
    "RawObjectiveClassifier": "ObjectiveClassifier",
}
# A setting that an earlier zelk did not have takes its default, except where the trees of
# that time grew otherwise: they were grown by validating candidates, with one category
# against the rest and thresholds at values.
_EARLIER_DEFAULTS = {"validation": "candidates", "categorical_split": "one_vs_rest",
                     "thresholds": "value"}


def pickled(state):
    """`state` with the native tree replaced by its dictionary and class name."""
    state = dict(state)
    native = state.pop("_native", None)
    if native is not None:
        state["_tree_state"] = native.export_tree()
        state["_native_kind"] = type(native).__name__
    return state


def unpickled(state, settings):
    """The attributes of a pickled `state`, with the rows of `settings` it lacks, and the
    native tree rebuilt from it (None for an unfitted estimator)."""
    state = dict(state)
    for name, row in settings.items():
        state.setdefault(name, _EARLIER_DEFAULTS.get(name, row.default))
    tree = state.pop("_tree_state", None)
    kind = state.pop("_native_kind", None)
    if tree is None:
        return state, None
    cls = getattr(_engine, _LEGACY_KINDS.get(kind, kind))
    categorical = [int(j) for j in np.flatnonzero(state["is_categorical_"])]
    if cls is _engine.Regressor:
        return state, cls.from_tree(tree, categorical=categorical)
    return state, cls.from_tree(tree, n_classes=len(state["classes_"]), categorical=categorical)
