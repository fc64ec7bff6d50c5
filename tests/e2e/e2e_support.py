"""Support for the end-to-end tests: the loopback mail system, an instance
directory of the built program, and the program run itself.

Standard library only; runs under Debian's /usr/bin/python3.
"""

import json
import os
import poplib
import re
import selectors
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MAILSYSTEM = os.path.join(SOURCE_DIR, "scripts", "mailsystem")
sys.path.insert(0, MAILSYSTEM)
import tokend  # noqa: E402,F401  (the token endpoint, for the OAuth2 cases)
KEEP = os.environ.get("ZV_E2E_KEEP") == "1"  # leave temp dirs behind for a look


def missing_prerequisites():
    """Why the tests cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root (the mail system binds ports 25 and 110)"
    if shutil.which("dovecot") is None:
        return "dovecot is not installed (apt-get install dovecot-pop3d)"
    probe = subprocess.run(["/usr/bin/python3", "-c", "import aiosmtpd"], capture_output=True)
    if probe.returncode != 0:
        return "aiosmtpd is not installed for /usr/bin/python3 (apt-get install python3-aiosmtpd)"
    return None


def missing_tls():
    """Why the TLS servers cannot get certificates here, or None."""
    if shutil.which("openssl") is None:
        return "openssl is not installed (apt-get install openssl)"
    return None


def missing_ipv6():
    """Why the mail system cannot listen on ::1 here, or None."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
    except OSError as exc:
        return "no IPv6 loopback (::1): %s" % exc
    return None


def missing_postfix():
    """Why the strict SMTP server (scripts/mailsystem/postfix.sh) cannot run
    here, or None."""
    if os.geteuid() != 0:
        return "needs root (the server binds port 25)"
    if not (os.access("/usr/sbin/postfix", os.X_OK) and os.access("/usr/sbin/postqueue", os.X_OK)):
        return "postfix is not installed (apt-get install postfix)"
    return None


def tail(path, lines=40):
    try:
        with open(path, "rb") as f:
            data = f.read().decode("latin-1").splitlines()
    except OSError:
        return "(no %s)" % path
    return "\n".join(data[-lines:])


class Workspace:
    """A temporary directory the mail processes may search (0755)."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="zv-e2e-")
        os.chmod(self.path, 0o755)

    def sub(self, *names):
        p = os.path.join(self.path, *names)
        os.makedirs(p, exist_ok=True)
        return p

    def remove(self):
        if not KEEP:
            shutil.rmtree(self.path, ignore_errors=True)


def _cmdline(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as f:
            return f.read().decode("latin-1").split("\0")
    except OSError:
        return []


def state_dir_name(address):
    return "mailstate-" + address.replace(":", "_")


def stale_servers(address):
    """Pids of mail servers on `address` that an earlier run of these tests
    left behind when it was killed before its cleanup (a CTest timeout):
    recognised by the state directory these tests give them."""
    marker = "/%s/" % state_dir_name(address)
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        args = _cmdline(pid)
        if len(args) > 3 and args[1].endswith("/smtpd.py") and "--passwd" in args:
            path = args[args.index("--passwd") + 1]
        elif len(args) > 3 and os.path.basename(args[0]) == "dovecot" and "-c" in args:
            path = args[args.index("-c") + 1]
        else:
            continue
        if marker in path and "/zv-e2e-" in path:
            pids.append(int(pid))
    return pids


def stop_stale(address, probe_ports=()):
    pids = stale_servers(address)
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + 20
    while any(os.path.exists("/proc/%d" % p) for p in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    if pids:
        subprocess.run(["/usr/bin/python3", os.path.join(MAILSYSTEM, "probe.py")] + list(probe_ports)
                       + ["down", address, "20"])


class Certificates:
    """The certificates of scripts/mailsystem/certs.sh in one directory: a
    test CA, a server certificate for `names` signed by it, an unrelated CA,
    one for wrong-name.invalid and a self-signed one (paths as attributes)."""

    def __init__(self, directory, *names):
        self.dir = directory
        r = subprocess.run([os.path.join(MAILSYSTEM, "certs.sh"), directory] + list(names),
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError("certs.sh failed:\n%s" % r.stderr)
        for name in ("ca", "other-ca", "server", "wrong-name", "self-signed"):
            setattr(self, name.replace("-", "_"), os.path.join(directory, name + ".pem"))
        self.server_key = os.path.join(directory, "server.key")

    def context(self, cafile=None):
        """A client context that trusts the test CA (or `cafile`) only and
        checks host names."""
        return ssl.create_default_context(cafile=cafile or self.ca)


class MailSystem:
    """The loopback SMTP + POP3 system of scripts/mailsystem on one address.
    With `tls` (a Certificates) dovecot offers STLS and POP3S, presenting the
    certificate `cert` of it ("server", "wrong-name", "self-signed"); with
    `oauth2_key` (a key file of tokend.make_key) it also takes the bearer
    tokens signed with that key (SASL XOAUTH2 and OAUTHBEARER, for POP3 and
    through sasl_socket)."""

    def __init__(self, address, state_dir, users, tls=None, cert="server", smtp_port=25, pop_port=110,
                 pop3s_port=995, oauth2_key=None):
        self.address = address
        self.state = state_dir
        self.users = dict(users)  # name -> password
        self.tls = tls
        self.cert = cert
        self.smtp_port, self.pop_port, self.pop3s_port = smtp_port, pop_port, pop3s_port
        self.oauth2_key = oauth2_key
        self.running = False

    @property
    def sasl_socket(self):
        """dovecot's auth socket for a Postfix's SASL."""
        return os.path.join(self.state, "sasl", "auth")

    def start(self):
        ports = ["--smtp", str(self.smtp_port), "--pop", str(self.pop_port)]
        options = ["--smtp-port", str(self.smtp_port), "--pop-port", str(self.pop_port)]
        if self.tls:
            ports += ["--pop3s", str(self.pop3s_port)]
            options += ["--tls", self.tls.dir, "--cert", self.cert, "--pop3s-port", str(self.pop3s_port)]
        if self.oauth2_key:
            options += ["--oauth2", self.oauth2_key]
        stop_stale(self.address, ports)
        self.running = True  # stop() also after a start that failed half-way
        pairs = ["%s:%s" % kv for kv in self.users.items()]
        r = subprocess.run([os.path.join(MAILSYSTEM, "start.sh")] + options + [self.address, self.state] + pairs,
                           capture_output=True, text=True, timeout=120)
        if r.returncode != 0:
            raise RuntimeError("mail system did not start on %s:\n%s" % (self.address, r.stderr))

    def stop(self):
        if self.running:
            subprocess.run([os.path.join(MAILSYSTEM, "stop.sh"), self.state], timeout=120)
            self.running = False

    def maildir(self, user):
        return os.path.join(self.state, "mail", user, "Maildir")

    def delivered(self, user):
        """Contents of the messages waiting in new/ of the user's Maildir."""
        new = os.path.join(self.maildir(user), "new")
        out = []
        for name in sorted(os.listdir(new)):
            with open(os.path.join(new, name), "rb") as f:
                out.append(f.read())
        return out

    def submit(self, sender, recipient, message):
        """Delivers `message` (bytes, CR LF) through the SMTP server."""
        with smtplib.SMTP(self.address, self.smtp_port, timeout=30) as s:
            s.sendmail(sender, [recipient], message)

    def mailbox(self, user):
        """The messages on the POP3 server for `user`, each as bytes with LF."""
        p = poplib.POP3(self.address, self.pop_port, timeout=30)
        try:
            p.user(user)
            p.pass_(self.users[user])
            count = p.stat()[0]
            return [b"".join(line + b"\n" for line in p.retr(i)[1]) for i in range(1, count + 1)]
        finally:
            p.quit()

    def dovecot_log(self):
        try:
            with open(os.path.join(self.state, "dovecot.log"), "rb") as f:
                return f.read().decode("latin-1").splitlines()
        except FileNotFoundError:
            return []

    def logs(self):
        return "--- smtpd.log\n%s\n--- dovecot.log\n%s" % (
            tail(os.path.join(self.state, "smtpd.log")), tail(os.path.join(self.state, "dovecot.log")))


def postfix_state_dir_name(address):
    return "postfix-" + address


def _postfix_processes(accept):
    """{pid: configuration directory} of the Postfix processes whose
    MAIL_CONFIG satisfies `accept`."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read().decode("latin-1").split("\0")
        except OSError:
            continue
        for var in env:
            if var.startswith("MAIL_CONFIG=") and accept(var[len("MAIL_CONFIG="):]):
                found[int(pid)] = var[len("MAIL_CONFIG="):]
    return found


def stop_stale_postfix(address):
    """Stops a strict SMTP server on `address` that an earlier, killed run of
    these tests left behind: its processes carry the configuration directory
    these tests give it in MAIL_CONFIG. Processes whose state directory is
    gone get signals instead."""
    suffix = "/%s/etc" % postfix_state_dir_name(address)

    def stale(config):
        return config.endswith(suffix) and "/zv-e2e-" in config

    for config in set(_postfix_processes(stale).values()):
        subprocess.run([os.path.join(MAILSYSTEM, "postfix.sh"), "stop", os.path.dirname(config)], timeout=120)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = list(_postfix_processes(stale))
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 10
        while _postfix_processes(stale) and time.monotonic() < deadline:
            time.sleep(0.05)


class StrictSmtpServer:
    """A private Postfix of scripts/mailsystem/postfix.sh on one address: it
    disconnects a client that sends a command before the previous reply, keeps
    accepted mail in its queue and refuses nobody@<any domain>. With `tls` (a
    Certificates) and `sasl` (dovecot's auth socket, MailSystem.sasl_socket)
    it also takes submissions with STARTTLS on 587 and TLS on 465, AUTH
    required, presenting the certificate `cert`; `smtps_mechanisms` limits
    the SASL mechanisms of 465 (e.g. "login")."""

    def __init__(self, address, state_dir, tls=None, sasl=None, cert="server", smtps_mechanisms=None):
        self.address = address
        self.state = state_dir
        self.etc = os.path.join(state_dir, "etc")
        self.options = []
        if tls:
            self.options = ["--tls", tls.dir, "--sasl", sasl, "--cert", cert]
            if smtps_mechanisms:
                self.options += ["--smtps-mechanisms", smtps_mechanisms]
        self.running = False

    def start(self):
        stop_stale_postfix(self.address)
        self.running = True  # stop() also after a start that failed half-way
        r = subprocess.run([os.path.join(MAILSYSTEM, "postfix.sh"), "start"] + self.options
                           + [self.address, self.state], capture_output=True, text=True, timeout=120)
        if r.returncode != 0:
            raise RuntimeError("postfix did not start on %s:\n%s" % (self.address, r.stderr))

    def stop(self):
        if self.running:
            subprocess.run([os.path.join(MAILSYSTEM, "postfix.sh"), "stop", self.state], timeout=120)
            self.running = False

    def processes(self):
        """Pids of the processes that run with this server's configuration."""
        return sorted(_postfix_processes(lambda config: config == self.etc))

    def maillog(self):
        try:
            with open(os.path.join(self.state, "maillog"), "rb") as f:
                return f.read().decode("latin-1").splitlines()
        except FileNotFoundError:
            return []

    def wait_for_log(self, predicate, seconds=30):
        """The maillog once `predicate(lines)` holds for it (its writer works
        behind the server's replies), or as it stands after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            lines = self.maillog()
            if predicate(lines) or time.monotonic() > deadline:
                return lines
            time.sleep(0.05)

    def queue(self):
        """The queued messages, as postqueue -j lists them (one dict each)."""
        r = subprocess.run(["/usr/sbin/postqueue", "-c", self.etc, "-j"], capture_output=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError("postqueue failed: %s" % r.stderr.decode("latin-1"))
        return [json.loads(line) for line in r.stdout.decode("latin-1").splitlines() if line.strip()]

    def body(self, queue_id):
        """The body of a queued message (LF line ends)."""
        r = subprocess.run(["/usr/sbin/postcat", "-c", self.etc, "-b", "-q", queue_id],
                           capture_output=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError("postcat failed: %s" % r.stderr.decode("latin-1"))
        # postcat shows the empty line that ends the header first.
        return r.stdout[1:] if r.stdout.startswith(b"\n") else r.stdout

    def sessions(self, lines=None):
        """The counters of every ended SMTP session in the maillog that
        greeted (HELO or EHLO), one dict per session ({"ehlo": "2",
        "starttls": "1", "auth": "1", ...}); the readiness probe of
        postfix.sh, which only says QUIT, is left out."""
        out = []
        for line in self.maillog() if lines is None else lines:
            m = re.search(r"disconnect from \S+ (.*)$", line)
            if m:
                counters = dict(kv.split("=", 1) for kv in m.group(1).split() if "=" in kv)
                if "ehlo" in counters or "helo" in counters:
                    out.append(counters)
        return out

    def logs(self):
        return "--- maillog\n%s" % tail(os.path.join(self.state, "maillog"), 60)


class QuitCutter:
    """A TCP proxy on (address, port) to `target` (address, port) for a POP3
    client: it forwards both ways, client lines whole, until the client sends
    a line beginning with QUIT; while `cutting` (the default) that line is
    not forwarded and both connections are closed at once, so the server
    never enters its update state. `cuts` counts the connections ended so.
    Threads; stop() ends them."""

    def __init__(self, address, port, target):
        self.target = target
        self.cutting = True
        self.cuts = 0
        self.connections = 0
        self._stop = threading.Event()
        self._listener = socket.create_server((address, port), reuse_port=False)
        self._listener.settimeout(0.1)
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connections += 1
            t = threading.Thread(target=self._serve, args=(client,), daemon=True)
            self._threads.append(t)
            t.start()

    def _serve(self, client):
        try:
            self._forward(client)
        except OSError:
            pass  # either side gone: the connection ends here
        finally:
            client.close()

    def _forward(self, client):
        client.setblocking(True)
        with socket.create_connection(self.target, timeout=30) as server, selectors.DefaultSelector() as sel:
            sel.register(client, selectors.EVENT_READ, server)
            sel.register(server, selectors.EVENT_READ, client)
            pending = b""  # the client's unfinished line
            while not self._stop.is_set():
                for key, _ in sel.select(timeout=0.1):
                    data = key.fileobj.recv(65536)
                    if not data:
                        return
                    if key.fileobj is server:
                        client.sendall(data)
                        continue
                    pending += data
                    while b"\n" in pending:
                        line, pending = pending.split(b"\n", 1)
                        if self.cutting and line.upper().startswith(b"QUIT"):
                            self.cuts += 1
                            for s in (client, server):
                                s.shutdown(socket.SHUT_RDWR)
                            return
                        server.sendall(line + b"\n")

    def stop(self):
        self._stop.set()
        self._listener.close()
        for t in self._threads:
            t.join(10)


INI_KEYS = ["SMTP", "POP", "USERNAME", "PASSWORD", "SMTP_TLS", "POP_TLS", "SMTP_USERNAME", "SMTP_PASSWORD",
            "TLS_CA_FILE", "ROBOT", "IN", "OUT", "COUNTER", "LOG", "LOGFILE", "DELETEALL", "DEBUG", "SMTP_AUTH",
            "POP_AUTH", "OAUTH_TOKEN_URL", "OAUTH_DEVICE_URL", "OAUTH_CLIENT_ID", "OAUTH_CLIENT_SECRET",
            "OAUTH_SCOPE", "OAUTH_REFRESH_TOKEN"]


class Instance:
    """An instance directory: a link to the built program, its ZVMAIL32.INI,
    the IN and OUT directories and (by default) its log beside the program."""

    def __init__(self, root, program):
        self.dir = os.path.join(root, "instance")
        self.in_dir = os.path.join(root, "in")
        self.out_dir = os.path.join(root, "out")
        self.cwd = os.path.join(root, "cwd")  # unrelated working directory
        for d in (self.dir, self.in_dir, self.out_dir, self.cwd):
            os.makedirs(d, exist_ok=True)
        self.program = os.path.join(self.dir, "zvmail32")
        os.symlink(os.path.abspath(program), self.program)
        self.ini = os.path.join(self.dir, "ZVMAIL32.INI")
        self.log = os.path.join(self.dir, "ZVMAIL32.LOG")
        self.tok = os.path.join(self.dir, "ZVMAIL32.TOK")
        self.result = None

    def write_ini(self, **values):
        """Writes the INI the way the program writes it (key padded to 11,
        CR LF); IN and OUT default to this instance's directories; a key
        whose value is None is left out."""
        values.setdefault("IN", self.in_dir + "/")
        values.setdefault("OUT", self.out_dir + "/")
        values.setdefault("LOG", "YES")
        lines = ["[General Information]", ""]
        for key in INI_KEYS:
            if values.get(key) is not None:
                lines.append("%-10s %s" % (key, values[key]))
        with open(self.ini, "wb") as f:
            f.write("".join(l + "\r\n" for l in lines).encode("latin-1"))

    def ini_value(self, key):
        """The value of `key` in the INI as the program left it, or None."""
        with open(self.ini, "rb") as f:
            for raw in f.read().decode("latin-1").splitlines():
                parts = raw.strip().split(None, 1)
                if parts and parts[0].upper() == key:
                    return parts[1].strip() if len(parts) > 1 else ""
        return None

    def token_state(self):
        """The lines "KEY value" of ZVMAIL32.TOK as a dict ({} without it)."""
        try:
            with open(self.tok, "rb") as f:
                lines = f.read().decode("latin-1").splitlines()
        except FileNotFoundError:
            return {}
        return dict((line.split(None, 1) + [""])[:2] for line in lines if line.strip())

    def put_outbound(self, base, tag, sender, recipient, text):
        """An outbound pair: BASE.WRK (three lines, CR LF) and BASE.TXT."""
        with open(os.path.join(self.out_dir, base + ".TXT"), "wb") as f:
            f.write(text)
        with open(os.path.join(self.out_dir, base + ".WRK"), "wb") as f:
            f.write(("%s\r\n%s\r\n%s\r\n" % (tag, sender, recipient)).encode("latin-1"))

    def files(self, which):
        return sorted(os.listdir(self.in_dir if which == "in" else self.out_dir))

    def read_in(self, name):
        with open(os.path.join(self.in_dir, name), "rb") as f:
            return f.read()

    def log_lines(self):
        """The log's lines without their time stamps."""
        try:
            with open(self.log, "rb") as f:
                data = f.read().decode("latin-1")
        except FileNotFoundError:
            return []
        return [line[19:] if len(line) > 19 else line for line in data.split("\r\n") if line]

    def run(self, *args, timeout=120):
        """One run of the program with `args`; it must end by itself after one
        cycle."""
        env = dict(os.environ)
        env.update(QT_QPA_PLATFORM="offscreen", ZVMAIL32_ECHO_STATUS="1")
        self.result = subprocess.run([self.program, *args], cwd=self.cwd, env=env, stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=timeout)
        return self.result

    def report(self):
        r = self.result
        parts = []
        if r is not None:
            parts.append("exit code %s\n--- stderr\n%s" % (r.returncode, r.stderr.decode("latin-1")[-4000:]))
        parts.append("--- log\n%s" % tail(self.log, 60))
        parts.append("--- IN %s\n--- OUT %s" % (self.files("in"), self.files("out")))
        return "\n".join(parts)


def sent_form(text):
    """What the SMTP pass puts into a mailbox for a .TXT file: every line
    (ended by CR, LF or CR LF) trimmed of blanks, and the piece after the last
    line break sent as a line of its own, so a file ending in a line break
    gains one empty line; the Maildir stores LF line ends."""
    pieces = text.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    return b"".join(p.strip(b" ") + b"\n" for p in pieces)
