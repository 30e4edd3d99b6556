"""The command line: ``python -m zelk`` (a demonstration) and ``python -m zelk fit FILE.csv``."""

from __future__ import annotations

import argparse
import csv
import math
import sys
import time
import warnings

import numpy as np

_MISSING = {"", "na", "nan", "n/a", "null", "none"}
_AUTO_CLASSES = 20  # an integer target with at most this many values is taken as classes


class CliError(Exception):
    """A failure caused by the user's input: printed as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def _parser():
    parser = _Parser(
        prog="python -m zelk",
        description="Cross-validated decision trees. Without a command, runs a demonstration "
        "on datasets that ship with scikit-learn.",
    )
    commands = parser.add_subparsers(dest="command", parser_class=_Parser)
    commands.add_parser("demo", help="the demonstration (the default)")
    fit = commands.add_parser(
        "fit",
        help="fit a tree on a CSV file, print its cross-validated score and the tree",
        description="Fit a tree on a CSV file with a header row; print its cross-validated "
        "score and the tree fitted on all rows. Empty cells and NA/NaN are missing values.",
    )
    fit.add_argument("csv", metavar="FILE.csv", help="comma-separated file with a header row")
    fit.add_argument("--target", required=True, metavar="COLUMN", help="column to predict")
    fit.add_argument(
        "--task",
        choices=("classify", "regress"),
        help="default: classify when the target is text or has at most "
        f"{_AUTO_CLASSES} integer values, else regress",
    )
    fit.add_argument(
        "--categorical",
        default="",
        metavar="A,B",
        help="comma-separated columns of integer category codes (columns of text are "
        "categorical without being listed)",
    )
    fit.add_argument("--mode", choices=("auto", "strict", "fast"), default="auto")
    fit.add_argument("--max-depth", type=int, metavar="N")
    fit.add_argument("--min-samples-leaf", type=int, metavar="N")
    fit.add_argument("--n-bins", type=int, default=16, metavar="N")
    fit.add_argument("--cv-folds", type=int, default=5, metavar="K", help="folds inside a node")
    fit.add_argument("--criterion", help="gini/entropy (classify) or mse/variance/mae (regress)")
    fit.add_argument(
        "--objective",
        choices=("accuracy", "precision", "recall", "f1", "fbeta"),
        help="classify by a metric objective instead of impurity",
    )
    fit.add_argument(
        "--aggregator",
        choices=("mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"),
        default="mean",
    )
    fit.add_argument("--folds", type=int, default=5, metavar="K", help="folds of the score")
    fit.add_argument("--seed", type=int, default=0, help="seed of the folds")
    fit.add_argument("--n-jobs", type=int, metavar="N", help="threads (-1: all cores)")
    fit.add_argument("--show-depth", type=int, default=6, metavar="N", help="depth of the text")
    fit.add_argument(
        "--plot",
        metavar="FILE.png",
        help="also draw the tree into this image file (needs matplotlib: "
        "pip install 'zelk[plot]')",
    )
    fit.add_argument("--onnx", metavar="FILE", help="also write the tree as an ONNX model")
    fit.add_argument(
        "--plot-depth", type=int, default=3, metavar="N", help="depth of the picture (default 3)"
    )
    return parser


# ------------------------------------------------------------------------------ demo


def _demo(out):
    from sklearn.datasets import load_breast_cancer, load_diabetes
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from . import ZELKClassifier, ZELKRegressor, export_text

    sets = [
        (
            "breast_cancer",
            load_breast_cancer(),
            "accuracy",
            StratifiedKFold(5, shuffle=True, random_state=0),
            [
                ("zelk strict", ZELKClassifier(mode="strict")),
                ("zelk fast", ZELKClassifier(mode="fast")),
                ("sklearn tree", DecisionTreeClassifier(random_state=0)),
            ],
        ),
        (
            "diabetes",
            load_diabetes(),
            "r2",
            KFold(5, shuffle=True, random_state=0),
            [
                ("zelk strict", ZELKRegressor(mode="strict")),
                ("zelk fast", ZELKRegressor(mode="fast")),
                ("sklearn tree", DecisionTreeRegressor(random_state=0)),
            ],
        ),
    ]
    print("5-fold cross-validation on datasets that ship with scikit-learn", file=out)
    print("", file=out)
    header = f"{'dataset':<14} {'metric':<9} {'model':<13} {'score':>15} {'fit time':>10}"
    print(header, file=out)
    print("-" * len(header), file=out)
    for name, data, metric, cv, models in sets:
        for label, model in models:
            result = cross_validate(model, data.data, data.target, cv=cv, scoring=metric)
            scores = result["test_score"]
            score = f"{scores.mean():.3f} ± {scores.std():.3f}"
            fit_time = f"{result['fit_time'].mean() * 1000:.1f} ms"
            print(f"{name:<14} {metric:<9} {label:<13} {score:>15} {fit_time:>10}", file=out)
    data = load_breast_cancer()
    model = ZELKClassifier(mode="strict").fit(data.data, data.target)
    print("", file=out)
    print(
        f"zelk strict tree on all of breast_cancer (depth {model.get_depth()}, "
        f"{model.get_n_leaves()} leaves):",
        file=out,
    )
    print(
        export_text(
            model,
            feature_names=list(data.feature_names),
            class_names=list(data.target_names),
            max_depth=3,
        ),
        end="",
        file=out,
    )


# ------------------------------------------------------------------------------- CSV


def _number(text):
    """The float value of a cell, NaN for a missing cell, None for text."""
    stripped = text.strip()
    if stripped.lower() in _MISSING:
        return math.nan
    try:
        value = float(stripped)
    except ValueError:
        return None
    return value


def _read_csv(path):
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            rows = list(csv.reader(handle))
    except OSError as error:
        raise CliError(f"cannot read {path!r}: {error.strerror or error}") from None
    except (UnicodeDecodeError, csv.Error) as error:
        raise CliError(f"cannot parse {path!r} as CSV: {error}") from None
    rows = [row for row in rows if any(cell.strip() for cell in row)]
    if not rows:
        raise CliError(f"{path!r} is empty")
    header = [name.strip() for name in rows[0]]
    repeated = sorted({name for name in header if header.count(name) > 1})
    if repeated:
        raise CliError(
            f"{path!r} has more than one column named {', '.join(map(repr, repeated))}: "
            "rename them in the header"
        )
    body = rows[1:]
    if not body:
        raise CliError(f"{path!r} has a header but no data rows")
    for line, row in enumerate(body, start=2):
        if len(row) > len(header):
            raise CliError(
                f"row {line} of {path!r} has {len(row)} fields but the header names "
                f"{len(header)}: name every column in the header"
            )
        # A short row's missing fields are missing values, as pandas reads them.
        row.extend([""] * (len(header) - len(row)))
    return header, [list(column) for column in zip(*body)]


def _column_index(header, name):
    if name not in header:
        raise CliError(f"unknown column {name!r} (columns: {', '.join(header)})")
    return header.index(name)


def _feature_column(cells):
    """A feature column as floats, and None; or, when it holds text, the codes of its
    labels (NaN for missing cells) and the sorted labels."""
    values = [_number(cell) for cell in cells]
    if all(v is not None for v in values):
        return np.array(values, dtype=np.float64), None
    labels = sorted(
        {cell.strip() for cell in cells}
        - {c for c in map(str.strip, cells) if c.lower() in _MISSING}
    )
    codes = {label: float(k) for k, label in enumerate(labels)}
    column = [codes.get(cell.strip(), math.nan) for cell in cells]
    return np.array(column, dtype=np.float64), labels


def _integer(cell, value):
    """The exact integer that a cell of float value `value` spells, or None."""
    try:
        return int(cell.strip())  # exact, however many digits
    except ValueError:
        return int(value) if math.isfinite(value) and value.is_integer() else None


def _target(cells, name, task):
    values = [_number(cell) for cell in cells]
    missing = sum(1 for v in values if v is not None and math.isnan(v))
    if missing:
        raise CliError(
            f"target column {name!r} has {missing} missing values: fill them in or drop "
            "those rows"
        )
    numeric = all(v is not None for v in values)
    integers = [_integer(c, v) for c, v in zip(cells, values)] if numeric else []
    integral = numeric and all(i is not None for i in integers)
    if task is None:
        classify = not numeric or (integral and len(set(integers)) <= _AUTO_CLASSES)
        task = "classify" if classify else "regress"
    if task == "regress":
        if not numeric:
            bad = next(cell for cell, v in zip(cells, values) if v is None)
            raise CliError(
                f"target column {name!r} has the non-numeric value {bad.strip()!r}; "
                "use --task classify"
            )
        infinite = next((k for k, v in enumerate(values) if math.isinf(v)), None)
        if infinite is not None:
            raise CliError(
                f"target column {name!r} holds {cells[infinite].strip()!r} in data row "
                f"{infinite + 1}, beyond the double range: use a finite value or drop the row"
            )
        return np.array(values, dtype=np.float64), task
    if integral and all(-(2**63) <= i < 2**63 for i in integers):
        return np.array(integers, dtype=np.int64), task
    # Labels as written, integers beyond 64 bits included: class labels need no arithmetic.
    labels = [str(i) for i in integers] if integral else [cell.strip() for cell in cells]
    return np.array(labels, dtype=object), task


def _features(args, header, columns):
    """The feature matrix of the file, the features' names, the categorical features'
    indices and the labels of those that hold text."""
    target_index = _column_index(header, args.target)
    categorical = [name.strip() for name in args.categorical.split(",") if name.strip()]
    for name in categorical:
        _column_index(header, name)
        if name == args.target:
            raise CliError(f"the target {name!r} cannot also be categorical")
    features = [j for j in range(len(header)) if j != target_index]
    if not features:
        raise CliError("the file has no feature columns besides the target")
    names = [header[j] for j in features]
    matrix = np.empty((len(columns[0]), len(features)), dtype=np.float64)
    category_names = {}
    categorical_indices = []
    for k, j in enumerate(features):
        # A column with any text is categorical; listed numeric columns hold category codes.
        matrix[:, k], labels = _feature_column(columns[j])
        if labels is not None:
            category_names[k] = labels
        if labels is not None or header[j] in categorical:
            categorical_indices.append(k)
    infinite = np.isinf(matrix)
    if infinite.any():
        row, k = (int(i) for i in np.argwhere(infinite)[0])
        raise CliError(
            f"column {names[k]!r} holds {columns[features[k]][row].strip()!r} in data row "
            f"{row + 1}, beyond the double range: use a finite value, or leave the cell empty "
            "for a missing value"
        )
    return matrix, names, categorical_indices, category_names


def _model(args, task, categorical_indices):
    """The estimator the command line's settings describe."""
    from . import ZELKClassifier, ZELKRegressor

    settings = dict(
        max_depth=args.max_depth,
        n_bins=args.n_bins,
        cv_folds=args.cv_folds,
        cv_seed=args.seed,
        mode=args.mode,
        aggregator=args.aggregator,
        n_jobs=args.n_jobs,
        categorical_features=categorical_indices,
    )
    if args.criterion is not None:
        settings["criterion"] = args.criterion
    if args.min_samples_leaf is not None:
        settings["min_samples_leaf"] = args.min_samples_leaf
    if task == "classify":
        model = ZELKClassifier(objective=args.objective, **settings)
    else:
        if args.objective is not None:
            raise CliError("--objective applies to --task classify only")
        model = ZELKRegressor(**settings)
    return model


def _fit_csv(args, out):
    from sklearn.model_selection import KFold, StratifiedKFold, cross_val_score

    from . import export_text

    if args.plot is not None:
        _check_plot(args)
    onnx_writer = _onnx_writer() if args.onnx is not None else None
    header, columns = _read_csv(args.csv)
    matrix, names, categorical_indices, category_names = _features(args, header, columns)
    y, task = _target(columns[_column_index(header, args.target)], args.target, args.task)
    n = len(y)
    if n < 2:
        raise CliError("need at least 2 data rows")
    model = _model(args, task, categorical_indices)

    folds = min(args.folds, n)
    if folds < 2:
        raise CliError("--folds must be at least 2")
    metric = "accuracy" if task == "classify" else "r2"
    if task == "classify":
        _, counts = np.unique(y, return_counts=True)
        splitter = (
            StratifiedKFold(folds, shuffle=True, random_state=args.seed)
            if counts.min() >= folds
            else KFold(folds, shuffle=True, random_state=args.seed)
        )
    else:
        splitter = KFold(folds, shuffle=True, random_state=args.seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        scores = cross_val_score(model, matrix, y, cv=splitter, scoring=metric, error_score="raise")
        elapsed = time.perf_counter() - start
        model.fit(matrix, y)
    print(f"{args.csv}: {n} rows, {len(names)} features, task {task}", file=out)
    if categorical_indices:
        described = [
            f"{names[k]} ({len(category_names[k])} labels)" if k in category_names else names[k]
            for k in categorical_indices
        ]
        print(f"categorical features: {', '.join(described)}", file=out)
    print(
        f"{folds}-fold cross-validated {metric}: {scores.mean():.4f} ± {scores.std():.4f} "
        f"({elapsed:.2f} s)",
        file=out,
    )
    print(f"tree on all rows: depth {model.get_depth()}, {model.get_n_leaves()} leaves", file=out)
    print(
        export_text(
            model, feature_names=names, max_depth=args.show_depth, category_names=category_names
        ),
        end="",
        file=out,
    )
    if args.plot is not None:
        _write_plot(model, args.plot, args.plot_depth, names, category_names)
        print(f"tree picture (depth {args.plot_depth}) written to {args.plot}", file=out)
    if onnx_writer is not None:
        onnx_writer(model, args.onnx)
        print(f"ONNX model written to {args.onnx}", file=out)


def _check_plot(args):
    """Fail before the fit when the picture cannot be drawn."""
    from ._plot import _require_matplotlib

    if args.plot_depth < 0:
        raise CliError("--plot-depth must be at least 0")
    try:
        _require_matplotlib("--plot")
    except ImportError as error:
        raise CliError(str(error)) from None


def _onnx_writer():
    """Fail before the fit when the model cannot be exported."""
    from ._onnx import save_onnx

    try:
        return save_onnx()
    except ImportError as error:
        raise CliError(str(error)) from None


def _write_plot(model, path, depth, names, category_names):
    from ._plot import _save_tree_picture

    try:
        _save_tree_picture(model, path, depth, feature_names=names, category_names=category_names)
    except OSError as error:
        raise CliError(f"cannot write {path!r}: {error.strerror or error}") from None


def main(argv=None):
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        if args.command == "fit":
            _fit_csv(args, sys.stdout)
        else:
            _demo(sys.stdout)
    except CliError as error:
        print(f"zelk: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # the command line never shows a traceback
        message = " ".join(str(error).split()) or type(error).__name__
        print(f"zelk: error: {message}", file=sys.stderr)
        return 1
    return 0
