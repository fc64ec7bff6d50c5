#!/usr/bin/python3
"""End-to-end tests: the built zvmail32 against a real mail system on
loopback (scripts/mailsystem: aiosmtpd delivering into Maildirs, dovecot
serving them by POP3; for strict_postfix a private Postfix that insists on
SMTP command synchronisation). Every case has its own loopback address and
its own temporary directories, so cases may run in parallel.

  e2e_test.py --program PATH [CASE ...]     (no CASE: all of them)

Cases the machine cannot run (not root; dovecot, aiosmtpd or postfix missing)
are skipped; exit code 77 when that leaves none.
"""

import argparse
import os
import re
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as es  # noqa: E402

PROGRAM = None
ROBOT = "ZVROBOT"
TAG = "zvmailer_windows"
ENVELOPE = ("%s\n%s@zorvik\n%s@zorvik\n" % (TAG, ROBOT, ROBOT)).encode()


def message(subject, body_lines, sender="office@zorvik", to="robot@zorvik"):
    head = ["From: Head Office <%s>" % sender, "To: <%s>" % to, "Subject: %s" % subject]
    return "".join(l + "\r\n" for l in head + [""] + body_lines).encode("latin-1")


class E2ECase(unittest.TestCase):
    ADDRESS = None
    USERS = {"robot": "robot-secret"}
    NEEDS = "a local mail system"

    @classmethod
    def missing(cls):
        """Why this machine cannot run the case, or None."""
        return es.missing_prerequisites()

    def setUp(self):
        self.ws = es.Workspace()
        self.addCleanup(self.ws.remove)
        self.mail = es.MailSystem(self.ADDRESS, os.path.join(self.ws.path, es.state_dir_name(self.ADDRESS)),
                                  self.USERS)
        if self.USERS:
            self.addCleanup(self.mail.stop)
            self.mail.start()
        self.inst = es.Instance(self.ws.path, PROGRAM)

    def ini(self, **values):
        base = dict(SMTP=self.ADDRESS, POP=self.ADDRESS, USERNAME="robot",
                    PASSWORD=self.USERS.get("robot", "x"), ROBOT=ROBOT, COUNTER="0",
                    DELETEALL="NO", DEBUG="NO")
        base.update(values)
        self.inst.write_ini(**base)

    def run_once(self):
        r = self.inst.run()
        self.assertEqual(r.returncode, 0, self.context())
        return r

    def context(self):
        return "\n" + self.inst.report() + "\n" + self.mail.logs()


class Send(E2ECase):
    """Outbound pairs go to the real SMTP server; accepted pairs leave OUT,
    a refused recipient keeps its pair."""
    ADDRESS = "127.0.0.41"
    USERS = {"robot": "robot-secret", "alice": "a", "bob": "b"}

    def test(self):
        alice = (b"From: ZVROBOT@zorvik\r\nTo: alice@zorvik\r\nSubject: ZORVIK TRANSPORT\r\n\r\n"
                 b"   blanks around are trimmed   \r\n.leading dot survives\r\n.\r\n"
                 b"\tA tab stays\r\nlast line without break")
        bob = b"Subject: TRANSPORT\r\nFrom: ZVROBOT@zorvik\r\nTo: bob@zorvik\r\n\r\nfor bob\r\n\r\n"
        self.inst.put_outbound("TM000001", "ZV1", "zvrobot@zorvik", "alice@zorvik", alice)
        self.inst.put_outbound("TM000002", "ZV2", "zvrobot@zorvik", "bob@example.org", bob)
        self.inst.put_outbound("TM000003", "ZV3", "zvrobot@zorvik", "nobody@zorvik", b"Subject: lost\r\n\r\nx\r\n")
        self.ini()
        self.run_once()

        self.assertEqual(self.inst.files("out"), ["TM000003.TXT", "TM000003.WRK"], self.context())
        self.assertEqual(self.mail.delivered("alice"), [es.sent_form(alice)], self.context())
        self.assertEqual(self.mail.delivered("bob"), [es.sent_form(bob)], self.context())
        self.assertEqual(self.mail.delivered("robot"), [])
        smtpd_log = es.tail(os.path.join(self.mail.state, "smtpd.log"), 200)
        self.assertIn("delivered from <zvrobot@zorvik> to alice@zorvik", smtpd_log)
        self.assertIn("delivered from <zvrobot@zorvik> to bob@example.org", smtpd_log)
        log = self.inst.log_lines()
        self.assertIn("There are 3 messages to send", log, self.context())
        self.assertIn("SMTP host would not accept mail for recipient", log, self.context())


RECEIVE_A = message("Zorvik Transport", [
    "first body line",
    "  indented, trailing blanks kept  ",
    "   ",
    "",
    " .",
    "..two dots",
    ".one dot",
    "last line"])
# As filed: LF line ends, the blank-only line emptied, un-stuffed dots kept.
FILED_A = (b"From: Head Office <office@zorvik>\nTo: <robot@zorvik>\nSubject: Zorvik Transport\n\n"
           b"first body line\n  indented, trailing blanks kept  \n\n\n .\n..two dots\n.one dot\nlast line\n")
RECEIVE_B = message("Transport of goods", ["not for Zorvik"])
RECEIVE_C = (b"From: office@zorvik\r\nsubject:   receipt\r\n  SUBJECT: RECEIPT  \r\nTo: robot@zorvik\r\n\r\n"
             b"receipt body\r\n")
FILED_C = b"From: office@zorvik\nsubject:   receipt\n  SUBJECT: RECEIPT  \nTo: robot@zorvik\n\nreceipt body\n"
OLDER = b"an unread inbound file of an earlier run\n"


class ReceiveBase(E2ECase):
    """Zorvik messages are fetched from dovecot and filed as numbered pairs;
    a number whose .TXT exists is skipped; other mail is kept or deleted."""
    DELETEALL = None

    def test(self):
        for m in (RECEIVE_A, RECEIVE_B, RECEIVE_C):
            self.mail.submit("office@zorvik", "robot@zorvik", m)
        with open(os.path.join(self.inst.in_dir, "00000043.TXT"), "wb") as f:
            f.write(OLDER)
        self.ini(COUNTER="41", DELETEALL=self.DELETEALL)
        self.run_once()

        # A is 42; 43 is taken; B draws 44 and is not filed; C is 45.
        self.assertEqual(self.inst.files("in"),
                         ["00000042.TXT", "00000042.WRK", "00000043.TXT", "00000045.TXT", "00000045.WRK"],
                         self.context())
        self.assertEqual(self.inst.read_in("00000042.TXT"), FILED_A)
        self.assertEqual(self.inst.read_in("00000045.TXT"), FILED_C)
        self.assertEqual(self.inst.read_in("00000042.WRK"), ENVELOPE)
        self.assertEqual(self.inst.read_in("00000045.WRK"), ENVELOPE)
        self.assertEqual(self.inst.read_in("00000043.TXT"), OLDER)
        self.assertEqual(self.inst.ini_value("COUNTER"), "45", self.context())

        left = self.mail.mailbox("robot")
        log = self.inst.log_lines()
        self.assertIn("3 messages in the mailbox", log, self.context())
        if self.DELETEALL == "YES":
            self.assertEqual(left, [])
            self.assertIn("Message was not for Zorvik (Deleting)", log)
        else:
            self.assertEqual(left, [RECEIVE_B.replace(b"\r\n", b"\n")])
            self.assertIn("Message was not for Zorvik (Saving)", log)


class ReceiveKeep(ReceiveBase):
    ADDRESS = "127.0.0.42"
    DELETEALL = "NO"


class ReceiveDelete(ReceiveBase):
    ADDRESS = "127.0.0.46"
    DELETEALL = "YES"


ROUND_TRIP = {
    "TM000101": message("TRANSPORT", ["batch 101", "", ". a dot line", "end"], sender="zvrobot@zorvik"),
    "TM000102": message("ZORVIK RECEIPT", ["receipt for 100"], sender="zvrobot@zorvik"),
}


class RoundTrip(E2ECase):
    """One cycle sends the pairs to the robot's own mailbox and files them in
    IN; SMTP and POP given as host:port."""
    ADDRESS = "127.0.0.43"

    def test(self):
        for base, text in ROUND_TRIP.items():
            self.inst.put_outbound(base, "ZV", "zvrobot@zorvik", "robot@zorvik", text)
        self.ini(SMTP=self.ADDRESS + ":25", POP=self.ADDRESS + ":110", COUNTER="7")
        self.run_once()

        self.assertEqual(self.inst.files("out"), [], self.context())
        self.assertEqual(self.inst.files("in"),
                         ["00000008.TXT", "00000008.WRK", "00000009.TXT", "00000009.WRK"], self.context())
        # The order of sending follows the directory listing; compare as sets.
        filed = {self.inst.read_in("00000008.TXT"), self.inst.read_in("00000009.TXT")}
        self.assertEqual(filed, {es.sent_form(t) for t in ROUND_TRIP.values()})
        self.assertEqual(self.inst.read_in("00000008.WRK"), ENVELOPE)
        self.assertEqual(self.inst.read_in("00000009.WRK"), ENVELOPE)
        self.assertEqual(self.inst.ini_value("COUNTER"), "9", self.context())
        self.assertEqual(self.mail.mailbox("robot"), [], "filed messages must be deleted on the server")


def after_exiting(log):
    """Lines after "Exiting" other than the hang-up's "Disconnected"."""
    if "Exiting" not in log:
        return ["(no Exiting)"]
    rest = log[log.index("Exiting") + 1:]
    return [l for l in rest if not l.startswith("Disconnected")]


LOG_LINE = re.compile(r"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d  \S.*$")


class Log(E2ECase):
    """The log of a whole run: time-stamped CR LF lines, the main steps in order."""
    ADDRESS = "127.0.0.44"

    def test(self):
        self.inst.put_outbound("TM000201", "ZV", "zvrobot@zorvik", "robot@zorvik",
                               message("RECEIPT", ["ok"], sender="zvrobot@zorvik"))
        self.ini()
        self.run_once()

        with open(self.inst.log, "rb") as f:
            raw = f.read().decode("latin-1")
        self.assertTrue(raw.endswith("\r\n"), raw)
        for line in raw[:-2].split("\r\n"):
            self.assertRegex(line, LOG_LINE)
        main = [
            "Running version 2.0",
            "There are 1 messages to send",
            "Talking to SMTP (%s)" % self.ADDRESS,
            "Sending TM000201",
            "Talking to POP3 (%s)" % self.ADDRESS,
            "1 messages in the mailbox",
            "Retrieving message 1",
            "Exiting",
        ]
        log = self.inst.log_lines()
        positions = []
        for text in main:
            self.assertIn(text, log, self.context())
            positions.append(log.index(text))
        self.assertEqual(positions, sorted(positions), self.context())
        self.assertEqual(log[0], "Running version 2.0")
        self.assertEqual(after_exiting(log), [], self.context())


class BadPassword(E2ECase):
    """dovecot refuses the password: nothing is filed or deleted, the counter
    stays, and the password never reaches the log, even with DEBUG on."""
    ADDRESS = "127.0.0.45"

    def test(self):
        self.mail.submit("office@zorvik", "robot@zorvik", RECEIVE_A)
        self.ini(PASSWORD="Wrong-Secret-42", DEBUG="YES", COUNTER="5")
        self.run_once()

        log = self.inst.log_lines()
        self.assertIn("Invalid username/password combination", log, self.context())
        self.assertIn("DEBUG:C:USER robot", log, self.context())
        self.assertFalse([l for l in log if l.upper().startswith("DEBUG:C:PASS") or "Wrong-Secret-42" in l], log)
        self.assertEqual(self.inst.files("in"), [])
        self.assertEqual(self.inst.ini_value("COUNTER"), "5", self.context())
        self.assertEqual(len(self.mail.mailbox("robot")), 1)


class ServerDown(E2ECase):
    """Nothing listens: both passes fail, the run still ends by itself and
    the outbound pair stays for the next run."""
    ADDRESS = "127.0.0.47"
    USERS = {}

    def test(self):
        self.inst.put_outbound("TM000301", "ZV", "zvrobot@zorvik", "robot@zorvik", message("TRANSPORT", ["x"]))
        self.ini()
        self.run_once()

        self.assertEqual(self.inst.files("out"), ["TM000301.TXT", "TM000301.WRK"], self.context())
        self.assertEqual(self.inst.files("in"), [])
        log = self.inst.log_lines()
        self.assertIn("There are 1 messages to send", log, self.context())
        self.assertNotIn("Talking to SMTP (%s)" % self.ADDRESS, log)
        self.assertIn("Exiting", log, self.context())
        self.assertEqual(after_exiting(log), [], self.context())


class TwoRuns(E2ECase):
    """The rewritten ZVMAIL32.INI carries a second run: same servers, same
    directories, and COUNTER continues from where the first run left it."""
    ADDRESS = "127.0.0.48"

    def test(self):
        first = message("TRANSPORT", ["first run"])
        second = message("RECEIPT", ["second run"])
        self.ini(COUNTER="99")
        self.mail.submit("office@zorvik", "robot@zorvik", first)
        self.run_once()
        self.assertEqual(self.inst.files("in"), ["00000100.TXT", "00000100.WRK"], self.context())

        self.inst.put_outbound("TM000401", "ZV", "zvrobot@zorvik", "robot@zorvik", second)
        self.run_once()
        self.assertEqual(self.inst.files("out"), [], self.context())
        self.assertEqual(self.inst.files("in"),
                         ["00000100.TXT", "00000100.WRK", "00000101.TXT", "00000101.WRK"], self.context())
        self.assertEqual(self.inst.read_in("00000101.TXT"), es.sent_form(second))
        self.assertEqual(self.inst.ini_value("COUNTER"), "101", self.context())
        self.assertEqual(self.inst.log_lines().count("Running version 2.0"), 2)


def consignment_lines(n):
    """A few KB of text for pair n, different in length for every pair."""
    lines = ["Consignment %d, line %d: %s" % (n, i, "zorvik " * (i % 9 + 1)) for i in range(20 + n * 7 % 60)]
    lines.insert(5, ".a line with a leading dot")
    return lines


class StrictPostfix(E2ECase):
    """One run sends many pairs, a refused one among them, in one session to
    a Postfix that disconnects a client sending a command before the reply to
    the previous one came: every command waits for its reply, RSET's too."""
    ADDRESS = "127.0.0.50"
    USERS = {}  # no aiosmtpd and dovecot: the receive pass finds nothing
    NEEDS = "a local Postfix"
    PAIRS = 21
    REFUSED = 11  # its recipient is refused; the pairs after it still go

    @classmethod
    def missing(cls):
        return es.missing_postfix()

    def setUp(self):
        super().setUp()
        self.pfx = es.StrictSmtpServer(self.ADDRESS, os.path.join(self.ws.path,
                                                                  es.postfix_state_dir_name(self.ADDRESS)))
        self.addCleanup(self.pfx.stop)
        self.pfx.start()

    def context(self):
        return "\n" + self.inst.report() + "\n" + self.pfx.logs()

    def test(self):
        texts = {}
        for n in range(1, self.PAIRS + 1):
            base = "TM%06d" % (500 + n)
            to = "nobody@zorvik" if n == self.REFUSED else "robot%02d@zorvik" % n
            texts[to] = message("TRANSPORT %d" % n, consignment_lines(n), sender="zvrobot@zorvik", to=to)
            self.inst.put_outbound(base, "ZV%d" % n, "zvrobot@zorvik", to, texts[to])
        refused_base = "TM%06d" % (500 + self.REFUSED)
        accepted = sorted(to for to in texts if to != "nobody@zorvik")
        self.ini(DEBUG="YES")
        self.run_once()

        self.assertEqual(self.inst.files("out"), [refused_base + ".TXT", refused_base + ".WRK"], self.context())

        log = self.inst.log_lines()
        plain = [l for l in log if not l.startswith("DEBUG:")]
        expected = ["There are %d messages to send" % self.PAIRS, "Talking to SMTP (%s)" % self.ADDRESS]
        for n in range(1, self.PAIRS + 1):
            expected.append("Sending TM%06d" % (500 + n))
            if n == self.REFUSED:
                expected.append("SMTP host would not accept mail for recipient")
        self.assertIn(expected[0], plain, self.context())
        start = plain.index(expected[0])
        self.assertEqual(plain[start:start + len(expected)], expected, self.context())
        self.assertEqual([l for l in plain if l.startswith("SMTP ") or l.startswith("Could not")],
                         ["SMTP host would not accept mail for recipient"], self.context())

        # The session as the log records it: each command with the reply read
        # for it before the next command went out.
        session = []
        for line in log:
            if line.startswith("DEBUG:C:"):
                session.append([line[8:], None])
            elif line.startswith("DEBUG:R:") and session and session[-1][1] is None:
                session[-1][1] = line[8:]
        smtp = session[:session.index(["QUIT", None]) + 1] if ["QUIT", None] in session else session
        want = [("HELO", "250")]
        for n in range(1, self.PAIRS + 1):
            to = "nobody@zorvik" if n == self.REFUSED else "robot%02d@zorvik" % n
            want += [("MAIL FROM:<zvrobot@zorvik>", "250")]
            if n == self.REFUSED:
                want += [("RCPT TO:<%s>" % to, "550")]
            else:
                want += [("RCPT TO:<%s>" % to, "250"), ("DATA", "354"), (".", "250")]
            if n != self.PAIRS:
                want += [("RSET", "250")]
        want += [("QUIT", None)]
        got = [(c if not c.startswith("HELO ") else "HELO", r[:3] if r is not None else None) for c, r in smtp]
        self.assertEqual(got, want, self.context())
        queued_as = [r.rsplit(" ", 1)[-1] for c, r in smtp if c == "." and "queued as" in r]
        self.assertEqual(len(queued_as), len(accepted), self.context())

        # The server's view: the session ended by QUIT with every command
        # answered, and nothing was taken for pipelining.
        def session_ended(lines):
            return any("disconnect from" in l and "helo=" in l for l in lines)
        maillog = self.pfx.wait_for_log(session_ended)
        self.assertTrue(session_ended(maillog), self.context())
        bad = [l for l in maillog if re.search(r"improper command pipelining|synchroni[sz]ation|lost connection",
                                               l, re.IGNORECASE)]
        self.assertEqual(bad, [], self.context())
        counts = [dict(kv.split("=", 1) for kv in re.search(r"disconnect from \S+ (.*)$", l).group(1).split())
                  for l in maillog if "disconnect from" in l and "helo=" in l]
        commands = len([c for c, _ in want if c != "."])  # the dot ends DATA
        self.assertEqual(counts, [{
            "helo": "1", "mail": str(self.PAIRS), "rcpt": "%d/%d" % (len(accepted), self.PAIRS),
            "data": str(len(accepted)), "rset": str(self.PAIRS - 1), "quit": "1",
            "commands": "%d/%d" % (commands - 1, commands)}], self.context())

        # Every accepted message waits in the queue, whole.
        queue = self.pfx.queue()
        self.assertEqual(sorted(m["queue_id"] for m in queue), sorted(queued_as), self.context())
        self.assertEqual(sorted(r["address"] for m in queue for r in m["recipients"]), accepted)
        for m in queue:
            self.assertEqual(m["sender"], "zvrobot@zorvik")
            text = es.sent_form(texts[m["recipients"][0]["address"]])
            self.assertEqual(self.pfx.body(m["queue_id"]), text.split(b"\n\n", 1)[1], m["queue_id"])

        # Stopping leaves none of the server's processes behind.
        self.pfx.stop()
        self.assertEqual(self.pfx.processes(), [])


CASES = {
    "send": Send,
    "receive_keep": ReceiveKeep,
    "receive_delete": ReceiveDelete,
    "round_trip": RoundTrip,
    "log": Log,
    "bad_password": BadPassword,
    "server_down": ServerDown,
    "two_runs": TwoRuns,
    "strict_postfix": StrictPostfix,
}


def main():
    global PROGRAM
    # A terminated run still stops its mail systems (the cleanups run).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ap = argparse.ArgumentParser(description="End-to-end tests of zvmail32 against a local mail system.")
    ap.add_argument("--program", required=True, help="the built zvmail32")
    ap.add_argument("cases", nargs="*", metavar="CASE", help="any of: " + ", ".join(sorted(CASES)))
    args = ap.parse_args()
    unknown = [c for c in args.cases if c not in CASES]
    if unknown:
        ap.error("unknown case(s): %s" % ", ".join(unknown))
    PROGRAM = os.path.abspath(args.program)
    if not os.access(PROGRAM, os.X_OK):
        print("e2e: program not found: %s" % PROGRAM, file=sys.stderr)
        return 1
    runnable = []
    for c in args.cases or sorted(CASES):
        why = CASES[c].missing()
        if why:
            print("SKIP: %s needs %s: %s" % (c, CASES[c].NEEDS, why))
        else:
            runnable.append(c)
    if not runnable:
        return 77
    loader = unittest.TestLoader()
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(CASES[c]) for c in runnable)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
