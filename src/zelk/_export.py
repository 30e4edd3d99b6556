"""Text and Graphviz views of a fitted zelk tree."""

from __future__ import annotations

import math
import os

import numpy as np
from sklearn.utils.validation import check_is_fitted

__all__ = ["export_graphviz", "export_text"]


class _TreeView:
    """Names, conditions and leaf descriptions of one fitted estimator's tree."""

    def __init__(self, estimator, feature_names, class_names, decimals, category_names=None):
        check_is_fitted(estimator)
        self.tree = estimator.export_tree()
        self.decimals = decimals
        n_features = estimator.n_features_in_
        if feature_names is None:
            names = getattr(estimator, "feature_names_in_", None)
            feature_names = (
                [str(n) for n in names]
                if names is not None
                else [f"feature_{j}" for j in range(n_features)]
            )
        else:
            feature_names = [str(n) for n in feature_names]
            if len(feature_names) != n_features:
                raise ValueError(
                    f"feature_names has {len(feature_names)} names, but the estimator was "
                    f"fitted on {n_features} features."
                )
        self.feature_names = feature_names
        self.categories = dict(getattr(estimator, "_categories", {}) or {})
        for key, labels in (category_names or {}).items():
            index = feature_names.index(key) if isinstance(key, str) else int(key)
            self.categories[index] = list(labels)
        self.is_classifier = "predicted_class" in self.tree
        if self.is_classifier:
            classes = estimator.classes_
            if class_names is None:
                class_names = [str(c) for c in classes]
            else:
                class_names = [str(c) for c in class_names]
                if len(class_names) != len(classes):
                    raise ValueError(
                        f"class_names has {len(class_names)} names, but the estimator has "
                        f"{len(classes)} classes."
                    )
        self.class_names = class_names

    def number(self, value):
        text = f"{value:.{self.decimals}f}"
        if value != 0 and math.isfinite(value) and float(text) == 0:
            # Small thresholds would all print as zero; show significant digits instead.
            text = f"{value:.{max(self.decimals, 1)}g}"
        return text

    def category(self, feature, code):
        known = self.categories.get(feature)
        if known is not None and 0 <= code < len(known):
            return str(known[code])
        return str(code)

    def conditions(self, i):
        """The (left, right) condition texts of split node i."""
        t = self.tree
        name = self.feature_names[t["feature"][i]]
        if t["is_categorical"][i]:
            # A dictionary without category sets (an older one) splits by one category.
            codes = t["categories"][i] if "categories" in t else [t["category"][i]]
            cats = [self.category(t["feature"][i], code) for code in codes]
            if len(cats) == 1:
                return f"{name} == {cats[0]}", f"{name} != {cats[0]}"
            listed = "{" + ", ".join(cats) + "}"
            return f"{name} in {listed}", f"{name} not in {listed}"
        lower, upper = t["lower"][i], t["upper"][i]
        has_lower = not (math.isinf(lower) and lower < 0)
        has_upper = not (math.isinf(upper) and upper > 0)
        if has_lower and has_upper:
            lo, hi = self.number(lower), self.number(upper)
            return f"{lo} <= {name} < {hi}", f"{name} not in [{lo}, {hi}) or missing"
        if has_upper:
            hi = self.number(upper)
            return f"{name} < {hi}", f"{name} >= {hi} or missing"
        if has_lower:
            lo = self.number(lower)
            return f"{name} >= {lo}", f"{name} < {lo} or missing"
        return f"{name} is not missing", f"{name} is missing"

    def leaf(self, i, show_proba):
        t = self.tree
        if not self.is_classifier:
            return f"value: {self.number(t['value'][i])}"
        text = f"class: {self.class_names[t['predicted_class'][i]]}"
        if show_proba:
            proba = ", ".join(self.number(p) for p in t["proba"][i])
            text += f", proba: [{proba}]"
        return text

    def subtree_depth(self, root):
        depth = 0
        stack = [(root, 0)]
        while stack:
            i, d = stack.pop()
            depth = max(depth, d)
            if not self.tree["is_leaf"][i]:
                stack.append((self.tree["children_left"][i], d + 1))
                stack.append((self.tree["children_right"][i], d + 1))
        return depth


def export_text(
    estimator,
    feature_names=None,
    class_names=None,
    max_depth=10,
    spacing=3,
    decimals=2,
    show_proba=False,
    show_samples=True,
    category_names=None,
):
    """An indented text view of a fitted :class:`ZELKClassifier` or :class:`ZELKRegressor`.

    Each split prints two branches: the condition that sends a sample left
    (``f < t``, ``lo <= f < hi``, ``f == category``), then its complement,
    which includes missing values. Leaves show the predicted value or class
    and, with ``show_samples``, the number of training samples (``n=``).

    Parameters
    ----------
    estimator : fitted ZELKClassifier or ZELKRegressor
    feature_names : list of str, optional
        Names of the features; defaults to ``feature_names_in_`` or
        ``feature_0``, ``feature_1``, ...
    class_names : list of str, optional
        Names of the classes in ``classes_`` order (classifier only).
    max_depth : int, default=10
        Splits deeper than this are summarised as a truncated branch.
    spacing : int, default=3
        Width of one indentation level (at least 1).
    decimals : int, default=2
        Digits after the decimal point of thresholds and values.
    show_proba : bool, default=False
        Also show the class frequencies of each leaf (classifier only).
    show_samples : bool, default=True
        Show the training sample count of each leaf.
    category_names : dict, optional
        For a categorical feature (key: its index or name), the labels of its
        codes 0, 1, ...; the categories of pandas columns seen in fit are used
        by default.

    Returns
    -------
    str
    """
    if not isinstance(spacing, int) or spacing < 1:
        raise ValueError(f"spacing must be an int >= 1, got {spacing!r}")
    if not isinstance(decimals, int) or decimals < 0:
        raise ValueError(f"decimals must be an int >= 0, got {decimals!r}")
    if not isinstance(max_depth, int) or max_depth < 0:
        raise ValueError(f"max_depth must be an int >= 0, got {max_depth!r}")
    view = _TreeView(estimator, feature_names, class_names, decimals, category_names)
    tree = view.tree
    bar = "|" + " " * spacing
    lines = []
    # Explicit stack: the input tree's depth is not bounded by max_depth.
    stack = [("node", 0, 0)]
    while stack:
        kind, item, depth = stack.pop()
        indent = bar * depth + "|" + "-" * spacing + " "
        if kind == "line":
            lines.append(indent + item)
            continue
        i = item
        if tree["is_leaf"][i]:
            text = view.leaf(i, show_proba)
            if show_samples:
                text += f" (n={tree['n_samples'][i]})"
            lines.append(indent + text)
        elif depth > max_depth:
            lines.append(indent + f"truncated branch of depth {view.subtree_depth(i)}")
        else:
            left, right = view.conditions(i)
            stack.append(("node", tree["children_right"][i], depth + 1))
            stack.append(("line", right, depth))
            stack.append(("node", tree["children_left"][i], depth + 1))
            stack.append(("line", left, depth))
    return "\n".join(lines) + "\n"


def _dot_quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


_ORANGE = (229, 129, 57)


def _fill_colour(fraction, base=_ORANGE):
    """A colour from white (0) to `base` (1), an RGB triple of 0..255."""
    fraction = min(max(fraction, 0.0), 1.0)
    rgb = np.round(255 - fraction * (255 - np.asarray(base, dtype=float))).astype(int)
    return "#{:02x}{:02x}{:02x}".format(*rgb)


def _preorder(tree):
    """The tree's node numbers, each parent before its left subtree, then its right."""
    order, stack = [], [0]
    while stack:
        i = stack.pop()
        order.append(i)
        if not tree["is_leaf"][i]:
            stack.append(tree["children_right"][i])
            stack.append(tree["children_left"][i])
    return order


def export_graphviz(
    estimator,
    out_file=None,
    feature_names=None,
    class_names=None,
    filled=False,
    rounded=False,
    node_ids=False,
    precision=3,
    show_proba=False,
    category_names=None,
):
    """DOT source of a fitted :class:`ZELKClassifier` or :class:`ZELKRegressor`.

    Split nodes show the condition that sends a sample to the left child
    (the edge marked True); missing values follow the False edge. Leaves show
    their sample count and value or class. Producing the source needs no
    Graphviz installation; render it with ``dot -Tpng``.

    Parameters
    ----------
    estimator : fitted ZELKClassifier or ZELKRegressor
    out_file : str, path or file object, optional
        Where to write the source as well as returning it.
    feature_names, class_names, category_names : optional
        As for :func:`export_text`.
    filled : bool, default=False
        Shade leaves by the share of their predicted class (classifier) or
        by their value within the range of leaf values (regressor).
    rounded : bool, default=False
        Draw rounded boxes.
    node_ids : bool, default=False
        Show each node's index in :meth:`export_tree` order.
    precision : int, default=3
        Digits after the decimal point.
    show_proba : bool, default=False
        Show the class frequencies of each leaf (classifier only).

    Returns
    -------
    str
        The DOT source.
    """
    if not isinstance(precision, int) or precision < 0:
        raise ValueError(f"precision must be an int >= 0, got {precision!r}")
    view = _TreeView(estimator, feature_names, class_names, precision, category_names)
    tree = view.tree
    n = len(tree["is_leaf"])
    style = ["shape=box"]
    styles = [s for s, on in (("filled", filled), ("rounded", rounded)) if on]
    if styles:
        style.append(f'style="{", ".join(styles)}"')
    out = ["digraph Tree {", f'node [{", ".join(style)}, fontname="helvetica"] ;']
    leaf_values = (
        [tree["value"][i] for i in range(n) if tree["is_leaf"][i]] if not view.is_classifier else []
    )
    low = min(leaf_values) if leaf_values else 0.0
    span = (max(leaf_values) - low) if leaf_values else 0.0
    for i in _preorder(tree):
        parts = [f"node #{i}"] if node_ids else []
        attrs = ""
        if tree["is_leaf"][i]:
            parts.append(f"samples = {tree['n_samples'][i]}")
            if view.is_classifier:
                if show_proba:
                    proba = ", ".join(view.number(p) for p in tree["proba"][i])
                    parts.append(f"proba = [{proba}]")
                parts.append(f"class = {view.class_names[tree['predicted_class'][i]]}")
                share = max(tree["proba"][i]) if tree["proba"][i] else 0.0
            else:
                parts.append(f"value = {view.number(tree['value'][i])}")
                share = (tree["value"][i] - low) / span if span > 0 else 0.0
            if filled:
                attrs = f', fillcolor="{_fill_colour(share)}"'
        else:
            parts.insert(0 if not node_ids else 1, view.conditions(i)[0])
            parts.append(f"samples = {tree['n_samples'][i]}")
            if filled:
                attrs = ', fillcolor="#ffffff"'
        out.append(f"{i} [label={_dot_quote(chr(10).join(parts))}{attrs}] ;")
        if not tree["is_leaf"][i]:
            for child, label in (
                (tree["children_left"][i], "True"),
                (tree["children_right"][i], "False"),
            ):
                edge = ""
                if i == 0:  # like a flowchart, only the root's edges say which way is which
                    angle = 45 if label == "True" else -45
                    edge = f' [labeldistance=2.5, labelangle={angle}, headlabel="{label}"]'
                out.append(f"{i} -> {child}{edge} ;")
    out.append("}")
    source = "\n".join(out) + "\n"
    _write(source, out_file)
    return source


def _write(source, out_file):
    if out_file is None:
        return
    if isinstance(out_file, (str, os.PathLike)):
        with open(out_file, "w", encoding="utf-8") as handle:
            handle.write(source)
    else:
        out_file.write(source)
