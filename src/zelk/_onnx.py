"""ONNX export of a fitted tree: :func:`to_onnx` (needs ``pip install 'zelk[onnx]'``)."""

from __future__ import annotations

import math

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._shap import left_codes, left_region

__all__ = ["to_onnx"]

# TreeEnsemble's node modes (ai.onnx.ml opset 5).
_LEQ, _LT, _GTE, _EQ, _MEMBER = 0, 1, 2, 4, 6
_MISSING_CODE = 2.0**32 - 1


def _require_onnx():
    try:
        import onnx
    except ImportError:  # pragma: no cover - depends on the environment
        raise ImportError("to_onnx needs the onnx package: pip install 'zelk[onnx]'") from None
    return onnx


class _Nodes:
    """The interior nodes of the ensemble's one tree, as TreeEnsemble's parallel arrays."""

    def __init__(self):
        self.feature, self.split, self.mode = [], [], []
        self.true_id, self.true_leaf, self.false_id, self.false_leaf = [], [], [], []
        self.members = []

    def add(self, feature, split, mode, members=()):
        self.feature.append(int(feature))
        self.split.append(float(split))
        self.mode.append(mode)
        self.true_id.append(0)
        self.true_leaf.append(0)
        self.false_id.append(0)
        self.false_leaf.append(0)
        if mode == _MEMBER:
            self.members.extend(float(c) for c in members)
            self.members.append(math.nan)
        return len(self.feature) - 1


class _Layout:
    """The columns the ensemble reads: the input (infinities made missing, as zelk reads
    them), then one 0/1 column per bounded interval and one column of category codes per
    categorical feature that a rule tests."""

    def __init__(self, n_features):
        self.n_features = n_features
        self.intervals = {}  # (feature, lower, upper) -> extra column
        self.codes = {}  # feature -> extra column

    def interval(self, feature, lower, upper):
        return self.n_features + self.intervals.setdefault(
            (feature, lower, upper), len(self.intervals)
        )

    def code(self, feature):
        return self.codes.setdefault(feature, len(self.codes))


def _rule(tree, i, is_categorical, layout):
    """(column key, split, mode, members) of split `i`, or None when nothing goes left."""
    if left_region(tree, i, is_categorical) is None:
        return None
    feature = int(tree["feature"][i])
    if tree["is_categorical"][i]:
        codes = [c for c in left_codes(tree, i) if 0 <= c < _MISSING_CODE]
        column = ("code", layout.code(feature))
        if len(codes) == 1:
            return column, float(codes[0]), _EQ, ()
        return column, math.nan, _MEMBER, codes
    lower, upper = float(tree["lower"][i]), float(tree["upper"][i])
    has_lower, has_upper = lower != -math.inf, upper != math.inf
    if has_lower and has_upper:  # computed in the graph, so that nothing is duplicated
        return ("x", layout.interval(feature, lower, upper)), 1.0, _EQ, ()
    if has_upper:
        return ("x", feature), upper, _LT, ()
    if has_lower:
        return ("x", feature), lower, _GTE, ()
    # Only "not missing": every finite value passes (infinities are missing by now).
    return ("x", feature), float(np.finfo(np.float64).max), _LEQ, ()


def _ensemble(tree, is_categorical, layout):
    """The ensemble's interior nodes and leaves of `tree`; each leaf's weight is its index
    in pre-order among the leaves kept. A split that sends nothing left is left out and its
    right subtree takes its place."""
    nodes = _Nodes()
    leaves = []  # zelk node index of each ensemble leaf
    pending_codes = []  # (ensemble node, code column) to shift once the columns are known
    left, right = tree["children_left"], tree["children_right"]
    # (zelk node, parent ensemble node, whether it is the parent's true branch)
    stack = [(0, -1, True)]
    root_is_leaf = False
    while stack:
        i, parent, is_true = stack.pop()
        while not tree["is_leaf"][i] and _rule(tree, i, is_categorical, layout) is None:
            i = right[i]
        if tree["is_leaf"][i]:
            leaves.append(i)
            target, index = len(leaves) - 1, 1
            if parent < 0:
                root_is_leaf = True
        else:
            (kind, column), split, mode, members = _rule(tree, i, is_categorical, layout)
            target, index = nodes.add(column, split, mode, members), 0
            if kind == "code":
                pending_codes.append(target)
            stack.append((right[i], target, False))
            stack.append((left[i], target, True))
        if parent >= 0:
            if is_true:
                nodes.true_id[parent], nodes.true_leaf[parent] = target, index
            else:
                nodes.false_id[parent], nodes.false_leaf[parent] = target, index
    first_code = layout.n_features + len(layout.intervals)
    for node in pending_codes:
        nodes.feature[node] += first_code
    if root_is_leaf:
        # A tree of one leaf still needs a root test: both of its branches give that leaf.
        leaves.append(leaves[0])
        root = nodes.add(0, math.inf, _LEQ)
        nodes.true_id[root], nodes.true_leaf[root] = 0, 1
        nodes.false_id[root], nodes.false_leaf[root] = 1, 1
    return nodes, leaves


def _label_tensor(classes):
    from onnx import TensorProto, helper

    kind = classes.dtype.kind
    if kind in "iu":
        return helper.make_tensor(
            "classes", TensorProto.INT64, [len(classes)], classes.astype(np.int64)
        )
    if kind == "f":
        return helper.make_tensor(
            "classes", TensorProto.DOUBLE, [len(classes)], classes.astype(np.float64)
        )
    if kind == "b":
        return helper.make_tensor("classes", TensorProto.BOOL, [len(classes)], classes.astype(bool))
    if kind == "U" or (kind == "O" and all(isinstance(c, str) for c in classes)):
        return helper.make_tensor(
            "classes", TensorProto.STRING, [len(classes)], [str(c).encode("utf-8") for c in classes]
        )
    raise ValueError(
        f"to_onnx exports integer, float, boolean or string class labels; classes_ has dtype "
        f"{classes.dtype}."
    )


def to_onnx(estimator, *, dtype=np.float64):
    """The fitted tree of a zelk estimator as an ``onnx.ModelProto`` whose ONNX Runtime
    outputs equal ``predict`` and, for the classifier, ``predict_proba``.

    The model takes one input "X", a (n_samples, n_features_in_) matrix of ``dtype``
    (float64 or float32) as ``predict`` takes an array: missing values as NaN, categorical
    columns as their codes (rounded half away from zero; negative or NaN is missing). The
    regressor's output is "variable" (float64, n_samples); the classifier's are "label"
    (from ``classes_``) and "probabilities" (float64, n_samples x n_classes).

    One ``ai.onnx.ml`` TreeEnsemble (opset 5) holds the tree with every missing value sent
    right. An interval with both bounds becomes a 0/1 column computed in the graph and a
    category is tested on a computed column of codes, so no subtree is duplicated. Float32
    input is widened to float64 first, which is exact: the model then answers what
    ``predict`` answers on the float32 values, which can differ from ``predict`` on the
    original float64 values where a value lies within float32 rounding of a threshold.
    """
    onnx = _require_onnx()
    from onnx import TensorProto, helper

    check_is_fitted(estimator)
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.float64), np.dtype(np.float32)):
        raise ValueError(f"to_onnx takes dtype float64 or float32; got {dtype}.")
    tree = estimator.export_tree()
    is_categorical = np.asarray(estimator.is_categorical_, dtype=bool)
    n_features = int(estimator.n_features_in_)
    layout = _Layout(n_features)
    nodes, leaves = _ensemble(tree, is_categorical, layout)

    g = _Graph(helper)
    x = "X"
    if dtype == np.float32:
        x = g.op("Cast", [x], "x_double", to=TensorProto.DOUBLE)
    features = _feature_columns(g, x, layout)
    attrs = _ensemble_attributes(helper, nodes, len(leaves))
    if hasattr(estimator, "classes_"):
        outputs = _classifier_outputs(g, estimator, tree, leaves, features, attrs)
    else:
        outputs = _regressor_outputs(g, tree, leaves, features, attrs)

    input_type = TensorProto.FLOAT if dtype == np.float32 else TensorProto.DOUBLE
    graph = helper.make_graph(
        g.nodes,
        "zelk_tree",
        [helper.make_tensor_value_info("X", input_type, [None, n_features])],
        outputs,
        initializer=g.initializers,
    )
    model = helper.make_model(
        graph,
        opset_imports=[helper.make_opsetid("", 18), helper.make_opsetid("ai.onnx.ml", 5)],
        producer_name="zelk",
    )
    model.ir_version = 10
    onnx.checker.check_model(model)
    return model


class _Graph:
    """The nodes and initializers of a graph being built, named by their outputs."""

    def __init__(self, helper):
        from onnx import TensorProto

        self.helper = helper
        self.double = TensorProto.DOUBLE
        self.nodes, self.initializers = [], []

    def const(self, name, values, shape=None, kind=None):
        array = np.asarray(values)
        self.initializers.append(
            self.helper.make_tensor(
                name,
                self.double if kind is None else kind,
                list(array.shape if shape is None else shape),
                array.reshape(-1).tolist(),
            )
        )
        return name

    def op(self, kind, inputs, output, **attrs):
        self.nodes.append(self.helper.make_node(kind, inputs, [output], name=output, **attrs))
        return output


def _feature_columns(g, x, layout):
    """The tree's input: the features with infinities as NaN, then a 0/1 column per interval
    and a column of codes per categorical feature the layout asks for."""
    from onnx import TensorProto

    nan = g.const("nan", [math.nan], [])
    x = g.op("Where", [g.op("IsInf", [x], "x_infinite"), nan, x], "x_clean")
    columns = [x]
    if layout.intervals:
        keys = sorted(layout.intervals, key=layout.intervals.get)
        values = g.op(
            "Gather",
            [x, g.const("interval_features", [k[0] for k in keys], [len(keys)], TensorProto.INT64)],
            "interval_values",
            axis=1,
        )
        above = g.op(
            "GreaterOrEqual", [values, g.const("interval_lower", [k[1] for k in keys])],
            "above_lower",
        )
        below = g.op("Less", [values, g.const("interval_upper", [k[2] for k in keys])],
                     "below_upper")
        inside = g.op("And", [above, below], "inside")
        columns.append(g.op("Cast", [inside], "interval_columns", to=g.double))
    if layout.codes:
        features = sorted(layout.codes, key=layout.codes.get)
        values = g.op(
            "Gather",
            [x, g.const("code_features", features, [len(features)], TensorProto.INT64)],
            "code_values",
            axis=1,
        )
        # Rounding half away from zero, exactly: floor plus whether the fraction is >= 1/2.
        floor = g.op("Floor", [values], "code_floor")
        up = g.op(
            "GreaterOrEqual",
            [g.op("Sub", [values, floor], "code_fraction"), g.const("half", [0.5], [])],
            "code_up",
        )
        code = g.op("Add", [floor, g.op("Cast", [up], "code_step", to=g.double)], "code_rounded")
        non_negative = g.op(
            "GreaterOrEqual", [values, g.const("zero", [0.0], [])], "code_non_negative"
        )
        in_range = g.op(
            "Less", [code, g.const("missing_code", [_MISSING_CODE], [])], "code_in_range"
        )
        valid = g.op("And", [non_negative, in_range], "code_valid")
        columns.append(g.op("Where", [valid, code, nan], "code_columns"))
    return g.op("Concat", columns, "features", axis=1) if len(columns) > 1 else x


def _ensemble_attributes(helper, nodes, n_leaves):
    """The TreeEnsemble's attributes but its leaf weights."""
    from onnx import TensorProto

    double = TensorProto.DOUBLE
    attrs = dict(
        domain="ai.onnx.ml",
        aggregate_function=1,  # SUM over the one tree
        post_transform=0,
        n_targets=1,
        tree_roots=[0],
        nodes_featureids=nodes.feature,
        nodes_splits=helper.make_tensor("nodes_splits", double, [len(nodes.split)], nodes.split),
        nodes_modes=helper.make_tensor(
            "nodes_modes", TensorProto.UINT8, [len(nodes.mode)], nodes.mode
        ),
        nodes_truenodeids=nodes.true_id,
        nodes_trueleafs=nodes.true_leaf,
        nodes_falsenodeids=nodes.false_id,
        nodes_falseleafs=nodes.false_leaf,
        nodes_missing_value_tracks_true=[0] * len(nodes.feature),
        leaf_targetids=[0] * n_leaves,
    )
    if nodes.members:
        attrs["membership_values"] = helper.make_tensor(
            "membership_values", double, [len(nodes.members)], nodes.members
        )
    return attrs


def _tree_node(g, features, output, attrs, weights):
    g.nodes.append(
        g.helper.make_node(
            "TreeEnsemble",
            [features],
            [output],
            name="tree",
            leaf_weights=g.helper.make_tensor("leaf_weights", g.double, [len(weights)], weights),
            **attrs,
        )
    )


def _classifier_outputs(g, estimator, tree, leaves, features, attrs):
    """"label" and "probabilities": the tree gives each row its leaf's number, the leaves'
    tables give the answers."""
    from onnx import TensorProto

    n_leaves = len(leaves)
    _tree_node(g, features, "leaf_number", attrs, np.arange(n_leaves, dtype=np.float64))
    shape = g.const("flat", [-1], [1], TensorProto.INT64)
    leaf = g.op(
        "Cast",
        [g.op("Reshape", ["leaf_number", shape], "leaf_flat")],
        "leaf",
        to=TensorProto.INT64,
    )
    n_classes = len(estimator.classes_)
    proba = np.zeros((n_leaves, n_classes), dtype=np.float64)
    labels = np.zeros(n_leaves, dtype=np.int64)
    for j, i in enumerate(leaves):
        p = tree["proba"][i][:n_classes]
        proba[j, : len(p)] = p
        labels[j] = tree["predicted_class"][i]
    classes = _label_tensor(np.asarray(estimator.classes_))
    g.initializers.append(classes)
    leaf_label = g.op(
        "Gather",
        ["classes", g.const("leaf_labels", labels, None, TensorProto.INT64)],
        "leaf_label_table",
        axis=0,
    )
    g.op("Gather", [leaf_label, leaf], "label", axis=0)
    g.op("Gather", [g.const("leaf_proba", proba), leaf], "probabilities", axis=0)
    return [
        g.helper.make_tensor_value_info("label", classes.data_type, [None]),
        g.helper.make_tensor_value_info("probabilities", g.double, [None, n_classes]),
    ]


def _regressor_outputs(g, tree, leaves, features, attrs):
    """"variable": the leaf's value."""
    from onnx import TensorProto

    weights = np.asarray([tree["value"][i] for i in leaves], dtype=np.float64)
    _tree_node(g, features, "prediction", attrs, weights)
    shape = g.const("flat", [-1], [1], TensorProto.INT64)
    g.op("Reshape", ["prediction", shape], "variable")
    return [g.helper.make_tensor_value_info("variable", g.double, [None])]


def save_onnx():
    """A function (estimator, path) that writes ``to_onnx(estimator)`` to `path`; raises
    ImportError at once when onnx is missing."""
    onnx = _require_onnx()

    def write(estimator, path):
        onnx.save_model(to_onnx(estimator), path)

    return write
