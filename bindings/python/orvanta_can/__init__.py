"""python-can interface "orvanta": the Orvanta pass-thru adapter as a can.Bus."""

from .bus import OrvantaBus

__all__ = ["OrvantaBus"]
__version__ = "1.2.0"
