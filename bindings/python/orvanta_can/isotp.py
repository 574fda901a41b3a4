"""ISO 15765-2 (ISO-TP) through the library's own ISO 15765 channel.

The adapter segments and reassembles: send() hands over a whole message
and returns once it is on the bus, recv() returns a whole answer. The
channel installs the flow-control filter for its pair of identifiers, so
the adapter answers the ECU's first frames by itself.

Errors raise python-can's exceptions with the library's text:
CanInitializationError when the channel cannot be opened,
CanOperationError when a send or read fails or the channel is closed,
ValueError for arguments the adapter cannot carry.
"""

import ctypes
import threading
import time

import can

from . import passthru as pt

MAX_PAYLOAD = 4095
_READ_SLICE_MS = 100  # a read looks whether the channel was closed this often
_CLOSED = "ISO 15765 channel is closed"


def _byte(name, value):
    if value is not None and not 0 <= value <= 0xFF:
        raise ValueError(f"{name} must be a byte (0 to 255), not {value}")
    return value


class IsoTpChannel:
    """A whole-message ISO 15765 link to one ECU.

    :param channel: the adapter's port ("COM7"), None to search every port
    :param bitrate: CAN bit rate
    :param txid: identifier of the requests (and of the flow control sent)
    :param rxid: identifier of the answers
    :param extended_id: 29-bit identifiers
    :param address_extension: extended addressing: the first data byte of
        every frame sent (the ECU's address)
    :param rx_address_extension: that byte in the frames received (default:
        address_extension)
    :param padding: None for frames of their own length; a byte value pads
        every frame to 8 bytes with it
    :param block_size: consecutive frames the ECU may send per flow control
        (0: all)
    :param st_min: the gap the ECU keeps between consecutive frames (the
        ISO 15765 STmin byte)
    :param tx_timeout: seconds a send may take before it fails
    :param library: path of liborvanta_passthru.so (as for the bus)
    """

    def __init__(self, channel=None, bitrate=500000, txid=0x7E0, rxid=0x7E8, extended_id=False,
                 address_extension=None, padding=None, block_size=0, st_min=0,
                 rx_address_extension=None, tx_timeout=1.0, library=None):
        limit = 0x1FFFFFFF if extended_id else 0x7FF
        for name, value in (("txid", txid), ("rxid", rxid)):
            if not 0 <= value <= limit:
                bits = 29 if extended_id else 11
                raise ValueError(f"{name} 0x{value:X} does not fit {bits} bits")
        self._tx_ext = _byte("address_extension", address_extension)
        self._rx_ext = _byte("rx_address_extension",
                             address_extension if rx_address_extension is None
                             else rx_address_extension)
        if (self._tx_ext is None) != (self._rx_ext is None):
            raise ValueError("extended addressing needs address_extension")
        _byte("padding", padding)
        _byte("block_size", block_size)
        _byte("st_min", st_min)
        self.txid, self.rxid = txid, rxid
        self._flags = ((pt.CAN_29BIT_ID if extended_id else 0) |
                       (pt.ISO15765_ADDR_TYPE if self._tx_ext is not None else 0) |
                       (pt.ISO15765_FRAME_PAD if padding is not None else 0))
        self._mask = limit
        self._tx_wait_ms = max(0, int(tx_timeout * 1000))
        self._state_lock = threading.Lock()
        self._path = None
        self._channel = None
        self._closed = False
        path = pt.find_library(library)
        if path is None:
            raise can.CanInterfaceNotImplementedError(
                "no Orvanta pass-thru library: give library=, register it in ~/.passthru "
                "or install it")
        try:
            self._lib, device = pt.acquire(path, channel)
        except (OSError, AttributeError) as error:
            raise can.CanInterfaceNotImplementedError(f"cannot load {path}: {error}") from error
        except pt.OpenFailed as error:
            raise can.CanInitializationError(str(error), error_code=error.status) from None
        self._path = path
        try:
            self._connect(device, bitrate, padding, block_size, st_min)
        except BaseException:
            self.close()
            raise

    def _connect(self, device, bitrate, padding, block_size, st_min):
        channel_id = ctypes.c_uint32()
        self._check(self._lib.PassThruConnect(device, pt.ISO15765, pt.CAN_ID_BOTH, int(bitrate),
                                              ctypes.byref(channel_id)),
                    "PassThruConnect", can.CanInitializationError)
        self._channel = channel_id.value
        settings = [(pt.ISO15765_BS, block_size), (pt.ISO15765_STMIN, st_min)]
        if padding is not None:
            settings.append((pt.ISO15765_PAD_VALUE, padding))
        for parameter, value in settings:
            self._check(pt.set_config(self._lib, self._channel, parameter, value), "SET_CONFIG",
                        can.CanInitializationError)
        mask = self._message(self._mask, 0xFF if self._rx_ext is not None else None)
        pattern = self._message(self.rxid, self._rx_ext)
        flow = self._message(self.txid, self._tx_ext)
        filter_id = ctypes.c_uint32()
        self._check(self._lib.PassThruStartMsgFilter(
            self._channel, pt.FLOW_CONTROL_FILTER, ctypes.byref(mask), ctypes.byref(pattern),
            ctypes.byref(flow), ctypes.byref(filter_id)), "PassThruStartMsgFilter",
            can.CanInitializationError)

    def _message(self, can_id, extension, payload=b""):
        header = pt.can_id_bytes(can_id) + (bytes([extension]) if extension is not None else b"")
        data = header + bytes(payload)
        msg = pt.PassThruMsg(ProtocolID=pt.ISO15765, TxFlags=self._flags, DataSize=len(data))
        ctypes.memmove(msg.Data, data, len(data))
        return msg

    def _check(self, status, call, error=can.CanOperationError):
        if status != pt.STATUS_NOERROR:
            raise error(f"{call}: {pt.last_error(self._lib)}", error_code=status)

    def _open_channel(self):
        channel = self._channel
        if channel is None:
            raise can.CanOperationError(_CLOSED)
        return channel

    # --- traffic -------------------------------------------------------------------------

    def send(self, data, timeout=None):
        """Sends one whole message (1 to 4095 bytes); returns once the
        adapter has sent it, raises CanOperationError when it could not
        within `timeout` seconds (default: the channel's tx_timeout)."""
        channel = self._open_channel()
        data = bytes(data)
        if not 1 <= len(data) <= MAX_PAYLOAD:
            raise ValueError(f"an ISO 15765 message carries 1 to {MAX_PAYLOAD} bytes, "
                             f"not {len(data)}")
        msg = self._message(self.txid, self._tx_ext, data)
        count = ctypes.c_uint32(1)
        wait_ms = self._tx_wait_ms if timeout is None else max(0, int(timeout * 1000))
        status = self._lib.PassThruWriteMsgs(channel, ctypes.byref(msg), ctypes.byref(count),
                                             wait_ms)
        if self._closed:
            raise can.CanOperationError(_CLOSED)
        self._check(status, "PassThruWriteMsgs")
        if count.value != 1:
            raise can.CanOperationError("PassThruWriteMsgs: the message was not sent")

    def recv(self, timeout=1.0):
        """The next whole message from rxid (without identifier and address
        byte), or None when none arrives within `timeout` seconds (None:
        wait without end)."""
        channel = self._open_channel()
        deadline = None if timeout is None else time.monotonic() + timeout
        record = pt.PassThruMsg()
        header = 4 + (1 if self._rx_ext is not None else 0)
        while True:
            left_ms = _READ_SLICE_MS
            if deadline is not None:
                left_ms = min(left_ms, max(0, int((deadline - time.monotonic()) * 1000)))
            count = ctypes.c_uint32(1)
            status = self._lib.PassThruReadMsgs(channel, ctypes.byref(record),
                                                ctypes.byref(count), left_ms)
            if self._closed:
                raise can.CanOperationError(_CLOSED)
            if status not in (pt.STATUS_NOERROR, pt.ERR_TIMEOUT, pt.ERR_BUFFER_EMPTY):
                self._check(status, "PassThruReadMsgs")
            if count.value == 1 and self._is_answer(record, header):
                return bytes(record.Data[header:record.DataSize])
            if deadline is not None and time.monotonic() >= deadline:
                return None

    def _is_answer(self, record, header):
        """A whole received message from rxid; not the indications of a
        first frame or of a sent message, nor the echo of a sent one."""
        if record.RxStatus & (pt.START_OF_MESSAGE | pt.TX_INDICATION | pt.TX_MSG_TYPE):
            return False
        if record.DataSize <= header:
            return False
        if int.from_bytes(bytes(record.Data[0:4]), "big") != self.rxid:
            return False
        return self._rx_ext is None or record.Data[4] == self._rx_ext

    def empty_rxqueue(self):
        """Drops every message already received."""
        channel = self._open_channel()
        self._check(self._lib.PassThruIoctl(channel, pt.CLEAR_RX_BUFFER, None, None),
                    "CLEAR_RX_BUFFER")

    # --- end -----------------------------------------------------------------------------

    @property
    def is_open(self):
        return self._channel is not None

    def close(self):
        """Disconnects the channel and gives back the device (closed with the
        process's last bus or channel); safe to call twice."""
        with self._state_lock:
            if self._closed:
                return
            self._closed = True
        channel, self._channel = self._channel, None
        if channel is not None:
            self._lib.PassThruDisconnect(channel)
        path, self._path = self._path, None
        if path is not None:
            pt.release(path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
