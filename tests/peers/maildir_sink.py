"""An aiosmtpd handler that delivers like a local mail server: each accepted message goes into
the Maildir of each recipient's local part under the folder given on the command line, where a
POP3 server (Dovecot in the tests) serves it.

    PYTHONPATH=tests/peers python3 -m aiosmtpd -n -l 127.0.0.1:PORT -c maildir_sink.Maildirs ROOT

ROOT/<local part>/{tmp,new,cur}; folders and files are open to every user, as the POP3 server
may run under its own account.
"""
import os
import re


class Maildirs:
    def __init__(self, root):
        self.root = root
        self.count = 0

    @classmethod
    def from_cli(cls, parser, *args):
        if len(args) != 1:
            parser.error("Maildirs needs the root folder of the mailboxes")
        return cls(args[0])

    def _maildir(self, user):
        base = os.path.join(self.root, user)
        for sub in ("tmp", "new", "cur"):
            path = os.path.join(base, sub)
            os.makedirs(path, exist_ok=True)
            os.chmod(path, 0o777)
        os.chmod(base, 0o777)
        return base

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        user = address.split("@")[0]
        if not re.fullmatch(r"[A-Za-z0-9._-]+", user) or user.startswith("."):
            return "550 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        for rcpt in envelope.rcpt_tos:
            self.count += 1
            base = self._maildir(rcpt.split("@")[0])
            name = "%d.%d.quorbtest" % (os.getpid(), self.count)
            tmp = os.path.join(base, "tmp", name)
            with open(tmp, "wb") as out:
                out.write(envelope.original_content)
            os.chmod(tmp, 0o666)
            os.rename(tmp, os.path.join(base, "new", name))
        return "250 Message accepted for delivery"
