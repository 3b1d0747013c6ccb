"""Discovery of installed plugins."""

import importlib.metadata

__all__ = ["get_entry_points"]


def get_entry_points(group):
    """Return the entry points of the installed distributions in ``group``."""
    return list(importlib.metadata.entry_points(group=group))
