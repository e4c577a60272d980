#!/usr/bin/python3
"""Closes an X window the way a window manager's close button does: sends it
WM_DELETE_WINDOW."""
import sys

from Xlib import X, display, protocol

d = display.Display()
window = d.create_resource_object("window", int(sys.argv[1]))
protocols = d.intern_atom("WM_PROTOCOLS")
delete = d.intern_atom("WM_DELETE_WINDOW")
event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                     data=(32, [delete, X.CurrentTime, 0, 0, 0]))
window.send_event(event, event_mask=0)
d.flush()
