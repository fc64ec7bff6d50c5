#!/usr/bin/python3
"""End-to-end tests: the built zvmail32 against a real mail system on
loopback (scripts/mailsystem: aiosmtpd delivering into Maildirs, dovecot
serving them by POP3; for strict_postfix a private Postfix that insists on
SMTP command synchronisation; for the TLS cases both with certificates of a
test CA made per case, Postfix taking submissions on 587 and 465 with SASL
through dovecot; for the OAuth2 cases dovecot also taking bearer tokens, for
POP3 and for Postfix, and a token endpoint of the tests issuing them). Every
case has its own loopback address and its own temporary directories, so
cases may run in parallel.

  e2e_test.py --program PATH [CASE ...]     (no CASE: all of them)

Cases the machine cannot run (not root; dovecot, aiosmtpd or postfix missing)
are skipped; exit code 77 when that leaves none.
"""

import argparse
import base64
import os
import poplib
import re
import signal
import smtplib
import socket
import ssl
import subprocess
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
                                  self.USERS, **self.mail_options())
        if self.USERS:
            self.addCleanup(self.mail.stop)
            self.mail.start()
        self.inst = es.Instance(self.ws.path, PROGRAM)

    def mail_options(self):
        """Further arguments of the case's MailSystem."""
        return {}

    def ini(self, **values):
        base = dict(SMTP=self.ADDRESS, POP=self.ADDRESS, USERNAME="robot",
                    PASSWORD=self.USERS.get("robot", "x"), ROBOT=ROBOT, COUNTER="0",
                    DELETEALL="NO", DEBUG="NO")
        base.update(values)
        self.inst.write_ini(**base)

    def run_once(self, status=0, *args):
        """One run with `args`, which must end with exit status `status` (0:
        every pass completed, 75: a pass failed for a reason worth retrying,
        77: a password was refused)."""
        r = self.inst.run(*args)
        self.assertEqual(r.returncode, status, self.context())
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


def round_trip(case, **servers):
    """One cycle sends the ROUND_TRIP pairs to the robot's own mailbox and
    files them in IN, through `servers` (SMTP=..., POP=...)."""
    for base, text in ROUND_TRIP.items():
        case.inst.put_outbound(base, "ZV", "zvrobot@zorvik", "robot@zorvik", text)
    case.ini(COUNTER="7", **servers)
    case.run_once()

    case.assertEqual(case.inst.files("out"), [], case.context())
    case.assertEqual(case.inst.files("in"),
                     ["00000008.TXT", "00000008.WRK", "00000009.TXT", "00000009.WRK"], case.context())
    # The order of sending follows the directory listing; compare as sets.
    filed = {case.inst.read_in("00000008.TXT"), case.inst.read_in("00000009.TXT")}
    case.assertEqual(filed, {es.sent_form(t) for t in ROUND_TRIP.values()})
    case.assertEqual(case.inst.read_in("00000008.WRK"), ENVELOPE)
    case.assertEqual(case.inst.read_in("00000009.WRK"), ENVELOPE)
    case.assertEqual(case.inst.ini_value("COUNTER"), "9", case.context())
    case.assertEqual(case.mail.mailbox("robot"), [], "filed messages must be deleted on the server")


class RoundTrip(E2ECase):
    """One cycle sends the pairs to the robot's own mailbox and files them in
    IN; SMTP and POP given as host:port."""
    ADDRESS = "127.0.0.43"

    def test(self):
        round_trip(self, SMTP=self.ADDRESS + ":25", POP=self.ADDRESS + ":110")


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
        self.run_once(77)

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
        self.run_once(75)

        self.assertEqual(self.inst.files("out"), ["TM000301.TXT", "TM000301.WRK"], self.context())
        self.assertEqual(self.inst.files("in"), [])
        log = self.inst.log_lines()
        self.assertIn("There are 1 messages to send", log, self.context())
        self.assertNotIn("Talking to SMTP (%s)" % self.ADDRESS, log)
        assert_logged(self, log, self.ADDRESS + ":25", REFUSED_WORDS)
        assert_logged(self, log, self.ADDRESS + ":110", REFUSED_WORDS)
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
        self.run_once(75)  # no POP3 server listens: the receive pass fails

        self.assertEqual(self.inst.files("out"), [refused_base + ".TXT", refused_base + ".WRK"], self.context())

        log = self.inst.log_lines()
        # Each pair the server took has a line with its reply.
        taken = ["TM%06d" % (500 + n) for n in range(1, self.PAIRS + 1) if n != self.REFUSED]
        self.assertEqual([l.split(" ")[0] for l in log if " accepted: 250 " in l], taken, self.context())
        plain = [l for l in log if not l.startswith("DEBUG:") and " accepted: " not in l]
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


# Key words of the causes in the log line of a failed connection (checked
# loosely: the line names host:port and one of them).
REFUSED_WORDS = ("refused", "connect")
UNTRUSTED_WORDS = ("trust", "certificate", "verif", "issuer", "self-signed", "self signed")
WRONG_NAME_WORDS = ("name", "match", "certificate")
NO_TLS_WORDS = ("STARTTLS", "STLS", "TLS")
PASSWORD_WORDS = ("password", "auth", "535", "refused")
DROPPED_WORDS = ("closed", "dropped", "lost", "reset", "connection")


def assert_logged(case, log, where, words):
    """Some log line names `where` (host:port) and one of `words`."""
    hits = [l for l in log if where in l and any(w.lower() in l.lower() for w in words)]
    case.assertTrue(hits, "no log line names %s with one of %s:\n%s" % (where, words, "\n".join(log)))


def run_log(log, n):
    """The log lines of the n-th run (from 1) in a log of several runs."""
    starts = [i for i, l in enumerate(log) if l == "Running version 2.0"] + [len(log)]
    return log[starts[n - 1]:starts[n]]


class TlsCase(E2ECase):
    """Servers presenting certificates of the case's own test CA: dovecot
    with STLS on 110 and POP3S on 995 (aiosmtpd moves to 2525), and, when
    POSTFIX, a Postfix on 25 (plain) and, when POSTFIX_TLS, 587 (STARTTLS)
    and 465 (TLS) with SASL through dovecot."""
    NEEDS = "a local mail system with TLS"
    USERS = {"robot": "robot-secret"}
    DOVECOT_TLS = True
    DOVECOT_CERT = "server"
    POSTFIX = False
    POSTFIX_TLS = True
    POSTFIX_CERT = "server"
    SMTPS_MECHANISMS = None

    @classmethod
    def missing(cls):
        return (es.missing_prerequisites() or es.missing_tls()
                or (es.missing_postfix() if cls.POSTFIX else None))

    def mail_options(self):
        self.certs = es.Certificates(self.ws.sub("certs"), self.ADDRESS)
        return dict(tls=self.certs if self.DOVECOT_TLS else None, cert=self.DOVECOT_CERT, smtp_port=2525)

    def setUp(self):
        super().setUp()
        self.pfx = None
        if self.POSTFIX:
            state = os.path.join(self.ws.path, es.postfix_state_dir_name(self.ADDRESS))
            tls = self.POSTFIX_TLS
            self.pfx = es.StrictSmtpServer(self.ADDRESS, state, tls=self.certs if tls else None,
                                           sasl=self.mail.sasl_socket if tls else None, cert=self.POSTFIX_CERT,
                                           smtps_mechanisms=self.SMTPS_MECHANISMS)
            self.addCleanup(self.pfx.stop)
            self.pfx.start()

    def ini(self, **values):
        base = dict(SMTP=self.ADDRESS + ":2525", TLS_CA_FILE=self.certs.ca)
        base.update(values)
        super().ini(**base)

    def context(self):
        return super().context() + ("\n" + self.pfx.logs() if self.pfx else "")

    def logins(self):
        """dovecot's lines of successful POP3 logins."""
        return [l for l in self.mail.dovecot_log() if "Login: user=<" in l]

    def assert_no_secret(self, log, user, password):
        """Neither the password nor an AUTH encoding of it is in the log."""
        encoded = [base64.b64encode(s).decode() for s in (
            password.encode(), ("\0%s\0%s" % (user, password)).encode())]
        leaks = [l for l in log if password in l or any(e in l for e in encoded)]
        self.assertEqual(leaks, [], self.context())


def transports(count, refused=None):
    """{recipient: text} of `count` outbound messages; number `refused` goes
    to nobody@zorvik, whom the server refuses."""
    out = {}
    for n in range(1, count + 1):
        to = "nobody@zorvik" if n == refused else "robot%02d@zorvik" % n
        out[to] = message("TRANSPORT %d" % n, consignment_lines(n), sender="zvrobot@zorvik", to=to)
    return out


class SubmitBase(TlsCase):
    """Pairs submitted over TLS with AUTH to Postfix, which offers CHUNKING
    and PIPELINING: the transactions go ahead as BDAT, one text in two
    chunks; accepted pairs leave OUT and wait whole in its queue, the
    refused one stays; one session with the expected commands, nothing taken
    for improper pipelining; neither password nor credentials in the log,
    even with DEBUG on."""
    POSTFIX = True
    SMTP = None
    SMTP_TLS = None
    SERVICE = None  # the smtpd's log name
    MECHANISM = None
    SESSION = None  # the session's counters that must be as given

    def test(self):
        texts = transports(5, refused=3)
        # More than one chunk's worth (64 KB).
        texts["robot04@zorvik"] = message("TRANSPORT 4", consignment_lines(4) * 30, sender="zvrobot@zorvik",
                                          to="robot04@zorvik")
        for i, (to, text) in enumerate(texts.items(), 1):
            self.inst.put_outbound("TM%06d" % (600 + i), "ZV%d" % i, "zvrobot@zorvik", to, text)
        self.ini(SMTP=self.SMTP, SMTP_TLS=self.SMTP_TLS, SMTP_USERNAME="robot",
                 SMTP_PASSWORD=self.USERS["robot"], DEBUG="YES")
        self.run_once()

        self.assertEqual(self.inst.files("out"), ["TM000603.TXT", "TM000603.WRK"], self.context())
        accepted = sorted(to for to in texts if to != "nobody@zorvik")
        queue = self.pfx.queue()
        self.assertEqual(sorted(r["address"] for m in queue for r in m["recipients"]), accepted, self.context())
        for m in queue:
            self.assertEqual(m["sender"], "zvrobot@zorvik")
            text = es.sent_form(texts[m["recipients"][0]["address"]])
            self.assertEqual(self.pfx.body(m["queue_id"]), text.split(b"\n\n", 1)[1], m["queue_id"])

        maillog = self.pfx.wait_for_log(lambda lines: self.pfx.sessions(lines))
        self.assertTrue([l for l in maillog if "postfix/%s/smtpd" % self.SERVICE in l
                         and "TLS connection established" in l], self.context())
        self.assertTrue([l for l in maillog if "sasl_method=%s, sasl_username=robot" % self.MECHANISM in l],
                        self.context())
        bad = [l for l in maillog
               if re.search(r"improper command pipelining|lost connection|authentication failed", l)]
        self.assertEqual(bad, [], self.context())
        sessions = self.pfx.sessions(maillog)
        self.assertEqual(len(sessions), 1, self.context())
        want = dict(self.SESSION, auth="1", mail="5", rcpt="4/5", bdat="5/6", data=None, rset="4", quit="1")
        self.assertEqual({k: sessions[0].get(k) for k in want}, want, self.context())
        self.assert_no_secret(self.inst.log_lines(), "robot", self.USERS["robot"])


class SubmitStartTls(SubmitBase):
    """STARTTLS on the submission port: EHLO, STARTTLS, EHLO, AUTH PLAIN."""
    ADDRESS = "127.0.0.60"
    SMTP = ADDRESS + ":587"
    SMTP_TLS = "STARTTLS"
    SERVICE = "submission"
    MECHANISM = "PLAIN"
    SESSION = {"ehlo": "2", "starttls": "1"}


class SubmitImplicitTls(SubmitBase):
    """TLS from the first byte on the default port 465; the server offers
    only LOGIN, so the program falls back to it."""
    ADDRESS = "127.0.0.61"
    SMTP = ADDRESS
    SMTP_TLS = "IMPLICIT"
    SERVICE = "smtps"
    MECHANISM = "LOGIN"
    SMTPS_MECHANISMS = "login"
    SESSION = {"ehlo": "1", "starttls": None}


class FetchTlsBase(TlsCase):
    """Zorvik messages fetched over TLS are filed and deleted on the server,
    other mail stays; the one login happened inside TLS."""
    POP = None
    POP_TLS = None

    def test(self):
        for m in (RECEIVE_A, RECEIVE_B, RECEIVE_C):
            self.mail.submit("office@zorvik", "robot@zorvik", m)
        self.ini(POP=self.POP, POP_TLS=self.POP_TLS, COUNTER="41")
        self.run_once()

        self.assertEqual(self.inst.files("in"),
                         ["00000042.TXT", "00000042.WRK", "00000044.TXT", "00000044.WRK"], self.context())
        self.assertEqual(self.inst.read_in("00000042.TXT"), FILED_A)
        self.assertEqual(self.inst.read_in("00000044.TXT"), FILED_C)
        self.assertEqual(self.inst.read_in("00000044.WRK"), ENVELOPE)
        logins = self.logins()
        self.assertEqual(len(logins), 1, self.context())
        self.assertIn("lip=%s," % self.ADDRESS, logins[0])
        self.assertIn(", TLS,", logins[0], "the password went out before TLS")
        self.assertEqual(self.mail.mailbox("robot"), [RECEIVE_B.replace(b"\r\n", b"\n")], self.context())


class FetchStls(FetchTlsBase):
    """POP3 with STLS on port 110."""
    ADDRESS = "127.0.0.62"
    POP = ADDRESS + ":110"
    POP_TLS = "STARTTLS"


class FetchImplicitTls(FetchTlsBase):
    """POP3 in TLS from the first byte on the default port 995."""
    ADDRESS = "127.0.0.63"
    POP = ADDRESS
    POP_TLS = "IMPLICIT"


class RefusalBase(TlsCase):
    """Both passes refused before any mail moves: the pair stays in OUT, the
    mailbox and IN are untouched, the counter stays; the exit status and a
    log line naming each server:port with the cause tell why."""
    POSTFIX = True
    STATUS = 75
    SETTINGS = {}
    SMTP_AT = None  # host:port of the SMTP server as the log names it
    POP_AT = None
    SMTP_WORDS = POP_WORDS = ()

    def test(self):
        text = message("TRANSPORT", ["stays"], sender="zvrobot@zorvik")
        self.inst.put_outbound("TM000701", "ZV", "zvrobot@zorvik", "robot@zorvik", text)
        self.mail.submit("office@zorvik", "robot@zorvik", RECEIVE_A)
        settings = dict(SMTP_USERNAME="robot", SMTP_PASSWORD=self.USERS["robot"], COUNTER="9", DEBUG="YES")
        settings.update(self.SETTINGS)
        self.ini(**settings)
        self.run_once(self.STATUS)

        self.assertEqual(self.inst.files("out"), ["TM000701.TXT", "TM000701.WRK"], self.context())
        self.assertEqual(self.inst.files("in"), [], self.context())
        self.assertEqual(self.inst.ini_value("COUNTER"), "9", self.context())
        log = self.inst.log_lines()
        assert_logged(self, log, self.SMTP_AT, self.SMTP_WORDS)
        assert_logged(self, log, self.POP_AT, self.POP_WORDS)
        self.assert_no_secret(log, "robot", settings["SMTP_PASSWORD"])
        self.assert_no_secret(log, "robot", settings.get("PASSWORD", self.USERS["robot"]))
        self.assertEqual(self.logins(), [], self.context())
        self.assertEqual(self.pfx.queue(), [], self.context())
        sessions = self.pfx.wait_for_log(lambda lines: self.pfx.sessions(lines), 10)
        self.assertEqual([s for s in self.pfx.sessions(sessions) if "mail" in s], [], self.context())
        self.check_server_side(self.pfx.sessions(sessions))
        self.assertEqual(self.mail.mailbox("robot"), [RECEIVE_A.replace(b"\r\n", b"\n")], self.context())

    def check_server_side(self, sessions):
        """Further checks of the SMTP sessions the server logged."""
        self.assertEqual([s for s in sessions if "auth" in s], [], self.context())


class Untrusted(RefusalBase):
    """TLS_CA_FILE names an unrelated CA: Postfix's certificate (STARTTLS on
    587) is not trusted, nor dovecot's self-signed one (POP3S on 995)."""
    ADDRESS = "127.0.0.64"
    DOVECOT_CERT = "self-signed"
    SMTP_AT, POP_AT = ADDRESS + ":587", ADDRESS + ":995"
    SMTP_WORDS = POP_WORDS = UNTRUSTED_WORDS

    def setUp(self):
        super().setUp()
        self.SETTINGS = dict(SMTP=self.SMTP_AT, SMTP_TLS="STARTTLS", POP=self.ADDRESS, POP_TLS="IMPLICIT",
                             TLS_CA_FILE=self.certs.other_ca)


class WrongName(RefusalBase):
    """Certificates of the trusted CA, but for another name: Postfix on 465,
    dovecot with STLS on 110."""
    ADDRESS = "127.0.0.65"
    DOVECOT_CERT = POSTFIX_CERT = "wrong-name"
    SMTP_AT, POP_AT = ADDRESS + ":465", ADDRESS + ":110"
    SMTP_WORDS = POP_WORDS = WRONG_NAME_WORDS
    SETTINGS = dict(SMTP=ADDRESS, SMTP_TLS="IMPLICIT", POP=ADDRESS, POP_TLS="STARTTLS")


class NoStartTls(RefusalBase):
    """STARTTLS asked of servers that do not offer it (Postfix on 25, dovecot
    without TLS): after EHLO nothing but QUIT, after CAPA no login."""
    ADDRESS = "127.0.0.66"
    DOVECOT_TLS = POSTFIX_TLS = False
    SMTP_AT, POP_AT = ADDRESS + ":25", ADDRESS + ":110"
    SMTP_WORDS = POP_WORDS = NO_TLS_WORDS
    SETTINGS = dict(SMTP=ADDRESS, SMTP_TLS="STARTTLS", POP=ADDRESS, POP_TLS="STARTTLS")

    def check_server_side(self, sessions):
        self.assertEqual([{k: s.get(k) for k in ("ehlo", "quit", "commands")} for s in sessions],
                         [{"ehlo": "1", "quit": "1", "commands": "2"}], self.context())
        self.assertEqual(len(sessions[0]), 3, self.context())


class BadTlsPasswords(RefusalBase):
    """Passwords refused inside TLS: SMTP AUTH answers 535 on 587, POP3S
    refuses PASS on 995."""
    ADDRESS = "127.0.0.67"
    STATUS = 77
    SMTP_AT, POP_AT = ADDRESS + ":587", ADDRESS + ":995"
    SMTP_WORDS = POP_WORDS = PASSWORD_WORDS
    SETTINGS = dict(SMTP=SMTP_AT, SMTP_TLS="STARTTLS", SMTP_PASSWORD="Smtp-Wrong-17", POP=ADDRESS,
                    POP_TLS="IMPLICIT", PASSWORD="Pop-Wrong-23")

    def check_server_side(self, sessions):
        self.assertEqual(len(sessions), 1, self.context())
        self.assertTrue(sessions[0].get("auth", "").startswith("0/"), self.context())
        failed = [l for l in self.mail.dovecot_log() if "auth failed" in l or "Aborted login" in l]
        self.assertTrue(failed, self.context())


class RoundTripIpv6(E2ECase):
    """A plain round trip with both servers on ::1, given as [::1]:port."""
    ADDRESS = "::1"
    NEEDS = "a local mail system on ::1"
    SMTP_PORT, POP_PORT = 2560, 1160

    @classmethod
    def missing(cls):
        return es.missing_prerequisites() or es.missing_ipv6()

    def mail_options(self):
        return dict(smtp_port=self.SMTP_PORT, pop_port=self.POP_PORT)

    def test(self):
        round_trip(self, SMTP="[::1]:%d" % self.SMTP_PORT, POP="[::1]:%d" % self.POP_PORT)
        self.assertIn("rip=::1,", "".join(l for l in self.mail.dovecot_log() if "Login:" in l), self.context())


class ExactlyOnce(E2ECase):
    """A run whose connection is cut when it sends QUIT (the server never
    deletes) files what it fetched; the next run, through the same address
    (the mailbox's identity) with QUIT passing, deletes those messages
    without retrieving them again: every message filed exactly once."""
    ADDRESS = "127.0.0.69"
    PROXY_PORT = 1110

    def test(self):
        extra = [message("TRANSPORT", consignment_lines(n)) for n in range(1, 4)]
        texts = [RECEIVE_A, RECEIVE_C] + extra
        for m in texts:
            self.mail.submit("office@zorvik", "robot@zorvik", m)
        proxy = es.QuitCutter(self.ADDRESS, self.PROXY_PORT, (self.ADDRESS, 110))
        self.addCleanup(proxy.stop)
        self.ini(POP="%s:%d" % (self.ADDRESS, self.PROXY_PORT), COUNTER="0")
        self.run_once(75)

        self.assertEqual(proxy.cuts, 1, self.context())
        names = ["%08d.%s" % (n, ext) for n in range(1, 6) for ext in ("TXT", "WRK")]
        self.assertEqual(self.inst.files("in"), names, self.context())
        filed = {n: self.inst.read_in(n) for n in names}
        self.assertEqual(self.inst.ini_value("COUNTER"), "5", self.context())
        assert_logged(self, self.inst.log_lines(), "%s:%d" % (self.ADDRESS, self.PROXY_PORT), DROPPED_WORDS)
        self.assertEqual(len(self.mail.mailbox("robot")), 5, "the server must still hold every message")

        proxy.cutting = False
        self.run_once()
        self.assertEqual({n: self.inst.read_in(n) for n in self.inst.files("in")}, filed, self.context())
        expected = [FILED_A, FILED_C] + [t.replace(b"\r\n", b"\n") for t in extra]
        self.assertEqual(sorted(v for n, v in filed.items() if n.endswith(".TXT")), sorted(expected))
        self.assertEqual(self.inst.ini_value("COUNTER"), "5", self.context())
        second = run_log(self.inst.log_lines(), 2)
        self.assertEqual([l for l in second if l.startswith("Retrieving message")], [], self.context())
        self.assertEqual(self.mail.mailbox("robot"), [], self.context())
        self.assertEqual((proxy.connections, proxy.cuts), (2, 1))


class Fixtures(TlsCase):
    """The TLS fixtures themselves, with Python's clients (no program run):
    certificates, dovecot's STLS and POP3S, Postfix's 587/465 with SASL
    through dovecot and plain 25, and the QUIT-cutting proxy."""
    ADDRESS = "127.0.0.70"
    POSTFIX = True
    SMTPS_MECHANISMS = "login"

    def test(self):
        ctx, user, pw = self.certs.context(), "robot", self.USERS["robot"]
        self.mail.submit("office@zorvik", "robot@zorvik", RECEIVE_A)
        p = poplib.POP3(self.ADDRESS, 110, timeout=30)
        self.assertIn("STLS", p.capa())
        p.stls(ctx)
        p.user(user)
        p.pass_(pw)
        self.assertEqual(p.stat()[0], 1)
        p.quit()
        p = poplib.POP3_SSL(self.ADDRESS, 995, context=ctx, timeout=30)
        with self.assertRaises(poplib.error_proto):
            p.user(user)
            p.pass_("wrong")
        p.quit()
        for other in (self.certs.context(self.certs.other_ca), ssl.create_default_context()):
            with self.assertRaises(ssl.SSLCertVerificationError):
                poplib.POP3_SSL(self.ADDRESS, 995, context=other, timeout=30)
        with self.assertRaisesRegex(ssl.SSLCertVerificationError, "match"):
            _connect_tls(self.ADDRESS, 995, ctx, "wrong-name.invalid")
        for cafile, cert, good in ((self.certs.ca, self.certs.server, True),
                                   (self.certs.ca, self.certs.wrong_name, False),
                                   (self.certs.ca, self.certs.self_signed, False),
                                   (self.certs.other_ca, self.certs.server, False)):
            r = subprocess.run(["openssl", "verify", "-CAfile", cafile, "-verify_ip", self.ADDRESS, cert],
                               capture_output=True)
            self.assertEqual(r.returncode == 0, good, (cafile, cert, r.stdout, r.stderr))

        s = smtplib.SMTP(self.ADDRESS, 587, timeout=30)
        s.ehlo()
        self.assertTrue(s.has_extn("starttls") and s.has_extn("pipelining") and not s.has_extn("auth"))
        s.starttls(context=ctx)
        s.ehlo()
        self.assertEqual(s.esmtp_features["auth"].split(), ["PLAIN", "LOGIN"])
        with self.assertRaises(smtplib.SMTPAuthenticationError) as refused:
            s.login(user, "wrong")
        self.assertEqual(refused.exception.smtp_code, 535)
        s.login(user, pw)
        s.sendmail("zvrobot@zorvik", ["robot01@zorvik"], message("A", ["x"]))
        s.quit()
        with smtplib.SMTP_SSL(self.ADDRESS, 465, context=ctx, timeout=30) as s:
            s.ehlo()
            self.assertEqual(s.esmtp_features["auth"].split(), ["LOGIN"])
            s.login(user, pw)
            s.sendmail("zvrobot@zorvik", ["robot02@zorvik"], message("B", ["y"]))
        with smtplib.SMTP(self.ADDRESS, 25, timeout=30) as s:
            s.ehlo()
            self.assertFalse(s.has_extn("starttls") or s.has_extn("auth"))
        self.assertEqual(sorted(m["recipients"][0]["address"] for m in self.pfx.queue()),
                         ["robot01@zorvik", "robot02@zorvik"])
        first = [m for m in self.pfx.queue() if m["recipients"][0]["address"] == "robot01@zorvik"]
        self.assertEqual(self.pfx.body(first[0]["queue_id"]), b"x\n")

        proxy = es.QuitCutter(self.ADDRESS, 1110, (self.ADDRESS, 110))
        self.addCleanup(proxy.stop)
        p = poplib.POP3(self.ADDRESS, 1110, timeout=30)
        p.user(user)
        p.pass_(pw)
        p.dele(1)
        with self.assertRaises((poplib.error_proto, OSError, EOFError)):
            p.quit()
        self.assertEqual(proxy.cuts, 1)
        self.assertEqual(len(self.mail.mailbox("robot")), 1, "a cut before QUIT must not delete")


class OAuthCase(TlsCase):
    """Servers that take OAuth2 bearer tokens besides passwords: dovecot
    checks JWTs signed with the case's key (for POP3, and for Postfix's
    submission on 587 through its auth socket), and the token endpoint of
    tokend.py on port 8443 issues them to the client "zvmail32"
    (CLIENT_SECRET None: a public client) that asks for the scope "mail".
    The program signs in with tokens only: no password in its INI."""
    NEEDS = "a local mail system with TLS, Postfix and OAuth2"
    POSTFIX = True
    CLIENT_ID = "zvmail32"
    CLIENT_SECRET = "client-secret-5f2a"

    def mail_options(self):
        options = super().mail_options()
        self.jwt_key = os.path.join(self.ws.path, "jwt.key")
        es.tokend.make_key(self.jwt_key)
        return dict(options, oauth2_key=self.jwt_key)

    def setUp(self):
        super().setUp()
        self.endpoint = es.tokend.TokenEndpoint(self.ADDRESS, 8443, self.certs.server, self.certs.server_key,
                                                self.jwt_key, "robot", self.CLIENT_ID, self.CLIENT_SECRET, "mail")
        self.addCleanup(self.endpoint.stop)

    def ini(self, **values):
        base = dict(SMTP=self.ADDRESS + ":587", SMTP_TLS="STARTTLS", SMTP_USERNAME="robot", POP_TLS="IMPLICIT",
                    PASSWORD=None, OAUTH_TOKEN_URL=self.endpoint.url + "/token", OAUTH_CLIENT_ID=self.CLIENT_ID,
                    OAUTH_CLIENT_SECRET=self.CLIENT_SECRET, OAUTH_SCOPE="mail", DEBUG="YES")
        base.update(values)
        super().ini(**base)

    def context(self):
        return super().context() + "\n--- token endpoint\n" + "\n".join(self.endpoint.log)

    def exchange(self, mechanism):
        """One run that sends a pair through Postfix's submission and files a
        Zorvik message fetched from dovecot, signing in to both with a token
        and `mechanism`."""
        self.sent = getattr(self, "sent", 0) + 1
        to = "robot%02d@zorvik" % self.sent
        text = message("TRANSPORT %d" % self.sent, ["by token"], sender="zvrobot@zorvik", to=to)
        self.inst.put_outbound("TM%06d" % (800 + self.sent), "ZV", "zvrobot@zorvik", to, text)
        self.mail.submit("office@zorvik", "robot@zorvik", RECEIVE_A)
        filed = self.inst.files("in")
        sasl = "sasl_method=%s, sasl_username=robot" % mechanism
        signed_in = (sum(sasl in l for l in self.pfx.maillog()), len(self.logins()))
        self.run_once()

        self.assertEqual(self.inst.files("out"), [], self.context())
        queued = {m["recipients"][0]["address"]: m["queue_id"] for m in self.pfx.queue()}
        self.assertEqual(self.pfx.body(queued[to]), es.sent_form(text).split(b"\n\n", 1)[1], self.context())
        new = [n for n in self.inst.files("in") if n not in filed]
        self.assertEqual([self.inst.read_in(n) for n in new if n.endswith(".TXT")], [FILED_A], self.context())
        maillog = self.pfx.wait_for_log(lambda lines: sum(sasl in l for l in lines) > signed_in[0])
        self.assertEqual(sum(sasl in l for l in maillog), signed_in[0] + 1, self.context())
        logins = self.logins()[signed_in[1]:]
        self.assertEqual(len(logins), 1, self.context())
        self.assertIn("method=%s," % mechanism, logins[0])
        self.assert_no_token()

    def assert_no_token(self):
        """No token, refresh token or client secret the case knows of in the
        log, the standard output or error of the last run: neither as it is
        nor inside base64 (of the three alignments)."""
        r = self.inst.result
        texts = ["\n".join(self.inst.log_lines()), r.stdout.decode("latin-1"), r.stderr.decode("latin-1")]
        known = self.endpoint.access_tokens + self.endpoint.refresh_tokens_issued + [self.CLIENT_SECRET or ""]
        for secret in filter(None, known):
            n = min(24, (len(secret) - 2) // 3 * 3)
            probes = [secret[:24]] + [base64.b64encode(secret[i:i + n].encode()).decode() for i in range(3)]
            self.assertEqual([p for p in probes if any(p in t for t in texts)], [], self.context())


class OAuthRefresh(OAuthCase):
    """The refresh-token grant, OAUTHBEARER chosen where both mechanisms are
    offered: one run asks the endpoint once for both servers and keeps the
    rotated refresh token in ZVMAIL32.TOK; a second run signs in with the
    stored access token without asking again."""
    ADDRESS = "127.0.0.71"

    def test(self):
        first = self.endpoint.issue_refresh_token()
        self.ini(OAUTH_REFRESH_TOKEN=first, COUNTER="0")
        self.exchange("OAUTHBEARER")
        self.assertEqual(dict(self.endpoint.requests), {"refresh_token": 1}, self.context())
        self.assertEqual(self.endpoint.refresh_tokens_seen, [first])
        (rotated,) = self.endpoint.valid_refresh_tokens()
        self.assertEqual(self.inst.token_state().get("REFRESH_TOKEN"), rotated, self.context())

        self.exchange("OAUTHBEARER")
        self.assertEqual(dict(self.endpoint.requests), {"refresh_token": 1}, self.context())


class OAuthClientCredentials(OAuthCase):
    """The client-credentials grant with XOAUTH2 asked for on both servers: a
    wrong client secret is refused by the endpoint (invalid_client: 77, no
    AUTH at all); with the right one, tokens over 3 KB reach Postfix, which
    cuts AUTH lines longer than 2048 bytes, and dovecot on a line of their
    own."""
    ADDRESS = "127.0.0.72"

    def test(self):
        self.ini(SMTP_AUTH="XOAUTH2", POP_AUTH="XOAUTH2", OAUTH_CLIENT_SECRET="not-the-secret", COUNTER="0")
        self.run_once(77)
        self.assertTrue(self.endpoint.requests["client_credentials"], self.context())
        assert_logged(self, self.inst.log_lines(), "", ("invalid_client", "authoris"))
        self.assertEqual((self.logins(), self.endpoint.access_tokens), ([], []), self.context())

        asked = self.endpoint.requests["client_credentials"]
        self.endpoint.pad = 3500
        self.ini(SMTP_AUTH="XOAUTH2", POP_AUTH="XOAUTH2", COUNTER="0")
        self.exchange("XOAUTH2")
        self.assertEqual(self.endpoint.requests["client_credentials"], asked + 1, self.context())
        self.assertEqual([l for l in self.pfx.maillog() if "request longer than" in l], [], self.context())


class OAuthDevice(OAuthCase):
    """--authorize runs the device grant for a public client: a code that
    expires ends it with 77 and stores nothing; an approved one prints the
    address and the user code and stores the refresh token. The next run
    asks for an access token (one that came with the authorisation, if kept,
    has less than 5 minutes left) with the stored refresh token rather than
    the INI's stale OAUTH_REFRESH_TOKEN, once for both servers."""
    ADDRESS = "127.0.0.73"
    CLIENT_SECRET = None

    def test(self):
        self.ini(OAUTH_DEVICE_URL=self.endpoint.url + "/device", OAUTH_REFRESH_TOKEN="rt-stale", COUNTER="0")
        self.endpoint.device_decision = ("expired", 1)
        self.run_once(77, "--authorize")
        self.assertNotIn("REFRESH_TOKEN", self.inst.token_state(), self.context())

        self.endpoint.device_decision = ("approved", 1)
        self.endpoint.expires_in = 60
        out = self.run_once(0, "--authorize").stdout.decode("latin-1")
        self.assertIn(self.endpoint.url + "/activate", out)
        self.assertIn(self.endpoint.user_codes[-1], out)
        (stored,) = self.endpoint.valid_refresh_tokens()
        self.assertEqual(self.inst.token_state().get("REFRESH_TOKEN"), stored, self.context())
        self.assertEqual(dict(self.endpoint.requests), {"device": 2, "device_code": 4}, self.context())

        self.endpoint.expires_in = 3600
        self.exchange("OAUTHBEARER")
        self.assertEqual(self.endpoint.refresh_tokens_seen, [stored], self.context())
        self.assertEqual(dict(self.endpoint.requests), {"device": 2, "device_code": 4, "refresh_token": 1})


class OAuthRejected(OAuthCase):
    """A token the server refuses (signed with another key) is answered as
    the mechanism asks, the server's status is logged, and one fresh token
    is tried on the same connection: POP3 with OAUTHBEARER (dovecot's status
    invalid_token), then, in a run without stored token, SMTP with XOAUTH2
    (status 401)."""
    ADDRESS = "127.0.0.74"

    def test(self):
        self.mail.submit("office@zorvik", "robot@zorvik", RECEIVE_A)
        self.endpoint.bad_tokens = 1
        self.ini(COUNTER="0")
        self.run_once()
        self.assertEqual(self.inst.files("in"), ["00000001.TXT", "00000001.WRK"], self.context())
        self.assertEqual(self.endpoint.requests["client_credentials"], 2, self.context())
        assert_logged(self, self.inst.log_lines(), "", ("invalid_token",))
        refused = [l for l in self.mail.dovecot_log() if "oauth2 failed" in l]
        self.assertEqual(len(refused), 1, self.context())
        session = re.search(r"(<[^>]+>)\):", refused[0]).group(1)
        logins = self.logins()
        self.assertEqual(len(logins), 1, self.context())
        self.assertIn("method=OAUTHBEARER,", logins[0])
        self.assertIn("session=%s" % session, logins[0], "the fresh token goes on the same connection")
        self.assert_no_token()

        os.remove(self.inst.tok)
        self.endpoint.bad_tokens = 1
        text = message("TRANSPORT", ["retried"], sender="zvrobot@zorvik")
        self.inst.put_outbound("TM000901", "ZV", "zvrobot@zorvik", "robot01@zorvik", text)
        self.ini(COUNTER="1", SMTP_AUTH="XOAUTH2")
        self.run_once()
        self.assertEqual(self.inst.files("out"), [], self.context())
        self.assertEqual(self.endpoint.requests["client_credentials"], 4, self.context())
        assert_logged(self, self.inst.log_lines(), "", ("401",))
        sessions = self.pfx.sessions(self.pfx.wait_for_log(lambda lines: self.pfx.sessions(lines)))
        self.assertEqual([s.get("auth") for s in sessions], ["1/2"], self.context())
        self.assert_no_token()


def _connect_tls(address, port, ctx, name):
    """A TLS handshake with `address`:`port` that checks the certificate for `name`."""
    with socket.create_connection((address, port), timeout=30) as raw:
        ctx.wrap_socket(raw, server_hostname=name).close()


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
    "submit_starttls": SubmitStartTls,
    "submit_implicit_tls": SubmitImplicitTls,
    "fetch_stls": FetchStls,
    "fetch_implicit_tls": FetchImplicitTls,
    "tls_untrusted": Untrusted,
    "tls_wrong_name": WrongName,
    "no_starttls": NoStartTls,
    "tls_bad_passwords": BadTlsPasswords,
    "round_trip_ipv6": RoundTripIpv6,
    "exactly_once": ExactlyOnce,
    "fixtures": Fixtures,
    "oauth_refresh": OAuthRefresh,
    "oauth_client_credentials": OAuthClientCredentials,
    "oauth_device": OAuthDevice,
    "oauth_rejected": OAuthRejected,
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
