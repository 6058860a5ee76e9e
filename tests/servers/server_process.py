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


def end_with_parent(time_limit=None, on_end=None):
    """Calls on_end (by default: ends the process) once the test process that started the
    server is gone, or after time_limit seconds."""
    parent = os.getppid()
    deadline = None if time_limit is None else time.monotonic() + float(time_limit)

    def watch():
        while os.getppid() == parent and (deadline is None or time.monotonic() < deadline):
            time.sleep(0.2)
        (on_end or (lambda: os._exit(0)))()

    threading.Thread(target=watch, daemon=True).start()
