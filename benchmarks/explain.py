"""Explaining and deploying a tree: zelk's shap_values against shap's TreeExplainer on
scikit-learn's tree of the same depth, and a to_onnx model in ONNX Runtime against predict.

    python benchmarks/explain.py            # 100,000 rows explained, 1,000,000 predicted
    python benchmarks/explain.py --quick    # smaller, fewer repeats

Both sides of a comparison alternate within one run and the medians are reported, so that
load from elsewhere on a shared machine falls on both. Needs the explain and onnx extras
(`pip install '.[explain,onnx]'`).
"""

from __future__ import annotations

import argparse
import os

# BLAS worker threads left spinning after data generation would steal a core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import statistics
import time

import numpy as np
from sklearn.datasets import make_friedman1
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

import zelk


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def alternate(sides, repeats):
    """Runs every side once per round, `repeats` rounds; the median seconds of each side
    and the result of its last run."""
    times = {name: [] for name in sides}
    results = {}
    for _ in range(repeats):
        for name, call in sides.items():
            seconds, results[name] = timed(call)
            times[name].append(seconds)
    return {name: statistics.median(t) for name, t in times.items()}, results


def data(n, seed):
    x, y = make_friedman1(n_samples=n, n_features=10, noise=0.5, random_state=seed)
    return np.ascontiguousarray(x), y


def explain(n_rows, repeats, task):
    import shap

    x_train, y_train = data(20000, 0)
    x, _ = data(n_rows, 1)
    if task == "classify":
        y_train = np.digitize(y_train, np.quantile(y_train, [0.33, 0.66]))
        ours = zelk.ZELKClassifier(max_depth=10, validation="candidates", mode="fast")
        theirs = DecisionTreeClassifier(max_depth=10, random_state=0)
    else:
        ours = zelk.ZELKRegressor(max_depth=10, validation="candidates", mode="fast")
        theirs = DecisionTreeRegressor(max_depth=10, random_state=0)
    ours.fit(x_train, y_train)
    theirs.fit(x_train, y_train)
    explainer = shap.TreeExplainer(theirs)
    print(
        f"{task}: zelk tree depth {ours.get_depth()}, {ours.get_n_leaves()} leaves; "
        f"scikit-learn tree depth {theirs.get_depth()}, {theirs.get_n_leaves()} leaves; "
        f"{n_rows} rows, {x.shape[1]} features"
    )
    medians, results = alternate(
        {
            "shap TreeExplainer (sklearn tree)": lambda: explainer.shap_values(
                x, check_additivity=False
            ),
            "zelk shap_values, 1 thread": lambda: ours.set_params(n_jobs=1).shap_values(x),
            "zelk shap_values, 2 threads": lambda: ours.set_params(n_jobs=2).shap_values(x),
        },
        repeats,
    )
    assert (
        results["zelk shap_values, 1 thread"].tobytes()
        == results["zelk shap_values, 2 threads"].tobytes()
    )
    base = medians["shap TreeExplainer (sklearn tree)"]
    for name, seconds in medians.items():
        print(f"  {name:<36} {seconds:8.3f} s   shap / this = {base / seconds:5.2f}")
    output = ours.predict(x) if task == "regress" else ours.predict_proba(x)
    values = results["zelk shap_values, 1 thread"]
    error = np.abs(values.sum(axis=1) + ours.expected_value_ - output).max()
    print(f"  local accuracy of zelk's values: max |sum + expected - prediction| = {error:.1e}")


def deploy(n_rows, repeats):
    import onnxruntime

    x_train, y_train = data(20000, 0)
    x, _ = data(n_rows, 2)
    x[np.random.default_rng(3).random(x.shape) < 0.05] = np.nan
    x_train[np.random.default_rng(4).random(x_train.shape) < 0.05] = np.nan
    for name, est in [
        ("regressor", zelk.ZELKRegressor(max_depth=10, split_style="bin", mode="fast")),
        ("classifier", zelk.ZELKClassifier(max_depth=10, mode="fast")),
    ]:
        target = y_train if name == "regressor" else (y_train > np.median(y_train))
        est.fit(x_train, target)
        model = zelk.to_onnx(est).SerializeToString()
        sessions = {}
        for threads in (1, 2):
            options = onnxruntime.SessionOptions()
            options.intra_op_num_threads = threads
            sessions[threads] = onnxruntime.InferenceSession(
                model, options, providers=["CPUExecutionProvider"]
            )
        predict = est.predict if name == "regressor" else est.predict_proba
        medians, results = alternate(
            {
                "zelk predict": lambda: predict(x),
                "ONNX Runtime, 1 thread": lambda: sessions[1].run(None, {"X": x})[-1],
                "ONNX Runtime, 2 threads": lambda: sessions[2].run(None, {"X": x})[-1],
            },
            repeats,
        )
        same = all(
            np.array_equal(results["zelk predict"], results[k])
            for k in ("ONNX Runtime, 1 thread", "ONNX Runtime, 2 threads")
        )
        print(
            f"{name} ({est.get_n_leaves()} leaves), {n_rows} rows with 5% missing: "
            f"ONNX answers equal predict's: {same}"
        )
        for label, seconds in medians.items():
            print(f"  {label:<36} {seconds:8.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    explain_rows, deploy_rows, repeats = (10000, 100000, 3) if args.quick else (100000, 1000000, 3)
    for task in ("regress", "classify"):
        explain(explain_rows, repeats, task)
    deploy(deploy_rows, repeats)


if __name__ == "__main__":
    main()
