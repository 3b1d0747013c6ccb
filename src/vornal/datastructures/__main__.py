"""`python -m vornal.datastructures`: the vornal-config command."""
import sys

from .cli import main

sys.exit(main())
