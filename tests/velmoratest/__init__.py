"""What the Python tests share: harness (the program in console mode, an
HTTP client, a test base with a server of its own), wine (a Wine prefix of a
test's own, with the traces of what runs in it), systemd (a throwaway machine
that boots a real systemd) and packages (the release packages of the build).

The test runner puts the folder above this package on PYTHONPATH; by hand:
PYTHONPATH=tests python3 tests/e2e/console_mode_test.py.
"""
import os
import shutil
import tempfile


def temp_folder(test, prefix="velmora-test-"):
    """A new temporary folder, removed with its tree after the test (given a
    test case) or after the class's last test (given a test class)."""
    folder = tempfile.mkdtemp(prefix=prefix)
    add_cleanup = test.addClassCleanup if isinstance(test, type) else test.addCleanup
    add_cleanup(shutil.rmtree, folder, True)
    return folder


def write_files(folder, files):
    """Writes {relative path: bytes} below folder, making the folders; returns folder."""
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return folder
