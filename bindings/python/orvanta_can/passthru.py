"""The pass-thru library through ctypes: finding it, its records and calls,
and the device that every bus and channel of the process shares.

This is the 32-bit flavour of the library (liborvanta_passthru.so): every
numeric field and argument is a 32-bit unsigned integer, every function
returns a 32-bit status code.
"""

import ctypes
import glob
import json
import os
import threading

STATUS_NOERROR = 0x00
ERR_TIMEOUT = 0x09
ERR_BUFFER_EMPTY = 0x10
ERR_EXCEEDED_LIMIT = 0x0C
ERR_BUFFER_OVERFLOW = 0x12

CAN = 5
ISO15765 = 6
FD_CAN_CH1 = 0x9880
CAN_29BIT_ID = 0x00000100
CAN_ID_BOTH = 0x00000800
CAN_FD_ENABLE = 0x01000000
CAN_FD_BRS = 0x00080000
CAN_FD_FORMAT = 0x00100000
TX_MSG_TYPE = 0x00000001
START_OF_MESSAGE = 0x00000002
TX_INDICATION = 0x00000008
ISO15765_FRAME_PAD = 0x00000040
ISO15765_ADDR_TYPE = 0x00000080
PASS_FILTER = 1
FLOW_CONTROL_FILTER = 3
SET_CONFIG = 0x02
CLEAR_RX_BUFFER = 0x08
FD_CAN_DATA_PHASE_RATE = 0x805C
ISO15765_BS = 0x1E
ISO15765_STMIN = 0x1F
ISO15765_PAD_VALUE = 0x2B

REGISTRATION_NAME = "Orvanta-IOT"
LIBRARY_FILE = "liborvanta_passthru.so.1"
DATA_SIZE = 4128

u32 = ctypes.c_uint32


class PassThruMsg(ctypes.Structure):
    _fields_ = [
        ("ProtocolID", u32),
        ("RxStatus", u32),
        ("TxFlags", u32),
        ("Timestamp", u32),
        ("DataSize", u32),
        ("ExtraDataIndex", u32),
        ("Data", ctypes.c_uint8 * DATA_SIZE),
    ]


class SConfig(ctypes.Structure):
    _fields_ = [("Parameter", u32), ("Value", u32)]


class SConfigList(ctypes.Structure):
    _fields_ = [("NumOfParams", u32), ("ConfigPtr", ctypes.POINTER(SConfig))]


_P = ctypes.POINTER
_SIGNATURES = {
    "PassThruOpen": [ctypes.c_char_p, _P(u32)],
    "PassThruClose": [u32],
    "PassThruConnect": [u32, u32, u32, u32, _P(u32)],
    "PassThruDisconnect": [u32],
    "PassThruReadMsgs": [u32, _P(PassThruMsg), _P(u32), u32],
    "PassThruWriteMsgs": [u32, _P(PassThruMsg), _P(u32), u32],
    "PassThruStartMsgFilter": [
        u32, u32, _P(PassThruMsg), _P(PassThruMsg), _P(PassThruMsg), _P(u32)],
    "PassThruStopMsgFilter": [u32, u32],
    "PassThruIoctl": [u32, u32, ctypes.c_void_p, ctypes.c_void_p],
    "PassThruGetLastError": [ctypes.c_char_p],
}


def registered_library(home=None):
    """FUNCTION_LIB of the ~/.passthru registration named Orvanta-IOT, or None."""
    folder = os.path.join(home or os.path.expanduser("~"), ".passthru")
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        try:
            with open(path, encoding="utf-8") as file:
                entry = json.load(file)
        except (OSError, ValueError):
            continue
        if isinstance(entry, dict) and entry.get("NAME") == REGISTRATION_NAME:
            library = entry.get("FUNCTION_LIB")
            if isinstance(library, str) and library:
                return library
    return None


def default_libraries():
    """Where cmake --install and the Debian package put the library."""
    return sorted(glob.glob("/usr/lib/*/" + LIBRARY_FILE)) + [
        "/usr/lib/" + LIBRARY_FILE,
        "/usr/local/lib/" + LIBRARY_FILE,
    ]


def find_library(path=None):
    """The library to load: `path` when given, else the registered one, else
    the first default location that exists."""
    if path:
        return path
    registered = registered_library()
    if registered:
        return registered
    for candidate in default_libraries():
        if os.path.exists(candidate):
            return candidate
    return None


def load(path):
    """Loads the library and declares the calls used here (OSError if it
    cannot be loaded, AttributeError if a call is missing)."""
    library = ctypes.CDLL(path)
    for name, argtypes in _SIGNATURES.items():
        function = getattr(library, name)
        function.argtypes = argtypes
        function.restype = ctypes.c_int32
    return library


def last_error(library):
    text = ctypes.create_string_buffer(80)
    library.PassThruGetLastError(text)
    return text.value.decode("latin-1")


def set_config(library, channel, parameter, value):
    """PassThruIoctl SET_CONFIG of one parameter; returns the status."""
    config = SConfig(parameter, value)
    configs = SConfigList(1, ctypes.pointer(config))
    return library.PassThruIoctl(channel, SET_CONFIG, ctypes.byref(configs), None)


def can_id_bytes(value):
    return value.to_bytes(4, "big")


class OpenFailed(Exception):
    """PassThruOpen failed: `status` and the library's text."""

    def __init__(self, status, text):
        super().__init__(f"PassThruOpen: {text}")
        self.status = status


# The library has one device per process: PassThruClose ends every channel
# of every user. Each bus or channel opens it through acquire() and gives it
# back with release(); the device is closed when the last one goes.
_device_lock = threading.Lock()
_device_users = {}  # library path -> [library, device ID, users]


def acquire(path, channel):
    """Loads the library at `path`, opens the device (or shares the one that
    is open) and returns (library, device ID). Raises OSError or
    AttributeError for a library that cannot be loaded, OpenFailed when
    PassThruOpen fails."""
    with _device_lock:
        entry = _device_users.get(path)
        library = entry[0] if entry else load(path)
        device = ctypes.c_uint32()
        name = str(channel).encode() if channel is not None else None
        status = library.PassThruOpen(name, ctypes.byref(device))
        if status != STATUS_NOERROR:
            raise OpenFailed(status, last_error(library))
        if entry:
            entry[2] += 1
        else:
            _device_users[path] = [library, device.value, 1]
        return library, device.value


def release(path):
    """Gives back one user's share of the device; the last one closes it."""
    with _device_lock:
        entry = _device_users.get(path)
        if entry is None:
            return
        entry[2] -= 1
        if entry[2] == 0:
            del _device_users[path]
            entry[0].PassThruClose(entry[1])
