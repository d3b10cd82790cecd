"""Everyday tools on the TUVO SDK, built on the public PyTUVO interface only: record captures and
play them back without the camera (`Recorder`, the recording format), and the `tuvo` command."""
__version__ = "0.1.0"
