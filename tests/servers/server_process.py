"""What every test server does around its work: report its port, and end with its test."""

import os
import threading
import time


def write_port(path, port):
    """Writes the port under another name first, so that a reader never sees half of it."""
    partial = path + ".partial"
    with open(partial, "w", encoding="ascii") as f:
        f.write("%d\n" % port)
    os.replace(partial, path)


def watch_parent():
    """Ends the server when the test process that started it is gone."""
    parent = os.getppid()
    while True:
        time.sleep(1)
        if os.getppid() != parent:
            os._exit(0)


def end_with_parent():
    threading.Thread(target=watch_parent, daemon=True).start()
