# Lets the suite run both as `discover -s tests/tools` and with `-t .` from the
# repository root: the test modules import their helpers as `hosttest`.
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)
