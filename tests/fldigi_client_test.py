#!/usr/bin/env python3
"""fldigi, a logging program nobody here wrote, fills in a licensee's name and QTH from calldb serve.

  fldigi_client_test.py CALLDB

For each callbook format fldigi speaks (HamQTH's and callook's XML), fldigi starts under Xvfb with
a home of its own whose settings point its callbook at `calldb serve`; a callsign is typed into its
Call field and its QRZ button clicked, as a user does, and its Name, QTH, St and Pr fields, read
over fldigi's XML-RPC, must then hold what `calldb lookup` finds for it; the server knows
fldigi's user and password from a password file. fldigi 4.1.23 connects to port 80 whatever port
its callbook URL names, so the test runs in namespaces of its own: a network namespace, where
calldb serve takes 127.0.0.1:80 and fldigi its default XML-RPC port without meeting anyone
else's, and a PID namespace, so nothing it starts outlives it. Exit 0 when every field held what it should, 77
(skipped) when fldigi, Xvfb or xdotool is not installed, 1 otherwise.
"""
import fcntl, os, select, shutil, socket, struct, subprocess, sys, tempfile, time
import xmlrpc.client

SKIP = 77
# fldigi_def.xml's QRZXMLTYPE chooses the format, KEY holds the URL.
FORMATS = [("HamQTH", 5, "HAMQTHURL", ["K5TUV", "VE3XKT"]),
           ("callook", 4, "CALLOOKURL", ["K5TUV", "W7KDL"])]
# The Call field and the QRZ button beside it in fldigi's main window, in its default layout.
CALL_FIELD, QRZ_BUTTON = ("441", "59"), ("316", "34")

start = time.monotonic()
deadline = start + 90  # fldigi takes 3 s to start on an idle machine, 12 s on a busy one


class Failure(Exception):
    pass


def wait_for(probe, seconds):
    until = min(deadline, time.monotonic() + seconds)
    while True:
        found = probe()
        if found or time.monotonic() > until:
            return found
        time.sleep(0.1)


def need(what, probe, seconds):
    found = wait_for(probe, seconds)
    if not found:
        raise Failure("no %s within %d s" % (what, seconds))
    return found


def loopback_up():
    # SIOCGIFFLAGS, SIOCSIFFLAGS: lo starts down in a new network namespace.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH14x", b"lo", 0))[:18])
        fcntl.ioctl(s, 0x8914, struct.pack("16sH14x", b"lo", flags[1] | 1))


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def expected(calldb, data, call):
    """Name, QTH, St and Pr as fldigi should show them: from `calldb lookup`, upper case."""
    out = subprocess.run([calldb, "lookup", "-C", data, call], capture_output=True, text=True,
                         timeout=10).stdout.splitlines()
    if len(out) < 4:
        raise Failure("calldb lookup %s: %r" % (call, out))
    name, place = out[1], out[3]
    first = (name.split(", ", 1)[1] if ", " in name else name).split()[0]  # "LAST, FIRST M"
    if ", " in place:                                                       # "CITY, PR  POSTAL"
        city, rest = place.rsplit(", ", 1)
        return [first, city, "", rest.split()[0]]
    city, state, _ = place.rsplit(" ", 2)                                   # "CITY ST ZIP"
    return [first, city, state, ""]


class Run:
    def __init__(self, calldb, tmp):
        self.calldb, self.tmp, self.procs = calldb, tmp, []
        self.data = os.path.join(tmp, "calldb")
        self.served = os.path.join(tmp, "serve.log")

    def start(self, argv, log, **kw):
        with open(os.path.join(self.tmp, log), "a") as f:
            self.procs.append(subprocess.Popen(argv, stdout=f, stderr=f, **kw))
        return self.procs[-1]

    def stop(self, p):
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
        self.procs.remove(p)

    def serve(self):
        with open(os.path.join(self.tmp, "passwords"), "w") as f:
            f.write("N0CALL:demo\n")
        self.start([self.calldb, "serve", "-C", self.data, "--listen", "127.0.0.1:80",
                    "--passwords", os.path.join(self.tmp, "passwords")], "serve.log")

        def start_line():
            with open(self.served) as f:
                return next((l for l in f if l.startswith("calldb serve: listening on ")), None)
        line = need("start line from calldb serve", start_line, 10)
        want = "calldb serve: listening on http://127.0.0.1:80/ (data folder %s)\n" % self.data
        if line != want:
            raise Failure("calldb serve says %r, not %r" % (line, want))

    pictured = False

    def xvfb(self):
        # Xvfb picks a free display and writes its number to the pipe.
        r, w = os.pipe()
        self.start(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-screen", "0",
                    "1024x768x24"], "xvfb.log", pass_fds=(w,))
        os.close(w)
        number = need("display from Xvfb", lambda: select.select([r], [], [], 0)[0] and
                      os.read(r, 16), 10)
        self.display = ":" + number.decode().strip()

    def check(self, label, kind, key, calls):
        home = os.path.join(self.tmp, label)
        os.makedirs(os.path.join(home, ".fldigi"))
        # A settings file of its own keeps fldigi from its first-start wizard.
        with open(os.path.join(home, ".fldigi", "fldigi_def.xml"), "w") as f:
            f.write("<FLDIGI_DEFS>\n<QRZXMLTYPE>%d</QRZXMLTYPE>\n<%s>http://127.0.0.1/</%s>\n"
                    "<QRZUSER>N0CALL</QRZUSER>\n<QRZPASSWORD>demo</QRZPASSWORD>\n</FLDIGI_DEFS>\n"
                    % (kind, key, key))
        env = dict(os.environ, HOME=home, DISPLAY=self.display)
        fldigi = self.start(["fldigi", "--home-dir", home + "/", "--config-dir",
                             home + "/.fldigi/"], label + ".log", env=env)
        rpc = xmlrpc.client.ServerProxy("http://127.0.0.1:7362/")

        def answers():
            try:
                return rpc.fldigi.name()
            except OSError:
                return None

        def xdo(*args):
            return subprocess.run(["xdotool"] + list(args), env=env, capture_output=True,
                                  text=True, timeout=10).stdout.split()

        debug = os.path.join(home, ".fldigi", "debug", "network_debug.txt")
        failures = []
        try:
            need("answer from fldigi's XML-RPC", answers, 60)
            win = need("fldigi window", lambda: xdo("search", "--name", "^fldigi ver"), 10)[0]
            for call in calls:
                want = expected(self.calldb, self.data, call)

                def typed():
                    rpc.log.clear()
                    xdo("mousemove", "--window", win, *CALL_FIELD, "click", "1", "type", call)
                    return rpc.log.get_call() == call
                need("%s in the Call field" % call, typed, 10)
                # A click fldigi missed (it asked nothing) is a user's to repeat.
                asked = ("callsign=%s&" if kind == 5 else "/%s/xml ") % call
                for _ in range(3):
                    xdo("mousemove", "--window", win, *QRZ_BUTTON, "sleep", "0.2", "click", "1")
                    if wait_for(lambda: asked in read(debug), 3):
                        break
                    print("fldigi asked nothing after a click on QRZ for %s" % call)

                def fields():
                    return [rpc.log.get_name(), rpc.log.get_qth(), rpc.log.get_state(),
                            rpc.log.get_province()]
                wait_for(lambda: [g.upper() for g in fields()] == want, 10)
                got = fields()
                if [g.upper() for g in got] != want:
                    failures.append("%s %s: Name, QTH, St, Pr are %r, not %r"
                                    % (label, call, got, want))
                elif os.environ.get("FLDIGI_SCREENSHOT") and not self.pictured:
                    # The window as the user sees it, the fields filled (scripts/screenshot-fldigi).
                    self.pictured = True
                    subprocess.run("xwd -silent -id %s | xwdtopnm 2>/dev/null | pnmtopng > '%s'"
                                   % (win, os.environ["FLDIGI_SCREENSHOT"]), shell=True,
                                   env=env, timeout=30, check=True)
        finally:
            self.stop(fldigi)
        if failures:
            print("fldigi's network log ends:\n" + read(debug)[-3000:])
        return failures


def inside(calldb):
    loopback_up()
    socket.setdefaulttimeout(10)
    run = Run(calldb, tempfile.mkdtemp(prefix="fldigi-client-"))
    try:
        subprocess.run([calldb, "sample", run.data], check=True, capture_output=True, timeout=30)
        run.serve()
        run.xvfb()
        failures = [f for fmt in FORMATS for f in run.check(*fmt)]
    except (Failure, subprocess.SubprocessError, OSError, xmlrpc.client.Error) as e:
        failures = [str(e)]
        if os.path.exists(run.served):
            print("calldb serve's log:\n" + open(run.served).read()[-2000:])
    finally:
        for p in list(run.procs):
            run.stop(p)
        shutil.rmtree(run.tmp, ignore_errors=True)
    for f in failures:
        print("FAIL: " + f)
    print("%d lookups through fldigi, %d failed (%.1f s)"
          % (sum(len(f[3]) for f in FORMATS), len(failures), time.monotonic() - start))
    return 1 if failures else 0


def main():
    calldb = os.path.abspath(sys.argv[1])
    if os.environ.get("FLDIGI_CLIENT_TEST_INSIDE"):
        return inside(calldb)
    missing = [tool for tool in ("fldigi", "Xvfb", "xdotool") if not shutil.which(tool)]
    if missing:
        print("SKIP: not installed: " + ", ".join(missing))
        return SKIP
    os.environ["FLDIGI_CLIENT_TEST_INSIDE"] = "1"
    # --kill-child: when unshare is killed (a test's timeout), all in the namespaces goes too.
    os.execvp("unshare", ["unshare", "--map-root-user", "--net", "--pid", "--kill-child",
                          sys.executable, os.path.abspath(__file__), calldb])


if __name__ == "__main__":
    sys.exit(main())
