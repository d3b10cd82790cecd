"""The `tuvo` command's commands, one module each: `run(...)` over explicit values (the parsed flags
turned into them by `tuvo_tools.cli`, which also turns what they raise into an exit status)."""
