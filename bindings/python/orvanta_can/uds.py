"""A python-udsoncan connection over the adapter's ISO 15765 channel.

    from udsoncan.client import Client
    from orvanta_can.uds import PassThruConnection

    with Client(PassThruConnection("COM7", txid=0x7E0, rxid=0x7E8)) as client:
        client.change_session(3)

Needs udsoncan (pip install udsoncan); the ISO 15765 segmentation, flow
control and padding are the adapter's (see IsoTpChannel), so can-isotp is
not used.
"""

from udsoncan.connections import BaseConnection
from udsoncan.exceptions import TimeoutException

from .isotp import IsoTpChannel


class PassThruConnection(BaseConnection):
    """udsoncan connection: one IsoTpChannel, opened by open() (or by the
    udsoncan Client's with block) with the arguments given here.

    :param channel: the adapter's port ("COM7"), None to search every port
    :param name: the connection's name in udsoncan's log
    :param options: IsoTpChannel's other arguments (bitrate, txid, rxid,
        extended_id, address_extension, padding, block_size, st_min, ...)
    """

    def __init__(self, channel=None, name=None, **options):
        super().__init__(name)
        self._channel_name = channel
        self._options = options
        self._isotp = None

    def open(self):
        if self._isotp is None:
            self._isotp = IsoTpChannel(self._channel_name, **self._options)
        return self

    def close(self):
        isotp, self._isotp = self._isotp, None
        if isotp is not None:
            isotp.close()

    def is_open(self):
        return self._isotp is not None and self._isotp.is_open

    def _open_channel(self):
        if self._isotp is None:
            raise RuntimeError("the connection is not open")
        return self._isotp

    def specific_send(self, payload, timeout=None):
        self._open_channel().send(payload, timeout)

    def specific_wait_frame(self, timeout=2):
        frame = self._open_channel().recv(timeout)
        if frame is None:
            raise TimeoutException(f"no answer within {timeout} s")
        return frame

    def empty_rxqueue(self):
        self._open_channel().empty_rxqueue()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
