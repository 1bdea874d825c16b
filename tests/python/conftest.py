import json
import os
import site
import subprocess
import sys
import textwrap

import pytest

import libkeldrin


@pytest.fixture
def run_child():
    """Runs `code` in a fresh interpreter that imports the same libkeldrin build and support.

    The child reports what it saw as one JSON value on its last line of output; that value is
    returned. A child that fails or crashes fails the test with its stderr.
    """

    def run(code):
        env = dict(os.environ)
        here = os.path.dirname(os.path.abspath(libkeldrin.__file__))
        # An installed module's folder is on the child's path already, after the standard
        # library; named in PYTHONPATH it would come first, and a backport installed there (such
        # as typing) would shadow the standard module.
        paths = [os.path.dirname(os.path.abspath(__file__)), env.get("PYTHONPATH")]
        if here not in site.getsitepackages():
            paths.insert(0, here)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, paths))
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.strip().splitlines()[-1])

    return run
