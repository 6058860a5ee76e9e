#!/usr/bin/env python3
"""The settings editor driven as a screen reader drives it.

Starts the built program on its own Xvfb display with the accessibility bus on, stops the
countdown with a click on the notice, presses "Datensatz einfügen", fills in a job through the
edits found by their labels, presses "Datensatz speichern" and reads the settings file back with
the sqlcipher shell. Then a second new row is refused and dropped, and the recipients are typed
key by key with a leading blank: the file must hold exactly what the edit shows. Run inside `dbus-run-session`. Exit code 0 when everything held.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

pyatspi = None  # imported once the display exists: the accessibility bus starts with it

DEADLINE_S = 60


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def wait_for(what, probe, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        found = probe()
        if found:
            return found
        time.sleep(0.2)
    fail("timed out waiting for " + what)


def find(root, predicate, depth=0):
    """Depth-first search of the accessible tree below root."""
    if root is None or depth > 40:
        return None
    try:
        if predicate(root):
            return root
        for i in range(root.childCount):
            hit = find(root.getChildAtIndex(i), predicate, depth + 1)
            if hit is not None:
                return hit
    except Exception:
        return None
    return None


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == name:
            return app
    return None


def named(role, name):
    return lambda acc: acc.getRole() == role and acc.name == name


def main():
    program = os.path.abspath(sys.argv[1])
    folder = tempfile.mkdtemp(prefix="orvel-a11y-")
    xvfb = None
    proc = None
    try:
        exe = os.path.join(folder, "OrvelSQLBackup")
        shutil.copy(program, exe)
        with open(os.path.join(folder, "OrvelSQLBackup.INI"), "wb") as ini:
            ini.write(b"[OrvelSQLBackup]\r\nInternet=1\r\n")

        # A display of its own; Xvfb picks a free number and tells it through the pipe.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1366x768x24",
                                 "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            display = ":" + pipe.readline().strip()
        os.environ["DISPLAY"] = display
        # The accessibility bus and its registry are started by the session bus on first use;
        # they must know the display to synthesize the click.
        subprocess.run(["dbus-update-activation-environment", "DISPLAY=" + display], check=True)
        global pyatspi
        import pyatspi as atspi
        pyatspi = atspi
        # The registry must be up before the program starts: a program that finds no registry
        # never appears on the bus.
        wait_for("the accessibility registry", lambda: pyatspi.Registry.getDesktop(0) is not None)
        pyatspi.Registry.getDesktop(0).childCount

        env = dict(os.environ)
        env.update({"QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
                    "QT_ACCESSIBILITY": "1", "TMPDIR": folder})
        proc = subprocess.Popen([exe], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

        app = wait_for("the program on the accessibility bus", lambda: application("OrvelSQLBackup"))
        notice = wait_for("the countdown notice",
                          lambda: find(app, lambda a: a.getRole() == pyatspi.ROLE_LABEL
                                       and "Klicken Sie bitte HIER" in (a.name or "")))
        box = notice.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(box.x + box.width // 2, box.y + box.height // 2,
                                            pyatspi.MOUSE_B1C)

        log_folder = os.path.join(folder, "log")

        def stopped():
            if not os.path.isdir(log_folder):
                return False
            for name in os.listdir(log_folder):
                with open(os.path.join(log_folder, name), "rb") as day:
                    if "Automatische Programmausführung wurde deaktiviert".encode("cp1252") in day.read():
                        return True
            return False

        wait_for("the countdown to stop", stopped, timeout=10)

        insert = wait_for("the insert button",
                          lambda: find(app, named(pyatspi.ROLE_PUSH_BUTTON, "Datensatz einfügen")))
        insert.queryAction().doAction(0)

        for label, text in (("Datenbankname:", "Lager"), ("Datenbankserver:", "sql01,1533"),
                            ("DB-Benutzer-Passwort:", "geheim")):
            edit = wait_for("the edit " + label,
                            lambda: find(app, lambda a: a.getRole() in (pyatspi.ROLE_TEXT,
                                                                       pyatspi.ROLE_PASSWORD_TEXT,
                                                                       pyatspi.ROLE_ENTRY)
                                         and a.name == label))
            edit.queryEditableText().setTextContents(text)

        post = wait_for("the post button",
                        lambda: find(app, named(pyatspi.ROLE_PUSH_BUTTON, "Datensatz speichern")))
        post.queryAction().doAction(0)

        def stored():
            out = subprocess.run(["sqlcipher", os.path.join(folder, "sqlback.mdb")],
                                 input="PRAGMA key='kodiak47';\n.mode list\n"
                                       "SELECT DBName, DBServer, DBBenutzer, DBPasswort, FTP_Port "
                                       "FROM sqldatenbanken;\n",
                                 capture_output=True, text=True, timeout=10).stdout
            return "Lager|sql01,1533|sa|geheim|21" in out and out

        wait_for("the job in the settings file", stored, timeout=10)

        # A second new row that the database refuses, then dropped.
        insert.queryAction().doAction(0)
        post.queryAction().doAction(0)
        cancel = wait_for("the cancel button",
                          lambda: find(app, named(pyatspi.ROLE_PUSH_BUTTON, "Bearbeitung abbrechen")))
        cancel.queryAction().doAction(0)

        # The recipients typed as a user types them: a click into the edit, End, a blank and the
        # addresses, then Tab. The file must hold exactly what the edit shows.
        recipients = wait_for("the recipients edit",
                              lambda: find(app, lambda a: a.getRole() in (pyatspi.ROLE_TEXT,
                                                                         pyatspi.ROLE_ENTRY)
                                           and a.name == "Emailadresse(n)"))
        box = recipients.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(box.x + box.width // 2, box.y + box.height // 2,
                                            pyatspi.MOUSE_B1C)
        time.sleep(0.2)
        typed = " Admin@Example.org; b@example.org"
        pyatspi.Registry.generateKeyboardEvent(0xff57, None, pyatspi.KEY_SYM)  # End
        for ch in typed:
            pyatspi.Registry.generateKeyboardEvent(0, ch, pyatspi.KEY_STRING)
            time.sleep(0.01)
        time.sleep(0.3)
        pyatspi.Registry.generateKeyboardEvent(0xff09, None, pyatspi.KEY_SYM)  # Tab

        def shown():
            text = recipients.queryText()
            value = text.getText(0, text.characterCount)
            return value == typed and value

        wait_for("the typed recipients in the edit", shown, timeout=10)

        def recipients_stored():
            out = subprocess.run(["sqlcipher", os.path.join(folder, "sqlback.mdb")],
                                 input="PRAGMA key='kodiak47';\n.mode list\n"
                                       "SELECT '[' || EmpfaengerEmail || ']' FROM benutzerdaten;\n",
                                 capture_output=True, text=True, timeout=10).stdout
            return "[" + typed + "]" in out and out

        end = time.monotonic() + 10
        while not recipients_stored():
            if time.monotonic() > end:
                out = subprocess.run(["sqlcipher", os.path.join(folder, "sqlback.mdb")],
                                     input="PRAGMA key='kodiak47';\n"
                                           "SELECT '[' || EmpfaengerEmail || ']' FROM benutzerdaten;\n",
                                     capture_output=True, text=True, timeout=10).stdout
                fail("the settings file holds %r, the edit shows %r" % (out.strip(), typed))
            time.sleep(0.2)
        print("PASS: job and recipients entered through the accessibility bus and stored",
              flush=True)
        return 0
    finally:
        if proc is not None and proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    # Never hang: past the deadline the check fails, and its clean-up still runs.
    signal.signal(signal.SIGALRM, lambda *_: fail("deadline of %d s passed" % DEADLINE_S))
    signal.alarm(DEADLINE_S)
    sys.exit(main())
