"""The sanitized run's log check: only the leak checker's own tracer fault may pass as a warning."""
import pathlib
import re
import subprocess

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "sanitize"
TRACER = (
    "Tracer caught signal 11: addr=0x0 pc=0x7f00 sp=0x7f10\n"
    "==123==LeakSanitizer has encountered a fatal error.\n"
    "==123==HINT: For debugging, try setting environment variable LSAN_OPTIONS=verbosity=1\n"
    "==123==HINT: LeakSanitizer does not work under ptrace (strace, gdb, etc)\n"
)
LEAK = (
    "=================================================================\n"
    "==123==ERROR: LeakSanitizer: detected memory leaks\n"
    "Direct leak of 8 byte(s) in 1 object(s) allocated from:\n"
)
UNDEFINED = "src/core/tree/sizing.hpp:10:5: runtime error: signed integer overflow\n"


@pytest.mark.parametrize("log, tracer_only", [
    (TRACER, True),
    (LEAK, False),
    (UNDEFINED, False),
    (TRACER + LEAK, False),  # a real report beside the fault is still a finding
    (TRACER.replace("Tracer caught signal 11", "  Tracer caught signal 11"), False),
])
def test_only_a_log_of_the_tracer_fault_alone_is_a_warning(tmp_path, log, tracer_only):
    pattern = re.compile(r"^tracer_only\(\) \{\n.*?^\}\n", re.DOTALL | re.MULTILINE)
    body = pattern.search(SCRIPT.read_text()).group(0)
    path = tmp_path / "asan.123"
    path.write_text(log)
    command = ["bash", "-c", body + 'tracer_only "$1"', "-", str(path)]
    status = subprocess.run(command, check=False).returncode
    assert (status == 0) == tracer_only
