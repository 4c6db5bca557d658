"""Where libqo_core.so is: named by the build tree, or beside an installed package."""
import glob
import os


def library_path():
    here = os.path.dirname(os.path.abspath(__file__))
    named = os.path.join(here, "_library.txt")  # written into the build tree's copy by CMake
    if os.path.isfile(named):
        with open(named) as f:
            return f.read().strip()
    # Installed as <libdir>/python/qo_core beside <libdir>/libqo_core.so.N.
    found = sorted(glob.glob(os.path.join(here, "..", "..", "libqo_core.so*")))
    return os.path.normpath(found[0]) if found else "libqo_core.so.0"
