"""The COM stand-in for runs on the real .NET bridge.

Runs on the real bridge put this folder, not standin/, on the module search path: there `clr`
must be pythonnet's, and standin/ would offer the stand-in `clr` instead. The COM bridge does
not exist on this platform, so this module is the stand-in's own standin/pythoncom.py, run
here with standin/ on the search path only while it imports what it needs.
"""

import os as _os
import sys as _sys

_STANDIN = _os.path.dirname(_os.path.dirname(_os.path.dirname(_os.path.abspath(__file__))))
_SOURCE = _os.path.join(_STANDIN, "pythoncom.py")

_sys.path.insert(0, _STANDIN)
try:
    with open(_SOURCE, encoding="utf-8") as _file:
        exec(compile(_file.read(), _SOURCE, "exec"))
finally:
    _sys.path.remove(_STANDIN)
