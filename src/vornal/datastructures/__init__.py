"""General-purpose data structures of the vornal toolkit, as extension modules."""
