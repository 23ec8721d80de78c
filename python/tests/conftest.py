import json
import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def cli():
    """Runs the command line (VESK_CLI, set by CTest) and gives its exit
    status, standard output and standard error."""
    path = os.environ.get("VESK_CLI")
    if not path or not os.path.exists(path):
        pytest.skip("VESK_CLI does not name the built vesk program")

    def run(*args):
        p = subprocess.run([path, *args], capture_output=True, text=True, timeout=240)
        return p.returncode, p.stdout, p.stderr

    return run


@pytest.fixture(scope="session")
def report(cli):
    """The JSON report of `vesk verify ARGS --json -`."""
    def run(*args):
        status, out, err = cli("verify", *args, "--json", "-")
        assert status in (0, 1), err
        return json.loads(out)
    return run
