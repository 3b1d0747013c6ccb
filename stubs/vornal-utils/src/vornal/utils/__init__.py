"""Helpers of the vornal toolkit (minimal stand-in)."""
