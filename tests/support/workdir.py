"""Temporary folders and the stand-in `sudo` for the daemon-level tests.

temp_folder     a fresh folder under the system's temporary directory.
remove_folder   removes it again, unless NETWORKPROXY_KEEP_TEST_DIRS is set
                (then it stays for a look after a failure).
fake_sudo       an executable `sudo` that runs its arguments (none is
                installed on the test machines), to put first on PATH.
"""

import os
import shutil
import tempfile


def temp_folder(prefix="np-test-"):
    return tempfile.mkdtemp(prefix=prefix)


def remove_folder(path):
    if path and not os.environ.get("NETWORKPROXY_KEEP_TEST_DIRS"):
        shutil.rmtree(path, ignore_errors=True)


def fake_sudo(directory, record_argv=False):
    """Writes an executable `sudo` into `directory` that execs its arguments.
    With `record_argv` it first writes them, one a line, to "sudo.argv" in
    the folder it is run from, so a test can see what was asked for.

    Returns `directory`, ready to be put first on PATH.
    """
    record = 'printf "%s\\n" "$@" > sudo.argv\n' if record_argv else ""
    path = os.path.join(directory, "sudo")
    with open(path, "w") as f:
        f.write('#!/bin/sh\n' + record + 'exec "$@"\n')
    os.chmod(path, 0o755)
    return directory
