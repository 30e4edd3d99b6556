"""Runs the property-based tests of props_native.py in a child interpreter, so that a crash
of the extension fails this test (with the child's output and the input it was working on)
instead of ending the test run."""

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run_properties(tmp_path, profile="ci", examples=None, select=None, timeout=600):
    """Runs props_native.py in a child; returns (return code, output, last input)."""
    last = tmp_path / "last_call.txt"
    env = dict(os.environ, HYPOTHESIS_PROFILE=profile, ZELK_PROPS_LAST=str(last),
               PYTHONFAULTHANDLER="1")
    if examples is not None:
        env["ZELK_PROPS_EXAMPLES"] = str(examples)
    cmd = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider",
           str(HERE / "props_native.py")]
    if select:
        cmd += ["-k", select]
    result = subprocess.run(cmd, cwd=HERE, env=env, capture_output=True, text=True,
                            timeout=timeout)
    output = result.stdout + result.stderr
    return result.returncode, output, last.read_text() if last.exists() else ""


def test_properties_in_child(tmp_path):
    code, output, last = run_properties(tmp_path)
    assert code == 0, (
        f"child exited with {code}\n--- output (tail) ---\n{output[-12000:]}\n"
        f"--- last native call before the end ---\n{last}")
    assert " passed" in output, output[-3000:]


def test_a_crash_in_the_child_fails_with_its_input(tmp_path):
    # The harness itself: a child that dies by a signal must be reported as such, with the
    # recorded call.
    script = tmp_path / "props_crash.py"
    script.write_text(
        "import ctypes, os\n"
        "def test_crash():\n"
        "    with open(os.environ['ZELK_PROPS_LAST'], 'w') as f:\n"
        "        f.write('the planted call')\n"
        "    ctypes.string_at(0)\n")
    last = tmp_path / "last_call.txt"
    env = dict(os.environ, ZELK_PROPS_LAST=str(last))
    result = subprocess.run([sys.executable, "-X", "faulthandler", "-m", "pytest", "-q",
                             "-p", "no:cacheprovider", str(script)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode < 0 or result.returncode > 2
    assert "Fatal Python error" in result.stderr
    assert last.read_text() == "the planted call"
