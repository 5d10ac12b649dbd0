"""An aiosmtpd handler for the mail tests: saves each message it accepts, with its envelope,
as one file of the folder given on the command line.

    PYTHONPATH=tests/peers python3 -m aiosmtpd -n -l 127.0.0.1:PORT -c smtp_sink.Sink FOLDER

File "mailN": "MAIL FROM: <sender>\n", one "RCPT TO: <recipient>\n" per recipient, an empty
line, then the message's bytes as received (CR LF line ends, dots unstuffed).
"""
import os


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    @classmethod
    def from_cli(cls, parser, *args):
        if len(args) != 1:
            parser.error("Sink needs the folder to save messages in")
        return cls(args[0])

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = os.path.join(self.folder, "mail%d" % self.count)
        with open(name + ".tmp", "wb") as out:
            out.write(("MAIL FROM: %s\n" % envelope.mail_from).encode())
            for rcpt in envelope.rcpt_tos:
                out.write(("RCPT TO: %s\n" % rcpt).encode())
            out.write(b"\n")
            out.write(envelope.original_content)
        os.rename(name + ".tmp", name)
        return "250 Message accepted for delivery"
