"""A fresh QUORB installation in a temporary folder and the built CGI run in it as a web
server runs it, for the tests of the machine interface written as its clients are: Python
with the standard library, feedparser and the JSON of the API."""
import hashlib
import json
import os
import secrets
import shutil
import subprocess
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Site:
    def __init__(self, cgi, extra_config=""):
        self.cgi = os.path.abspath(cgi)
        self.root = tempfile.mkdtemp(prefix="quorb-api-")
        for folder in ("config", "data/tmp", "data/Stats", "data/Synchro/in",
                       "data/Synchro/out", "data/Tests", "temp"):
            os.makedirs(os.path.join(self.root, folder), exist_ok=True)
        self.write("config/quorb.cfg",
                   f"DATADIR {self.root}/data/\nCONFIGDIR {self.root}/config/\n"
                   "IMGDIR /quorb/images/\nPRINT cat\nMAILSERV 127.0.0.1:1\n"
                   "HOSTNAME localhost\nDOMAIN example.org\nLANGUAGE EN\nWWW www\n"
                   "DEBUG NO\n" + extra_config)
        for code in ("EN", "FR"):
            shutil.copy(os.path.join(REPO, "share/config/langue." + code),
                        os.path.join(self.root, "config"))
        # The sample project: TEST (code T), phases Analysis:a and Tests:s, sub-project GUI:G.
        self.write("config/project.cfg", "TEST:T:kolvar:tessin\n")
        self.write("config/phase.cfg", "Analysis:a\nTests:s\n")
        self.write("config/impacts.cfg", "Low\nHigh\n")
        self.write("config/TEST_subproject.cfg", "GUI:G\nCore:C\n")
        self.write("config/TEST_program.cfg", "prog1\n")
        self.write("config/TEST_version.cfg", "1.0\n1.1\n")
        self.write("config/TEST_users.cfg",
                   "kolvar:kolvar@example.org:secret: :YES:YES:YES:YES:YES:YES\n")

    def close(self):
        if not os.environ.get("QUORB_KEEP_TEST_DIRS"):
            shutil.rmtree(self.root, ignore_errors=True)

    def write(self, rel, text):
        with open(os.path.join(self.root, rel), "w", encoding="latin-1") as f:
            f.write(text)

    def read(self, rel):
        with open(os.path.join(self.root, rel), encoding="latin-1") as f:
            return f.read()

    def add_key(self, login, kind="a", project="TEST"):
        """A key of `login` as its page makes one: the file keeps only its hash."""
        ident = secrets.token_hex(4)
        key = f"qk{kind}{ident}_{secrets.token_hex(16)}"
        digest = hashlib.sha256(key.encode()).hexdigest()
        path = os.path.join(self.root, "config/apikeys.dat")
        with open(path, "a") as f:
            f.write(f"{ident} {kind} {digest} {login} {project} 0 0 test\n")
        os.chmod(path, 0o600)
        return key

    def run(self, query, body=b"", method=None, headers=None, content_type=None):
        """Runs the CGI; (status, headers, body) of its answer."""
        env = {
            "PATH": "/usr/bin:/bin", "PWD": self.root, "TEMP": self.root + "/temp",
            "TZ": "UTC", "GATEWAY_INTERFACE": "CGI/1.1",
            "SCRIPT_NAME": "/cgi-bin/quorb.cgi", "SCRIPT_FILENAME": self.root + "/quorb.cgi",
            "SERVER_NAME": "localhost", "SERVER_PORT": "80", "HTTP_HOST": "localhost",
            "REMOTE_ADDR": "192.0.2.10", "QUERY_STRING": query,
            "REQUEST_METHOD": method or ("POST" if body else "GET"),
        }
        if os.environ.get("ASAN_OPTIONS"):
            env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"]
        if body:
            env["CONTENT_LENGTH"] = str(len(body))
            env["CONTENT_TYPE"] = content_type or "application/json"
        for name, value in (headers or {}).items():
            env["HTTP_" + name.upper().replace("-", "_")] = value
        done = subprocess.run([self.cgi], input=body, env=env, cwd=self.root,
                              capture_output=True, timeout=60, check=True)
        head, _, content = done.stdout.partition(b"\n\n")
        fields = {}
        for line in head.decode("latin-1").split("\n"):
            name, _, value = line.partition(": ")
            fields[name.lower()] = value
        status = int(fields.get("status", "200").split()[0])
        return status, fields, content

    def api(self, key, call, query="", payload=None, headers=None):
        """One API call; (status, decoded JSON)."""
        headers = dict(headers or {})
        if key:
            headers["Authorization"] = "Bearer " + key
        body = json.dumps(payload).encode() if payload is not None else b""
        status, _, content = self.run(f"CMD=api&v=1&call={call}{query}", body, headers=headers)
        return status, json.loads(content)
