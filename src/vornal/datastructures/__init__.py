"""General-purpose data structures of the vornal toolkit, as extension modules."""

__version__ = "0.1.0"
