"""`python -m verdalix`: the same as the `verdalix` command."""
import sys

from verdalix.cli import main

sys.exit(main())
