"""python-can interface "orvanta": the Orvanta pass-thru adapter as a can.Bus,
and ISO 15765 through the adapter's own channel (IsoTpChannel)."""

from .bus import OrvantaBus
from .isotp import IsoTpChannel

__all__ = ["OrvantaBus", "IsoTpChannel"]
__version__ = "1.2.0"
