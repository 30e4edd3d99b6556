"""Pictures of a fitted zelk tree and of the fold scores behind its splits, drawn with
matplotlib (an optional dependency, imported only when a picture is drawn)."""

from __future__ import annotations

import colorsys
import math
import numbers

import numpy as np

from ._export import _fill_colour, _TreeView
from ._params import is_int

__all__ = ["plot_split_scores", "plot_tree"]

_INSTALL = "pip install 'zelk[plot]'"
_LABELS = ("all", "root", "none")
_HIDDEN = -1  # the box of a subtree below max_depth, drawn as "(...)"
_BASE_FONTSIZE = 12.0  # automatic font sizes only shrink from this
_BOX_PAD = 0.4  # box padding, in units of the font size
_KEPT = "#e58139"  # fold score above min_impurity_decrease
_BELOW = "#b3b3b3"


def _require_matplotlib(what):
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ImportError(
            f"{what} needs matplotlib, an optional dependency of zelk: {_INSTALL}"
        ) from error


def _check_int(name, value, low, allow_none=False):
    if value is None and allow_none:
        return None
    if not is_int(value) or value < low:
        expected = f"{'None or ' if allow_none else ''}an int >= {low}"
        raise ValueError(f"{name} must be {expected}, got {value!r}")
    return int(value)


class _Layout:
    """The boxes of a depth-limited tree in pre-order: for each its node index (_HIDDEN
    for a subtree below max_depth), depth and parent box (-1 at the root); `place` gives
    them x positions. Built with loops: the depth of a tree is not bounded by anything
    the caller chose."""

    def __init__(self, tree, max_depth):
        self.node, self.depth, self.parent = [], [], []
        stack = [(0, 0, -1)]
        while stack:
            i, depth, parent = stack.pop()
            hidden = max_depth is not None and depth > max_depth
            box = len(self.node)
            self.node.append(_HIDDEN if hidden else i)
            self.depth.append(depth)
            self.parent.append(parent)
            if not hidden and not tree["is_leaf"][i]:
                stack.append((tree["children_right"][i], depth + 1, box))
                stack.append((tree["children_left"][i], depth + 1, box))
        self.children = [[] for _ in self.node]
        for box in range(1, len(self.node)):
            self.children[self.parent[box]].append(box)
        self.n_levels = max(self.depth) + 1
        self.x, self.width = [0.0] * len(self.node), 1.0
        self.y, self.height = [0.0] * self.n_levels, 1.0

    def place(self, widths, heights):
        """Centres for boxes of the given widths: each subtree gets a band as wide as its
        own box and as its children's bands together, children's bands side by side and
        centred in their parent's; a box sits midway between its children, moved only as
        far as needed to stay inside its band. Bands of one level never overlap, so
        neither do the boxes."""
        n = len(self.node)
        band = list(widths)
        for box in reversed(range(n)):  # children before their parent
            if self.children[box]:
                band[box] = max(band[box], sum(band[c] for c in self.children[box]))
        start = [0.0] * n
        for box in range(n):  # parents before their children
            kids = self.children[box]
            left = start[box] + (band[box] - sum(band[c] for c in kids)) / 2
            for c in kids:
                start[c], left = left, left + band[c]
        for box in reversed(range(n)):
            kids = self.children[box]
            if not kids:
                self.x[box] = start[box] + band[box] / 2
                continue
            middle = (self.x[kids[0]] + self.x[kids[-1]]) / 2
            half = widths[box] / 2
            self.x[box] = min(max(middle, start[box] + half), start[box] + band[box] - half)
        self.width = band[0]
        # Each level as high as its highest box: a level of "(...)" takes little room.
        level = [0.0] * self.n_levels
        for box in range(n):
            level[self.depth[box]] = max(level[self.depth[box]], heights[box])
        top = 0.0
        for depth, height in enumerate(level):
            self.y[depth], top = top + height / 2, top + height
        self.height = top

    def position(self, box):
        """The centre of a box in axes coordinates."""
        return self.x[box] / self.width, 1.0 - self.y[self.depth[box]] / self.height


def _class_weights(tree):
    """Per node, its training weight of each class: a leaf's frequencies times its weight,
    a split's the sum of its children's (the export keeps frequencies at leaves only)."""
    weight = tree.get("weighted_n_samples", tree["n_samples"])
    weights = [None] * len(tree["is_leaf"])
    for i in reversed(range(len(weights))):  # pre-order numbers children after parents
        if tree["is_leaf"][i]:
            weights[i] = [p * weight[i] for p in tree["proba"][i]]
        else:
            left, right = weights[tree["children_left"][i]], weights[tree["children_right"][i]]
            weights[i] = [a + b for a, b in zip(left, right)]
    return weights


def _palette(n_classes):
    """One colour per class, hues evenly spaced from orange, as RGB triples of 0..255."""
    return [
        tuple(
            round(255 * c) for c in colorsys.hsv_to_rgb((25 / 360 + k / n_classes) % 1, 0.75, 0.9)
        )
        for k in range(n_classes)
    ]


def _purity(shares):
    """How much the largest share stands out from the next: 0 for a tie, 1 for one class."""
    ordered = sorted(shares, reverse=True) + [0.0]
    first, second = ordered[0], ordered[1]
    return (first - second) / (1 - second) if second < 1 else 0.0


class _NodeText:
    """The label of each node, as scikit-learn's tree pictures write it."""

    def __init__(self, estimator, view, label, impurity, node_ids, proportion, precision):
        self.view, self.label = view, label
        self.node_ids, self.proportion, self.precision = node_ids, proportion, precision
        tree = view.tree
        self.impurity = impurity and "impurity" in tree
        if getattr(estimator, "objective", None) is not None:
            self.criterion = "gini"  # a metric objective's tree records Gini impurities
        else:
            self.criterion = str(getattr(estimator, "criterion", "impurity"))
        self.weights = _class_weights(tree) if view.is_classifier else None
        self.total = tree["n_samples"][0]

    def count(self, value):
        nearest = round(value)
        if abs(value - nearest) <= 1e-9 * max(1.0, abs(value)):
            return str(int(nearest))
        return self.view.number(value)

    def __call__(self, i):
        view, tree = self.view, self.view.tree
        labelled = self.label == "all" or (self.label == "root" and i == 0)

        def line(name, value):
            return f"{name} = {value}" if labelled else value

        leaf = tree["is_leaf"][i]
        lines = []
        if self.node_ids:
            lines.append(f"node #{i}" if labelled else f"#{i}")
        if not leaf:
            lines.append(view.conditions(i)[0])
            if "split_score" in tree:
                lines.append(line("score", view.number(tree["split_score"][i])))
        if self.impurity:
            lines.append(line(self.criterion, view.number(tree["impurity"][i])))
        n = tree["n_samples"][i]
        share = f"{100.0 * n / self.total:.1f}%" if self.total else "0%"
        lines.append(line("samples", share if self.proportion else str(n)))
        if view.is_classifier:
            weights = self.weights[i]
            total = sum(weights)
            if self.proportion:
                shown = [view.number(w / total if total else 0.0) for w in weights]
            else:
                shown = [self.count(w) for w in weights]
            lines.append(line("value", _wrap_list(shown)))
            k = tree["predicted_class"][i] if leaf else int(np.argmax(weights))
            lines.append(line("class", view.class_names[k]))
        elif leaf:
            lines.append(line("value", view.number(tree["value"][i])))
        return "\n".join(lines)


def _wrap_list(items, per_line=5):
    """A bracketed list, broken into lines of `per_line` items so that boxes stay narrow."""
    rows = [", ".join(items[k : k + per_line]) for k in range(0, len(items), per_line)]
    return "[" + ",\n".join(rows) + "]"


def _fill(view, weights, i, value_range):
    """The fill colour of node i: its class's colour (classifier) or orange (regressor),
    from white as the node is mixed or low to full as it is pure or high; None for a
    regressor's split, which shows no value."""
    tree = view.tree
    if view.is_classifier:
        shares = weights[i]
        total = sum(shares)
        shares = [w / total if total else 0.0 for w in shares]
        k = tree["predicted_class"][i] if tree["is_leaf"][i] else int(np.argmax(shares))
        strength = _purity(shares) if len(shares) > 1 else 1.0
        return _fill_colour(strength, _palette(len(shares))[k])
    if not tree["is_leaf"][i]:
        return None
    low, high = value_range
    return _fill_colour((tree["value"][i] - low) / (high - low) if high > low else 0.0)


def _box_size(annotation, dpi):
    """The width and height of an annotation's box in pixels at its current font size."""
    from matplotlib.text import Text

    # Text's own extent: an Annotation's would include its arrow.
    extent = Text.get_window_extent(annotation)
    pad = 2 * _BOX_PAD * annotation.get_fontsize() * dpi / 72
    return extent.width + pad, extent.height + pad


def plot_tree(
    estimator,
    *,
    max_depth=None,
    feature_names=None,
    class_names=None,
    label="all",
    filled=False,
    impurity=True,
    node_ids=False,
    proportion=False,
    rounded=False,
    precision=3,
    ax=None,
    fontsize=None,
    category_names=None,
):
    """Draw a fitted :class:`ZELKClassifier` or :class:`ZELKRegressor` with matplotlib.

    Boxes and arrows as in scikit-learn's ``plot_tree``. A split shows the
    condition that sends a sample to its left child (the root's edge marked
    True; missing values go right), written as :func:`export_text` writes it
    (``f < t``, ``lo <= f < hi``, ``f == category``), then its ``score``: the
    aggregated cross-validated score for which the split was kept (see
    :func:`plot_split_scores`). Every node shows its training impurity and
    sample count; a leaf its value (regressor), a classifier's node its class
    weights and class.

    Needs matplotlib: ``pip install 'zelk[plot]'``.

    Parameters
    ----------
    estimator : fitted ZELKClassifier or ZELKRegressor
    max_depth : int, optional
        Draw nodes down to this depth; deeper subtrees are drawn as "(...)".
    feature_names, class_names, category_names : optional
        As for :func:`export_text`.
    label : {"all", "root", "none"}, default="all"
        Where to name the numbers ("samples = 10" rather than "10").
    filled : bool, default=False
        Colour a classifier's nodes by their majority class (the purer the
        stronger) and a regressor's leaves by their value.
    impurity : bool, default=True
        Show each node's training impurity, named by the criterion.
    node_ids : bool, default=False
        Show each node's index in :meth:`export_tree` order.
    proportion : bool, default=False
        Show samples as a percentage of the training samples and class
        weights as fractions.
    rounded : bool, default=False
        Draw rounded boxes.
    precision : int, default=3
        Digits after the decimal point of thresholds and numbers.
    ax : matplotlib Axes, optional
        Where to draw (cleared first); defaults to the current axes.
    fontsize : float, optional
        Font size of the text; by default the largest (up to 12 points) at
        which the boxes fit the axes.

    Returns
    -------
    list of matplotlib.text.Annotation
        One per box in pre-order (the "(...)" of hidden subtrees included),
        then the True/False labels of the root's edges.
    """
    annotations, _ = _plot_tree(
        estimator,
        max_depth=max_depth,
        feature_names=feature_names,
        class_names=class_names,
        label=label,
        filled=filled,
        impurity=impurity,
        node_ids=node_ids,
        proportion=proportion,
        rounded=rounded,
        precision=precision,
        ax=ax,
        fontsize=fontsize,
        category_names=category_names,
    )
    return annotations


def _plot_tree(
    estimator,
    *,
    max_depth,
    feature_names,
    class_names,
    label,
    filled,
    impurity,
    node_ids,
    proportion,
    rounded,
    precision,
    ax,
    fontsize,
    category_names,
):
    """plot_tree's work; also returns the size in pixels that the picture needs."""
    _require_matplotlib("plot_tree")
    max_depth = _check_int("max_depth", max_depth, 0, allow_none=True)
    precision = _check_int("precision", precision, 0)
    if label not in _LABELS:
        raise ValueError(f"label must be one of {', '.join(map(repr, _LABELS))}, got {label!r}")
    if fontsize is not None and not (isinstance(fontsize, numbers.Real) and fontsize > 0):
        raise ValueError(f"fontsize must be None or a positive number, got {fontsize!r}")
    view = _TreeView(estimator, feature_names, class_names, precision, category_names)
    tree = view.tree
    text = _NodeText(estimator, view, label, impurity, node_ids, proportion, precision)
    layout = _Layout(tree, max_depth)

    if ax is None:
        import matplotlib.pyplot as plt

        ax = plt.gca()
    return _draw_tree(ax, view, text, layout, filled, rounded, fontsize)


def _draw_tree(ax, view, text, layout, filled, rounded, fontsize):
    """Draw the boxes, arrows and root edge labels; also returns the width and height in
    pixels that the picture needs at `fontsize` (12 points when it is None)."""
    tree = view.tree
    leaf_values = [v for v, leaf in zip(tree.get("value", []), tree["is_leaf"]) if leaf]
    value_range = (min(leaf_values), max(leaf_values)) if leaf_values else (0.0, 0.0)
    ax.clear()
    ax.set_axis_off()
    engine = ax.figure.get_layout_engine()
    if engine is not None:  # place the axes now: the font is fitted to their size
        engine.execute(ax.figure)
    boxstyle = f"{'round' if rounded else 'square'},pad={_BOX_PAD}"
    size = float(fontsize) if fontsize is not None else _BASE_FONTSIZE
    annotations = []
    for box, i in enumerate(layout.node):
        if i == _HIDDEN:
            content, colour = "(...)", "#d9d9d9" if filled else "white"
        else:
            content = text(i)
            colour = (_fill(view, text.weights, i, value_range) if filled else None) or "white"
        options = dict(
            xycoords="axes fraction",
            textcoords="axes fraction",
            ha="center",
            va="center",
            fontsize=size,
            bbox=dict(boxstyle=boxstyle, fc=colour, ec="black", lw=0.8),
        )
        parent = layout.parent[box]
        if parent >= 0:
            # Centre to centre, clipped at both boxes.
            options["arrowprops"] = dict(
                arrowstyle="<-",
                color="black",
                lw=0.8,
                shrinkA=0,
                shrinkB=0,
                patchB=annotations[parent].get_bbox_patch(),
            )
        annotations.append(ax.annotate(content, (0.5, 0.5), xytext=(0.5, 0.5), **options))

    # Lay out at the size the boxes have at `size`, then shrink the font (when it is free)
    # until that layout fits the axes.
    dpi = ax.figure.dpi
    sizes = [_box_size(a, dpi) for a in annotations]
    gap = size * dpi / 72  # between neighbours; three times that between levels
    layout.place([w + gap for w, _ in sizes], [h + 3 * gap for _, h in sizes])
    need = (layout.width, layout.height)
    if fontsize is None:
        scale = min(1.0, ax.bbox.width / need[0], ax.bbox.height / need[1])
        for annotation in annotations:
            annotation.set_fontsize(size * scale)
        sizes = [(w * scale, h * scale) for w, h in sizes]
        size *= scale
    for box, annotation in enumerate(annotations):
        parent = layout.parent[box]
        annotation.xyann = layout.position(box)
        annotation.xy = layout.position(parent if parent >= 0 else box)
    return annotations + _root_edge_labels(ax, layout, sizes, size), need


def _root_edge_labels(ax, layout, sizes, fontsize):
    """True/False beside the root's two edges, halfway between the boxes."""
    children = layout.children[0]
    if not children:
        return []
    x0, y0 = layout.position(0)
    bottom = y0 - sizes[0][1] / 2 / ax.bbox.height
    labels = []
    for box, word, side in zip(children, ("True", "False"), ("right", "left")):
        x1, y1 = layout.position(box)
        top = y1 + sizes[box][1] / 2 / ax.bbox.height
        y = (bottom + top) / 2
        x = x0 + (x1 - x0) * (y0 - y) / (y0 - y1)
        shift = (-1 if side == "right" else 1) * 0.4 * fontsize / 72 * ax.figure.dpi
        labels.append(
            ax.annotate(
                word,
                (x, y),
                xycoords="axes fraction",
                xytext=(shift, 0),
                textcoords="offset pixels",
                ha=side,
                va="center",
                fontsize=fontsize,
            )
        )
    return labels


def plot_split_scores(
    estimator, *, node=0, nodes=None, ax=None, feature_names=None, category_names=None
):
    """Draw the fold scores of the split chosen at a node: why the split was kept.

    One bar per validation fold (the split's score on that fold, from the
    "fold_scores" of :meth:`export_tree`), a solid line at their aggregate
    (the node's "split_score", which the tree compares with
    ``min_impurity_decrease``) and a dashed line at ``min_impurity_decrease``.
    Bars above the dashed line are coloured.

    Needs matplotlib: ``pip install 'zelk[plot]'``.

    Parameters
    ----------
    estimator : fitted ZELKClassifier or ZELKRegressor
    node : int, default=0
        The split node, in :meth:`export_tree` numbering (0 is the root).
    nodes : list of int, optional
        Several split nodes (say, a root-to-leaf path from
        ``decision_path``), one row each; replaces ``node``.
    ax : matplotlib Axes, or a sequence of them with ``nodes``, optional
        Where to draw; by default the current axes for one node, a new
        figure with one row per node for ``nodes``.
    feature_names, category_names : optional
        As for :func:`export_text`, for the conditions in the titles.

    Returns
    -------
    matplotlib Axes, or a list of them with ``nodes``
    """
    _require_matplotlib("plot_split_scores")
    view = _TreeView(estimator, feature_names, None, 3, category_names)
    tree = view.tree
    if "fold_scores" not in tree:
        raise ValueError(
            "this estimator's tree, pickled by an earlier zelk, carries no fold scores; "
            "fit it again."
        )
    single = nodes is None
    ids = [node] if single else list(nodes)
    if not ids:
        raise ValueError("nodes is empty: give at least one split node")
    n = len(tree["is_leaf"])
    for i in ids:
        if not is_int(i) or not 0 <= i < n:
            raise ValueError(
                f"node {i!r} is not a node of this tree, whose nodes are 0 to {n - 1} "
                "(export_tree() numbering)"
            )
        if tree["is_leaf"][i]:
            raise ValueError(f"node {i} is a leaf: no split was chosen there, so it has no scores")
    if ax is None:
        import matplotlib.pyplot as plt

        if single:
            axes = [plt.gca()]
        else:
            _, grid = plt.subplots(
                len(ids),
                1,
                squeeze=False,
                figsize=(6.4, 0.6 + 2.2 * len(ids)),
                layout="constrained",
            )
            axes = list(grid[:, 0])
    else:
        axes = [ax] if single else list(np.ravel(np.asarray(ax, dtype=object)))
        if len(axes) != len(ids):
            raise ValueError(f"nodes has {len(ids)} nodes but ax has {len(axes)} axes")
    threshold = float(getattr(estimator, "min_impurity_decrease", 0.0))
    aggregator = getattr(estimator, "aggregator", None)
    for i, axes_i in zip(ids, axes):
        _draw_scores(axes_i, view, int(i), threshold, aggregator)
    return axes[0] if single else axes


def _draw_scores(ax, view, i, threshold, aggregator):
    tree = view.tree
    scores = [float(s) for s in tree["fold_scores"][i]]
    folds = list(range(1, len(scores) + 1))
    colours = [_KEPT if s > threshold else _BELOW for s in scores]
    ax.bar(folds, scores, width=0.6, color=colours, edgecolor="black", linewidth=0.6, zorder=2)
    aggregate = tree["split_score"][i]
    name = f" ({aggregator})" if aggregator else ""
    ax.axhline(
        aggregate, color="black", lw=1.5, zorder=3, label=f"score = {view.number(aggregate)}{name}"
    )
    ax.axhline(
        threshold,
        color="#c0392b",
        lw=1.2,
        ls="--",
        zorder=3,
        label=f"min_impurity_decrease = {view.number(threshold)}",
    )
    ax.axhline(0.0, color="#666666", lw=0.6, zorder=1)
    ax.set_xticks(folds)
    ax.set_xlim(0.4, len(scores) + 0.6)
    # Room below for a reference line at zero and above for the legend, clear of the bars.
    finite = [v for v in (*scores, aggregate, threshold, 0.0) if math.isfinite(v)]
    low, high = min(finite), max(finite)
    span = (high - low) or 1.0
    ax.set_ylim(low - 0.06 * span, high + 0.3 * span)
    ax.set_xlabel("fold")
    ax.set_ylabel("score")
    ax.set_title(
        f"node {i}: {view.conditions(i)[0]}  (samples = {tree['n_samples'][i]})", fontsize=10
    )
    ax.legend(loc="upper center", ncol=2, fontsize=8, framealpha=0.9)
    ax.grid(axis="y", color="#e6e6e6", zorder=0)


def _save_tree_picture(estimator, path, max_depth, fontsize=10.0, **options):
    """Write a filled, depth-limited picture of the tree to an image file, sized so that
    its boxes fit at `fontsize`, without touching pyplot's global state (used by the
    command line)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(dpi=100)
    FigureCanvasAgg(figure)
    margin = 0.01
    ax = figure.add_axes((margin, margin, 1 - 2 * margin, 1 - 2 * margin))
    settings = dict(plot_tree.__kwdefaults__, filled=True, rounded=True, ax=ax)
    settings.update(options, max_depth=max_depth, fontsize=fontsize)
    _, (width, height) = _plot_tree(estimator, **settings)
    figure.set_size_inches(
        max(width, 300) / (1 - 2 * margin) / figure.dpi,
        max(height, 150) / (1 - 2 * margin) / figure.dpi,
    )
    _plot_tree(estimator, **settings)
    figure.savefig(path)
