"""libvips's messages kept out of Python: the cause of an interpreter abort.

pyvips hands every libvips message to Python's `logging` from a GLib log
handler (``pyvips._log_handler_callback``). Any Python code can start a
garbage collection; one that starts inside that handler may free a libvips
image whose loader, on closing, logs a warning of its own (libjpeg's
``read gave 1 warnings``, say). GLib sees a message logged from inside a
handler of the same thread, and a recursive message is fatal in every
domain's default mask (``G_LOG_FATAL_MASK``): the process aborts with
``VIPS-WARNING (recursed)`` and ``Fatal Python error: Aborted``. Batches of
damaged photos did this, at random, wherever a collection happened to fall.

So no Python runs for a libvips message: pyvips's handler is removed and
GLib's own handling applies. Warnings then go to standard error, as with the
``vips`` command, unless ``VIPS_WARNING`` is set when libvips starts (the
command line sets it: each file's failure is reported with its own reason).

Upstream: pyvips installs this handler unconditionally (pyvips/__init__.py,
"redirect all vips warnings to logging"); the abort is not yet reported
there. Its documented way to silence warnings, ``VIPS_WARNING``
(libvips/pyvips#208), does not remove the Python handler and so does not
avoid the abort on its own.
"""

from __future__ import annotations

import atexit
from types import ModuleType


def keep_python_out_of_logging(vips: ModuleType) -> bool:
    """Removes pyvips's Python log handler; False when this pyvips has none to remove."""
    remove = getattr(vips, "_remove_log_handler", None)
    if not callable(remove):
        return False
    remove()
    atexit.unregister(remove)  # done already
    return True
