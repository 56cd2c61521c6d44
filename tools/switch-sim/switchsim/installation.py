"""Where this switch-sim runs from: a source checkout, or an installation
(cmake --install, the slotboot-tools package), which adds the _installed
module to this package."""
import os
import re

try:
    from switchsim import _installed
except ImportError:
    _installed = None


def version(repo):
    """The project's version: an installation's, or in a checkout the one
    set in project() of the top CMakeLists.txt."""
    if _installed is not None:
        return _installed.VERSION
    try:   # a copy of the tool outside its checkout has none
        with open(os.path.join(repo, "CMakeLists.txt")) as f:
            found = re.search(r"project\(\s*slotboot\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


def loader_dir(prefix):
    """The installed loader's folder under prefix, or None in a checkout
    (boot then looks in the checkout's build folders)."""
    if _installed is None:
        return None
    return os.path.join(prefix, _installed.LOADER_DIR)
