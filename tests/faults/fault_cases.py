"""The fault matrix: one row per night that goes wrong.

Every row names the servers the night needs, the fault, and what the program must make of it.
Keys of a row (all but name optional):

  name       the case's name in the table.
  tds        changes to the SQL Server stand-in's scenario (merged into the default: login
             sa / geheim, database Lager, FULL recovery model).
  tds_databases  more databases on the SQL Server stand-in, besides the jobs' own.
  sql_via    "proxy": the job's server is reached through the fault proxy; "closed": a port
             where nobody listens.
  upload     "ftp", "ftps", "sftp" or "s3": the job uploads its archive there (s3: a bucket of
             the matrix's run on Ceph's RADOS Gateway, under a prefix of the case's name).
  s3         changes to an S3 job: "secret": "wrong" (a wrong secret key of the right length),
             "bucket": another bucket's name.
  server     changes to the upload server's scenario (ftp_server.py / sftp_server.py).
  upload_via "proxy": the upload goes through the fault proxy.
  mail       changes to the SMTP server's scenario: a report mail server is set up (this
             needs the build's mail test program); mail_via "proxy" puts the proxy before it.
  fault      the proxy's fault (fault_proxy.py), for whichever connection goes through it.
  disk_full  {match, after}: the disk is nearly full under the files whose path holds
             `match`: each can grow to `after` bytes (disk_full.c, put in with LD_PRELOAD).
  backup_mib size of the full backup the server writes (MiB; default 1/16).
  jobs       number of jobs (default 1); bad_job: the 1-based job whose server is unreachable.
  db         the first job's database name (default Lager).
  copy       "none": no copy folder set.
  prepare    steps before the start (see PREPARE in fault_matrix.py).
  during     [text, step]: the step runs once the program has logged the text.
  twice      the program is started a second time after the first run ends (or is killed).
  limit      seconds the run may take (the program's own time-outs plus a margin).
  expect     code: exit code (or a list of the accepted ones); count: the "Fehleranzahl" (an
             int, a [low, high] range, or None: no count line expected); lines: log texts that
             must appear (in any order); absent: texts that must not; times: {text: n} exact
             number of lines holding the text; archive: "new" (today's archive made and
             whole), "kept" (today's packing failed: last week's archive and copy intact);
             remote: "whole" (the server holds today's archive) or "none-or-whole";
             S3 also "last-week" (the store failed and last week's object is untouched); an
             S3 case always checks that nothing else is under its prefix and that no
             multipart upload is left under way;
             an entry of lines may be a list of texts of which one must appear;
             mail: True when a report mail must arrive; flat: the last 50 jobs take no
             longer than twice the first 50; restored: False when the restore test must
             stop before any RESTORE DATABASE reaches the server. A night with the restore
             test (prepare restore_test_today) must also leave no scratch database on the
             server and never drop one the program did not make.
  told       texts that count as a failure's line besides "FEHLER ..." (the SFTP session's
             own error texts, which its upload logs in their place).
  known      "<reason>": a fault of the program that is being mended elsewhere; the row is
             shown as KNOWN and does not fail the suite. Removed when the mend lands.
"""

MIB = 1024 * 1024
SQL_BROKEN = 8 + 1  # every SQL step of an unreachable server, plus the missing backup file
# A settings file that cannot be opened is told by one of these lines.
SETTINGS_FAILED = ["FEHLER: Keine Verbindung zur Einstellungsdatenbank",
                   "FEHLER: Startvorbereitung abgebrochen"]

# An archive the S3 destination sends in parts: once the backup is written, 72 MiB that do not
# compress take its place (the database check waits meanwhile).
S3_PARTS = ["Backup abgeschlossen für Datenbank: Lager", "random_backup"]
S3_PARTS_TDS = {"delay": [{"match": "CHECKDB", "seconds": 8}]}

CASES = [
    # --- Clean nights: the baseline every fault is measured against.
    dict(name="clean-ftp", upload="ftp",
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     lines=["FTP-Prozess erfolgreich für Datenbank: Lager"])),
    dict(name="clean-ftps", upload="ftps",
         expect=dict(code=0, count=0, archive="new", remote="whole")),
    dict(name="clean-sftp", upload="sftp",
         expect=dict(code=0, count=0, archive="new", remote="whole")),

    # --- SQL Server.
    dict(name="sql-login-refused", tds={"logins": {"sa": "anderes"}},
         expect=dict(code=1, count=SQL_BROKEN, archive="kept",
                     lines=["FEHLER nicht verbunden mit Datenbank: Lager",
                            "Datei nicht gefunden: "])),
    dict(name="sql-login-refused-upload", tds={"logins": {"sa": "anderes"}}, upload="ftp",
         expect=dict(code=1, count=SQL_BROKEN + 11, archive="kept", remote="none-or-whole",
                     times={"FEHLER: Ohne ZIP ist FTP nicht möglich für Datenbank: ": 10})),
    dict(name="sql-unreachable", sql_via="closed",
         expect=dict(code=1, count=SQL_BROKEN, archive="kept")),
    dict(name="sql-drop-mid-backup",
         tds={"fail": [{"match": "BACKUP DATABASE", "number": 0, "severity": 0,
                        "message": "", "disconnect": True}]},
         expect=dict(code=1, count=[2, 12], archive="kept",
                     lines=["FEHLER bei Backup für Datenbank: Lager"])),
    dict(name="sql-stall-recovery-query", limit=120,
         tds={"delay": [{"match": "recovery_model_desc", "seconds": 600}]},
         expect=dict(code=1, count=1, archive="new",
                     lines=["FEHLER: Wiederherstellungsmodell kann nicht abgerufen werden"
                            " für Datenbank: Lager",
                            "Backup LOG übersprungen für Datenbank: Lager"])),
    dict(name="sql-backup-missing-after-success",
         tds={"delay": [{"match": "CHECKDB", "seconds": 3}]},
         during=[["Backup abgeschlossen für Datenbank: Lager", "remove_backup"]],
         expect=dict(code=1, count=1, archive="kept", lines=["Datei nicht gefunden: "])),

    # --- Packing and the copy.
    dict(name="pack-disk-full", backup_mib=4, prepare=["program_on_small_disk"],
         expect=dict(code=1, count=1, archive="kept",
                     lines=["FEHLER bei ZIP-FILE Erstellung für Datenbank: Lager"])),
    dict(name="copy-disk-full", backup_mib=2, prepare=["copy_on_tiny_disk"],
         expect=dict(code=1, count=1, archive="new",
                     lines=["FEHLER bei Kopieerstellung ZIP-FILE für Datenbank: Lager"])),
    dict(name="copy-folder-removed", prepare=["remove_copy_folder"],
         expect=dict(code=0, count=0, archive="new")),
    dict(name="copy-folder-read-only", prepare=["copy_read_only"],
         expect=dict(code=1, count=1, archive="new",
                     lines=["FEHLER bei Kopieerstellung ZIP-FILE für Datenbank: Lager"])),
    dict(name="zip64-4gib-sparse", limit=240, copy="none",
         tds={"delay": [{"match": "CHECKDB", "seconds": 3}]},
         during=[["Backup abgeschlossen für Datenbank: Lager", "sparse_backup"]],
         expect=dict(code=0, count=0, archive="new")),

    # --- FTP and FTPS.
    dict(name="ftp-cut-first-attempt", upload="ftp", backup_mib=8,
         server={"drop_data_after": MIB},
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 1})),
    dict(name="ftps-cut-first-attempt", upload="ftps", backup_mib=8,
         server={"drop_data_after": MIB},
         expect=dict(code=0, count=0, archive="new", remote="whole")),
    dict(name="ftp-cut-every-attempt", upload="ftp", backup_mib=8,
         server={"drop_data_after": MIB, "drop_data_times": 0},
         expect=dict(code=1, count=1, archive="new", remote="none-or-whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="ftps-cut-every-attempt", upload="ftps", backup_mib=8,
         server={"drop_data_after": MIB, "drop_data_times": 0},
         expect=dict(code=1, count=1, archive="new", remote="none-or-whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="ftp-control-stall-after-login", upload="ftp", upload_via="proxy", limit=150,
         fault={"mode": "stall", "direction": "down", "after_text": "230 ",
                "connections": [1]},
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 1})),
    dict(name="ftp-server-full", upload="ftp",
         server={"refuse_stor": "552 Requested file action aborted: disk full."},
         expect=dict(code=1, count=1, archive="new", remote="none-or-whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="ftp-refused-every-connection", upload="ftp", upload_via="proxy",
         fault={"mode": "refuse"},
         expect=dict(code=1, count=1, archive="new", remote="none-or-whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),

    # --- SFTP.
    dict(name="sftp-cut-every-attempt", upload="sftp", backup_mib=8,
         server={"drop_after_bytes": MIB},
         expect=dict(code=1, count=1, archive="new", remote="none-or-whole",
                     times={"Beende SFTP-Prozess für Datenbank: Lager": 10},
                     told=["Error writing the remote file"])),
    dict(name="sftp-cut-first-attempt", upload="sftp", upload_via="proxy", backup_mib=8,
         fault={"mode": "cut", "direction": "up", "after": MIB, "connections": [1]},
         expect=dict(code=0, count=0, archive="new", remote="whole")),
    dict(name="sftp-stall-mid-upload", upload="sftp", upload_via="proxy", backup_mib=8,
         limit=200,
         fault={"mode": "stall", "direction": "up", "after": MIB, "connections": [1]},
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     times={"Starte SFTP-Prozess für Datenbank: Lager": 2})),
    dict(name="sftp-host-key-changed", upload="sftp", prepare=["foreign_host_key"],
         expect=dict(code=1, count=1, archive="new", remote="none-or-whole",
                     times={"Beende SFTP-Prozess für Datenbank: Lager": 10})),

    # --- S3: tonight's object whole with its SHA-256 in the metadata, or last week's untouched;
    # never half of one, never an upload left under way. Connections through the proxy: 1 asks
    # for the bucket, 2 for uploads left under way, 3 stores (or starts the multipart upload).
    dict(name="clean-s3", upload="s3",
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     lines=["FTP-Prozess erfolgreich für Datenbank: Lager"])),
    dict(name="s3-wrong-secret", upload="s3", s3={"secret": "wrong"},
         expect=dict(code=1, count=1, archive="new", remote="last-week",
                     lines=["SignatureDoesNotMatch"],
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="s3-unknown-bucket", upload="s3", s3={"bucket": "orvel-no-such-bucket"},
         expect=dict(code=1, count=1, archive="new", remote="last-week",
                     lines=["NoSuchBucket"],
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="s3-server-down", upload="s3", upload_via="proxy", fault={"mode": "refuse"},
         limit=150,
         expect=dict(code=1, count=1, archive="new", remote="last-week",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="s3-cut-first-attempt", upload="s3", upload_via="proxy", backup_mib=8,
         fault={"mode": "cut", "direction": "up", "after": MIB, "connections": [3]},
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 0})),
    dict(name="s3-part-cut-first-attempt", upload="s3", upload_via="proxy", limit=120,
         tds=S3_PARTS_TDS, during=[S3_PARTS],
         fault={"mode": "cut", "direction": "up", "after": 4 * MIB, "connections": [4]},
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 0})),
    dict(name="s3-part-cut-every-attempt", upload="s3", upload_via="proxy", limit=240,
         tds=S3_PARTS_TDS, during=[S3_PARTS],
         fault={"mode": "cut", "direction": "up", "after": MIB},
         expect=dict(code=1, count=1, archive="new", remote="last-week",
                     times={"FEHLER bei FTP-Prozess für Datenbank: Lager": 10})),
    dict(name="kill-while-uploading-s3", upload="s3", upload_via="proxy", limit=150, twice=True,
         tds=S3_PARTS_TDS, fault={"delay": 0.05},
         during=[S3_PARTS, ["FTP-Prozess mit Server verbunden für Datenbank: Lager",
                            "kill_soon"]],
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     lines=["Ein nicht beendetes Hochladen von "])),

    # --- The report mail (needs the mail test program).
    dict(name="mail-clean", mail={},
         expect=dict(code=0, count=0, archive="new", mail=True, lines=["Email gesendet"])),
    dict(name="mail-errors-subject", mail={}, tds={"logins": {"sa": "anderes"}},
         expect=dict(code=1, count=SQL_BROKEN, archive="kept", mail=True)),
    dict(name="mail-drop-after-data", mail={}, mail_via="proxy",
         fault={"mode": "cut", "direction": "up", "after": 6000},
         expect=dict(code=0, count=0, archive="new",
                     lines=["FEHLER beim Emailversand"])),
    dict(name="mail-stall", mail={}, mail_via="proxy", limit=120,
         fault={"mode": "stall", "direction": "down"},
         expect=dict(code=0, count=0, archive="new", lines=["FEHLER beim Emailversand"])),
    dict(name="mail-wrong-login", mail={"refuse_login": True},
         expect=dict(code=0, count=0, archive="new", lines=["FEHLER beim Emailversand"])),
    dict(name="mail-log-folder-unwritable", mail={}, prepare=["log_read_only"],
         expect=dict(code=0, count=0, archive="new", mail=True)),

    # --- The settings file.
    dict(name="settings-locked", prepare=["lock_settings"],
         expect=dict(code=2, count=None, lines=[SETTINGS_FAILED])),
    dict(name="settings-wrong-key", prepare=["settings_wrong_key"],
         expect=dict(code=2, count=None, lines=[SETTINGS_FAILED])),
    dict(name="settings-plain-sqlite", prepare=["settings_plain_sqlite"],
         expect=dict(code=2, count=None, lines=[SETTINGS_FAILED])),
    dict(name="settings-zip", prepare=["settings_zip"],
         expect=dict(code=2, count=None, lines=[SETTINGS_FAILED])),
    dict(name="settings-zero-bytes", prepare=["settings_zero_bytes"],
         expect=dict(code=2, count=None, lines=[SETTINGS_FAILED])),
    dict(name="settings-random-bytes", prepare=["settings_random_bytes"],
         expect=dict(code=2, count=None, lines=[SETTINGS_FAILED])),
    dict(name="program-folder-read-only", prepare=["program_read_only"],
         expect=dict(code=[1, 2], count=None)),
    dict(name="log-folder-unwritable", prepare=["log_read_only"],
         expect=dict(code=0, count=0, archive="new")),

    # --- Names and links that point out of the program's folders.
    dict(name="dbname-leaves-program-folder", db="../Lager",
         expect=dict(code=1, count=[1, 30], archive=None)),
    dict(name="archive-and-copy-are-links", prepare=["archive_links"],
         expect=dict(code=0, count=0, archive="new")),

    # --- The process.
    dict(name="kill-while-packing", backup_mib=256, limit=150, twice=True,
         during=[["Starte hinzufügen: ", "kill"]],
         expect=dict(code=0, count=0, archive="new")),
    dict(name="kill-while-uploading", upload="sftp", backup_mib=32, limit=150, twice=True,
         upload_via="proxy", fault={"delay": 0.05},
         during=[["Starte SFTP-Prozess für Datenbank: Lager", "kill_soon"]],
         expect=dict(code=0, count=0, archive="new", remote="whole")),
    dict(name="kill-while-settings-written", prepare=["empty_zip_name"], twice=True,
         during=[["ZIP-Datei ist bestellt für Datenbank: Lager", "kill"]],
         expect=dict(code=0, count=0, archive="new")),

    # --- The night's restore test (RestoreTest= today): from the upload target, into a scratch
    # database that is checked and dropped; nothing of it stays behind.
    dict(name="restore-test-sftp", upload="sftp", prepare=["restore_test_today"],
         expect=dict(code=0, count=0, archive="new", remote="whole",
                     lines=["Archiv geladen für Datenbank: Lager",
                            "Wiederherstellungstest erfolgreich für Datenbank: Lager"])),
    dict(name="restore-test-check-fails", prepare=["restore_test_today"],
         tds={"checkdb_corrupt": ["Lager_Wiederherstellungstest"]},
         expect=dict(code=1, count=1, archive="new",
                     lines=["FEHLER beim Wiederherstellungstest für Datenbank: Lager"])),
    dict(name="restore-test-foreign-scratch", prepare=["restore_test_today"],
         tds_databases={"Lager_Wiederherstellungstest": {}},
         expect=dict(code=1, count=1, archive="new",
                     lines=["wurde nicht von diesem Programm angelegt und wird nicht gelöscht",
                            "FEHLER beim Wiederherstellungstest für Datenbank: Lager"],
                     absent=["Datenbank wiederhergestellt für Datenbank: Lager"])),
    dict(name="kill-during-restore-test", prepare=["restore_test_today"], twice=True,
         during=[["Datenbank wiederhergestellt für Datenbank: Lager", "kill"]],
         expect=dict(code=0, count=0, archive="new",
                     lines=["Die Testdatenbank Lager_Wiederherstellungstest eines abgebrochenen "
                            "Tests wird gelöscht für Datenbank: Lager",
                            "Wiederherstellungstest erfolgreich für Datenbank: Lager"])),
    # The archive at the destination lost its end after the upload was confirmed: the test
    # fetches it whole as the server has it, and the reader finds it cut.
    dict(name="restore-test-archive-cut-at-destination", upload="sftp",
         prepare=["restore_test_today"], server={"cut_after_session": 4096},
         expect=dict(code=1, count=1, archive="new", restored=False,
                     lines=["Archiv geladen für Datenbank: Lager",
                            "ZIP-Datei beschädigt oder abgeschnitten: ",
                            "FEHLER beim Wiederherstellungstest für Datenbank: Lager"],
                     absent=["Archiv geprüft für Datenbank: Lager"])),
    # The destination's server went down after the upload: nobody listens on its port.
    dict(name="restore-test-destination-down", upload="sftp", upload_via="proxy",
         fault={"listen_for": 1}, prepare=["restore_test_today"],
         expect=dict(code=1, count=1, archive="new", remote="whole", restored=False,
                     lines=["kann am Ziel nicht abgefragt werden: ", "Connection refused",
                            "FEHLER beim Wiederherstellungstest für Datenbank: Lager"],
                     absent=["Archiv geladen für Datenbank: Lager"])),
    # The disk fills up while the backup is unpacked into the program folder, after the room
    # was found sufficient (the night's own smaller files still fit).
    dict(name="restore-test-disk-full-unpacking", backup_mib=4, prepare=["restore_test_today"],
         disk_full={"match": "/program", "after": 2 * MIB},
         expect=dict(code=1, count=1, archive="new", restored=False,
                     lines=["Archiv geladen für Datenbank: Lager",
                            "Datei kann nicht geschrieben werden: ",
                            "FEHLER beim Wiederherstellungstest für Datenbank: Lager"],
                     absent=["Archiv geprüft für Datenbank: Lager"])),
    dict(name="two-starts-same-second", prepare=["second_start"],
         expect=dict(code=0, count=0, archive="new")),

    # --- Scale.
    dict(name="scale-200-jobs-one-unreachable", jobs=200, bad_job=100, copy="none",
         limit=300,
         expect=dict(code=1, count=SQL_BROKEN, archive="new", flat=True,
                     times={"ZIP-Datei erstellt für Datenbank: ": 199})),
]
