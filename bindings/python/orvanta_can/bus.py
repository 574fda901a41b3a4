"""python-can bus over the Orvanta pass-thru library.

One bus is one raw CAN channel of the adapter's first CAN interface (the
CAN FD channel with fd=True), connected for 11-bit and 29-bit identifiers.
The library may be called from any thread, so sends and reads go to it
directly: python-can's Notifier reads from its own thread while the
program sends from another, and a waiting read holds nothing a send needs.
Only shutdown takes a lock, for the bus's own state.
"""

import ctypes
import threading
import time

import can

from . import passthru as pt

_READ_SLICE_MS = 100  # a read looks whether the bus was shut down this often
_TIMESTAMP_WRAP = 1 << 32  # the adapter's time stamps count microseconds in 32 bits
_SHUT_DOWN = "bus is shut down"


def _in_notifier():
    """True on the reader thread of a python-can Notifier."""
    return threading.current_thread().name.startswith("can.notifier")


def _filter_pairs(filters):
    """(TxFlags, mask, pattern) of the pass filters for python-can filters;
    None stands for "pass everything" in both identifier formats."""
    if not filters:
        filters = [{"can_id": 0, "can_mask": 0}]
    pairs = []
    for entry in filters:
        mask = entry["can_mask"] & 0x1FFFFFFF
        pattern = entry["can_id"] & mask
        extended = entry.get("extended")
        if extended is not True and pattern <= 0x7FF:  # else no 11-bit identifier matches
            pairs.append((0, mask & 0x7FF, pattern & 0x7FF))
        if extended is not False:
            pairs.append((pt.CAN_29BIT_ID, mask, pattern))
    return pairs


class OrvantaBus(can.BusABC):
    """can.Bus(interface="orvanta", channel="COM7", bitrate=500000)

    :param channel: the adapter's port name as the library takes it ("COM7"),
        or None to let the library search every port
    :param bitrate: CAN bit rate
    :param fd: connect the CAN FD channel (frames of up to 64 bytes)
    :param data_bitrate: CAN FD data-phase rate
    :param library: path of liborvanta_passthru.so (else the ~/.passthru
        registration, else the default install location)
    """

    def __init__(self, channel=None, can_filters=None, bitrate=500000, fd=False,
                 data_bitrate=None, library=None, **kwargs):
        self._state_lock = threading.Lock()
        self._path = None
        self._channel = None
        self._closed = False
        self._filter_ids = []
        self._last_stamp = 0
        self._wraps = 0
        path = pt.find_library(library)
        if path is None:
            raise can.CanInterfaceNotImplementedError(
                "no Orvanta pass-thru library: give library=, register it in ~/.passthru "
                "or install it")
        self._protocol = pt.FD_CAN_CH1 if fd else pt.CAN
        self.channel_info = f"Orvanta pass-thru {channel or 'any port'} ({path})"
        self._open(path, channel, bitrate, fd, data_bitrate)
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)

    # --- setup -------------------------------------------------------------------------

    def _open(self, path, channel, bitrate, fd, data_bitrate):
        """Opens (or shares) the device and connects the channel. On failure
        gives back only what this bus took: the device stays open for the
        process's other buses and channels."""
        try:
            self._lib, device = pt.acquire(path, channel)
        except (OSError, AttributeError) as error:
            raise can.CanInterfaceNotImplementedError(f"cannot load {path}: {error}") from error
        except pt.OpenFailed as error:
            raise can.CanInitializationError(str(error), error_code=error.status) from None
        self._path = path
        flags = pt.CAN_ID_BOTH | (pt.CAN_FD_ENABLE if fd else 0)
        channel_id = ctypes.c_uint32()
        try:
            self._check(self._lib.PassThruConnect(device, self._protocol, flags, int(bitrate),
                                                  ctypes.byref(channel_id)),
                        "PassThruConnect", can.CanInitializationError)
            self._channel = channel_id.value
            if fd and data_bitrate:
                self._set_config(pt.FD_CAN_DATA_PHASE_RATE, int(data_bitrate))
        except BaseException:
            self._release()
            raise

    def _set_config(self, parameter, value):
        self._check(pt.set_config(self._lib, self._channel, parameter, value), "SET_CONFIG",
                    can.CanInitializationError)

    def _check(self, status, call, error=can.CanOperationError):
        if status != pt.STATUS_NOERROR:
            raise error(f"{call}: {pt.last_error(self._lib)}", error_code=status)

    # --- filters -----------------------------------------------------------------------

    def _apply_filters(self, filters):
        """Replaces the adapter's pass filters. When the adapter has too few
        filter slots, everything passes and python-can's own check filters."""
        if self._channel is None:
            return
        self._stop_filters()
        try:
            for flags, mask, pattern in _filter_pairs(filters):
                self._start_filter(flags, mask, pattern)
        except can.CanOperationError as error:
            if error.error_code != pt.ERR_EXCEEDED_LIMIT:
                raise
            self._stop_filters()
            for flags, mask, pattern in _filter_pairs(None):
                self._start_filter(flags, mask, pattern)

    def _start_filter(self, flags, mask, pattern):
        messages = []
        for value in (mask, pattern):
            msg = pt.PassThruMsg(ProtocolID=self._protocol, TxFlags=flags, DataSize=4)
            msg.Data[0:4] = value.to_bytes(4, "big")
            messages.append(msg)
        filter_id = ctypes.c_uint32()
        mask, pattern = (ctypes.byref(message) for message in messages)
        self._check(self._lib.PassThruStartMsgFilter(
            self._open_channel(), pt.PASS_FILTER, mask, pattern, None, ctypes.byref(filter_id)),
            "PassThruStartMsgFilter")
        self._filter_ids.append(filter_id.value)

    def _stop_filters(self):
        channel = self._open_channel()
        for filter_id in self._filter_ids:
            self._lib.PassThruStopMsgFilter(channel, filter_id)
        self._filter_ids = []

    def _open_channel(self):
        """The channel ID, or CanOperationError once the bus is shut down."""
        channel = self._channel
        if channel is None:
            raise can.CanOperationError(_SHUT_DOWN)
        return channel

    # --- traffic -----------------------------------------------------------------------

    def send(self, msg, timeout=None):
        channel = self._open_channel()
        if msg.is_remote_frame or msg.is_error_frame:
            raise can.CanOperationError("the adapter sends data frames only")
        out = pt.PassThruMsg(ProtocolID=self._protocol, DataSize=4 + len(msg.data))
        out.TxFlags = ((pt.CAN_29BIT_ID if msg.is_extended_id else 0) |
                       (pt.CAN_FD_FORMAT if msg.is_fd else 0) |
                       (pt.CAN_FD_BRS if msg.is_fd and msg.bitrate_switch else 0))
        out.Data[0:4] = msg.arbitration_id.to_bytes(4, "big")
        out.Data[4:4 + len(msg.data)] = bytes(msg.data)
        count = ctypes.c_uint32(1)
        wait_ms = 0 if timeout is None else max(0, int(timeout * 1000))
        status = self._lib.PassThruWriteMsgs(channel, ctypes.byref(out), ctypes.byref(count),
                                             wait_ms)
        if self._closed:
            raise can.CanOperationError(_SHUT_DOWN)
        self._check(status, "PassThruWriteMsgs")
        if count.value != 1:
            raise can.CanOperationError("PassThruWriteMsgs: the frame was not sent")

    def _recv_internal(self, timeout):
        if self._closed and _in_notifier():
            # A Notifier still running on a closed bus sees a quiet bus
            # until it is stopped, rather than dying with an error.
            time.sleep(min(timeout or 0.0, 0.05))
            return None, False
        channel = self._open_channel()
        deadline = None if timeout is None else time.monotonic() + timeout
        record = pt.PassThruMsg()
        while True:
            left_ms = _READ_SLICE_MS
            if deadline is not None:
                left_ms = min(left_ms, max(0, int((deadline - time.monotonic()) * 1000)))
            message = self._read_one(channel, record, left_ms)
            if message is not None:
                return message, False  # python-can checks its filters again
            if self._closed or (deadline is not None and time.monotonic() >= deadline):
                return None, False

    def _read_one(self, channel, record, wait_ms):
        count = ctypes.c_uint32(1)
        status = self._lib.PassThruReadMsgs(channel, ctypes.byref(record), ctypes.byref(count),
                                            wait_ms)
        if self._closed:
            if _in_notifier():
                return None
            raise can.CanOperationError(_SHUT_DOWN)
        if status not in (pt.STATUS_NOERROR, pt.ERR_TIMEOUT, pt.ERR_BUFFER_EMPTY):
            self._check(status, "PassThruReadMsgs")
        if count.value == 0 or record.DataSize < 4:
            return None
        return self._to_message(record)

    def _to_message(self, record):
        status = record.RxStatus
        return can.Message(
            timestamp=self._seconds(record.Timestamp),
            arbitration_id=int.from_bytes(bytes(record.Data[0:4]), "big"),
            is_extended_id=bool(status & pt.CAN_29BIT_ID),
            is_fd=bool(status & pt.CAN_FD_FORMAT),
            bitrate_switch=bool(status & pt.CAN_FD_BRS),
            is_rx=not status & pt.TX_MSG_TYPE,
            data=bytes(record.Data[4:record.DataSize]),
            check=False,
        )

    def _seconds(self, stamp):
        """The adapter's wrapping microsecond count as seconds that keep rising."""
        if stamp < self._last_stamp and self._last_stamp - stamp > _TIMESTAMP_WRAP // 2:
            self._wraps += 1
        self._last_stamp = stamp
        return (self._wraps * _TIMESTAMP_WRAP + stamp) / 1e6

    # --- end -----------------------------------------------------------------------------

    def shutdown(self):
        """Disconnects the channel and gives back the device (closed with the
        process's last bus or channel); safe to call twice. Later sends and
        reads raise CanOperationError("bus is shut down")."""
        with self._state_lock:
            if self._closed:
                return
            self._closed = True
        super().shutdown()
        self._release()

    def _release(self):
        self._closed = True
        channel, self._channel = self._channel, None
        if channel is not None:
            self._lib.PassThruDisconnect(channel)
        path, self._path = self._path, None
        if path is not None:
            pt.release(path)
