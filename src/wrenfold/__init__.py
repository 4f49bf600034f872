"""wrenfold: databases kept as one document."""

from importlib import metadata as _metadata

try:
    __version__: str = _metadata.version("wrenfold")
except _metadata.PackageNotFoundError:  # run from a source tree or a build's site folder
    __version__ = "0+unknown"
