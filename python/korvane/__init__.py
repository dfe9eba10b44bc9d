# The package re-exports its extension module (korvane/korvane*.so, initialised by
# PyInit_korvane) unchanged: the class keeps __module__ "korvane", so pickles name
# korvane.Korvane as before. korvane.dask is imported only when asked for, since it needs
# dask[distributed].
from .korvane import Korvane, __doc__, __version__

# Importing the extension bound it here as a submodule; `import korvane` gives the
# extension's names only.
del korvane  # noqa: F821
