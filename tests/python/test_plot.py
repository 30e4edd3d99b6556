"""Pictures of fitted trees: plot_tree and plot_split_scores rendered with Agg, checked
against export_text and export_tree; the command line's --plot; the missing extra."""

import math
import subprocess
import sys

import matplotlib
import numpy as np
import pandas as pd
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from sklearn.datasets import load_diabetes, load_iris

import zelk
from zelk import ZELKClassifier, ZELKRegressor, _zelk, export_text, plot_split_scores, plot_tree

matplotlib.use("Agg")


def _categorical():
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(
        {
            "colour": pd.Categorical(rng.choice(["red", "green", "blue"], 300)),
            "size": rng.normal(size=300),
        }
    )
    y = np.where(frame["colour"] == "green", 3.0, 0.0) + frame["size"] + rng.normal(0, 0.1, 300)
    return ZELKRegressor(max_depth=3).fit(frame, y)


def _bin_split():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(400, 3))
    y = ((X[:, 0] > 0.3) & (X[:, 0] < 1.2)).astype(int) + (X[:, 1] > 1)
    return ZELKClassifier(split_style="bin", max_depth=3, n_bins=8).fit(X, y)


MODELS = {
    "classifier": lambda: ZELKClassifier(max_depth=4).fit(*load_iris(return_X_y=True)),
    "regressor": lambda: ZELKRegressor(max_depth=3).fit(*load_diabetes(return_X_y=True)),
    "categorical": _categorical,
    "bin": _bin_split,
}


@pytest.fixture(scope="module", params=list(MODELS))
def model(request):
    return MODELS[request.param]()


def axes(size=(10, 6)):
    figure = Figure(figsize=size)
    FigureCanvasAgg(figure)
    return figure.add_subplot()


def saved(ax, path):
    ax.figure.savefig(path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 2000


def left_conditions(text):
    """The left-branch conditions of export_text, in pre-order of the splits: at each
    indentation a split writes its left condition, then (after its subtree) its right."""
    seen, lefts = {}, []
    for line in text.splitlines():
        indent, _, body = line.partition("--- ")
        if body.startswith(("class: ", "value: ", "truncated")):
            continue
        seen[indent] = seen.get(indent, 0) + 1
        if seen[indent] % 2:
            lefts.append(body)
    return lefts


@pytest.mark.parametrize(
    "options", [{}, dict(filled=True, rounded=True, node_ids=True, precision=2)]
)
def test_tree_boxes_show_conditions_scores_and_leaves(model, options, tmp_path):
    ax = axes()
    annotations = plot_tree(model, ax=ax, **options)
    saved(ax, tmp_path / "tree.png")
    tree, p = model.export_tree(), options.get("precision", 3)
    boxes = [a.get_text().split("\n") for a in annotations[: len(tree["is_leaf"])]]
    assert [a.get_text() for a in annotations[len(boxes) :]] == ["True", "False"]
    extents = [a.get_bbox_patch().get_window_extent() for a in annotations[: len(boxes)]]
    assert not any(a.overlaps(b) for k, a in enumerate(extents) for b in extents[:k])
    assert all(ax.bbox.expanded(1.01, 1.01).contains(*e.min) for e in extents)
    assert all(ax.bbox.expanded(1.01, 1.01).contains(*e.max) for e in extents)
    if options.get("node_ids"):
        assert [b.pop(0) for b in boxes] == [f"node #{i}" for i in range(len(boxes))]
    splits = [i for i, leaf in enumerate(tree["is_leaf"]) if not leaf]
    assert [boxes[i][0] for i in splits] == left_conditions(export_text(model, decimals=p))
    for i, box in enumerate(boxes):
        assert f"samples = {tree['n_samples'][i]}" in box
        assert f"{model.criterion} = {tree['impurity'][i]:.{p}f}" in box
        if not tree["is_leaf"][i]:
            label, shown = box[1].split(" = ")
            # Values that would print as zero are shown to significant digits instead.
            assert label == "score" and math.isclose(float(shown), tree["split_score"][i],
                                                     rel_tol=0.05, abs_tol=0.5 * 10**-p)
        elif "value" in tree:
            assert box[-1] == f"value = {tree['value'][i]:.{p}f}"
        else:
            counts = [round(q * tree["n_samples"][i]) for q in tree["proba"][i]]
            name = model.classes_[tree["predicted_class"][i]]
            assert box[-2:] == [f"value = {counts}", f"class = {name}"]


@pytest.mark.parametrize("max_depth", [0, 1, 2])
def test_max_depth_hides_deeper_subtrees(model, max_depth):
    tree = model.export_tree()
    depth = [0] * len(tree["is_leaf"])
    for i, leaf in enumerate(tree["is_leaf"]):
        if not leaf:
            depth[tree["children_left"][i]] = depth[tree["children_right"][i]] = depth[i] + 1
    texts = [a.get_text() for a in plot_tree(model, ax=axes(), max_depth=max_depth)]
    cut = sum(2 for i, d in enumerate(depth) if d == max_depth and not tree["is_leaf"][i])
    assert texts.count("(...)") == cut
    assert len(texts) == sum(d <= max_depth for d in depth) + cut + 2


def test_labels_proportion_and_a_tree_deeper_than_the_recursion_limit(tmp_path):
    n = sys.getrecursionlimit() + 100  # a pre-order chain of n splits: x < k goes left
    leaf = [i % 2 == 1 or i == 2 * n for i in range(2 * n + 1)]
    chain = {
        "is_leaf": leaf,
        "children_left": [-1 if leaf[i] else i + 1 for i in range(2 * n + 1)],
        "children_right": [-1 if leaf[i] else i + 2 for i in range(2 * n + 1)],
        "feature": [-1 if leaf[i] else 0 for i in range(2 * n + 1)],
        "is_categorical": [False] * (2 * n + 1),
        "lower": [-np.inf] * (2 * n + 1),
        "upper": [float(i) for i in range(2 * n + 1)],
        "category": [-1] * (2 * n + 1),
        "n_samples": [n + 1 - i // 2 if not leaf[i] else 1 for i in range(2 * n + 1)],
        "value": [float(i) for i in range(2 * n + 1)],
    }
    model = ZELKRegressor(max_depth=1).fit(np.arange(8.0)[:, None], np.arange(8.0))
    model._native = _zelk.RawRegressor.from_tree(chain, [])
    texts = [a.get_text() for a in plot_tree(model, ax=axes(), label="root", proportion=True)]
    assert len(texts) == 2 * n + 3
    assert texts[0] == "feature_0 < 0.000\nsamples = 100.0%" and texts[1] == "0.1%\n1.000"
    assert plot_tree(model, max_depth=3, ax=axes(), label="none")[-3].get_text() == "(...)"


@pytest.mark.parametrize("as_path", [False, True])
def test_split_scores_show_folds_aggregate_and_threshold(model, as_path, tmp_path):
    tree = model.export_tree()
    path = [i for i in (0, tree["children_left"][0]) if not tree["is_leaf"][i]]
    if as_path:
        figure = Figure(figsize=(6, 5))
        FigureCanvasAgg(figure)
        drawn = plot_split_scores(model, nodes=path, ax=figure.subplots(len(path), 1))
    else:
        path = path[-1:]
        drawn = [plot_split_scores(model, node=path[0], ax=axes())]
    conditions = left_conditions(export_text(model, decimals=3))
    for i, ax in zip(path, drawn, strict=True):
        assert [b.get_height() for b in ax.patches] == pytest.approx(tree["fold_scores"][i])
        lines = {line.get_label().split(" = ")[0]: line.get_ydata()[0] for line in ax.lines}
        assert lines["score"] == pytest.approx(tree["split_score"][i])
        assert lines["min_impurity_decrease"] == model.min_impurity_decrease
        split_rank = sum(not leaf for leaf in tree["is_leaf"][:i])
        assert ax.get_title().startswith(f"node {i}: {conditions[split_rank]}  ")
    saved(drawn[0], tmp_path / "scores.png")


def test_split_scores_refuse_leaves_and_unknown_nodes(model):
    leaf = model.export_tree()["is_leaf"].index(True)
    for nodes, message in [
        ([leaf], f"node {leaf} is a leaf"),
        ([10**6], "is not a node"),
        ([], "empty"),
    ]:
        with pytest.raises(ValueError, match=message):
            plot_split_scores(model, nodes=nodes)
    with pytest.raises(ValueError, match="label must be one of"):
        plot_tree(model, label="some")


@pytest.mark.parametrize("function", ["plot_tree", "plot_split_scores"])
def test_without_matplotlib_the_error_names_the_extra(function, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    X, y = load_iris(return_X_y=True)
    with pytest.raises(ImportError, match=r"pip install 'zelk\[plot\]'"):
        getattr(zelk, function)(ZELKClassifier(max_depth=1).fit(X, y))


@pytest.mark.parametrize("without_matplotlib", [False, True])
def test_command_line_writes_the_picture(without_matplotlib, tmp_path):
    data = load_iris()
    rows = [",".join(data.feature_names + ["kind"])]
    rows += [",".join(map(str, [*x, t])) for x, t in zip(data.data, data.target)]
    (tmp_path / "iris.csv").write_text("\n".join(rows) + "\n")
    prelude = "import sys; sys.modules['matplotlib'] = None; " if without_matplotlib else ""
    code = prelude + "from zelk._cli import main; sys.exit(main(sys.argv[1:]))"
    args = ["fit", "iris.csv", "--target", "kind", "--plot", "tree.png", "--plot-depth", "1"]
    result = subprocess.run(
        [sys.executable, "-c", "import sys; " + code, *args],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if without_matplotlib:
        assert result.returncode == 1 and not (tmp_path / "tree.png").exists()
        assert result.stderr.strip() == (
            "zelk: error: --plot needs matplotlib, an optional dependency of zelk: "
            "pip install 'zelk[plot]'"
        )
    else:
        assert result.returncode == 0, result.stderr
        assert "tree picture (depth 1) written to tree.png" in result.stdout
        assert (tmp_path / "tree.png").read_bytes()[:4] == b"\x89PNG"
