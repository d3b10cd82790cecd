"""`python -m tuvo_tools` is the `tuvo` command."""
from .cli import main

raise SystemExit(main())
