"""Asks a window to close the way a window manager's title-bar button does: a
WM_PROTOCOLS client message carrying WM_DELETE_WINDOW. Xvfb has no window
manager, so we send it ourselves, through libX11 via ctypes."""
import ctypes
import ctypes.util

_CLIENT_MESSAGE = 33
_CURRENT_TIME = 0


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _libx11():
    lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    lib.XOpenDisplay.restype = ctypes.c_void_p
    lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    lib.XInternAtom.restype = ctypes.c_ulong
    lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_XEvent)]
    lib.XSendEvent.restype = ctypes.c_int
    lib.XFlush.argtypes = [ctypes.c_void_p]
    lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return lib


def request_close(display, window):
    """Sends WM_DELETE_WINDOW to `window` (an X window id, int or decimal
    string) on `display` (such as ":91"). Raises OSError when it cannot."""
    lib = _libx11()
    connection = lib.XOpenDisplay(display.encode())
    if not connection:
        raise OSError(f"cannot open X display {display}")
    try:
        event = _XEvent()
        event.xclient.type = _CLIENT_MESSAGE
        event.xclient.window = int(window)
        event.xclient.message_type = lib.XInternAtom(connection, b"WM_PROTOCOLS", False)
        event.xclient.format = 32
        event.xclient.data[0] = lib.XInternAtom(connection, b"WM_DELETE_WINDOW", False)
        event.xclient.data[1] = _CURRENT_TIME
        if not lib.XSendEvent(connection, int(window), False, 0, ctypes.byref(event)):
            raise OSError("XSendEvent failed")
        lib.XFlush(connection)
    finally:
        lib.XCloseDisplay(connection)
