"""The sample update script, configured for a test.

configured_sample   the text of packaging/fw-update.sh.sample with some of
                    the settings at its top given other values (quoted for
                    the shell, so a path may hold a space).
"""

import os
import shlex

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                      "packaging", "fw-update.sh.sample")


def configured_sample(settings):
    with open(SAMPLE) as f:
        script = f.read()
    for name, value in settings.items():
        start = script.index("\n%s=" % name) + 1
        end = script.index("\n", start)
        script = script[:start] + "%s=%s" % (name, shlex.quote(str(value))) + script[end:]
    return script
