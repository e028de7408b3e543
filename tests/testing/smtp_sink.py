#!/usr/bin/python3
# SMTP peer of the tests and benchmarks: a real aiosmtpd server on a free loopback port that
# keeps every message it accepts as two files in the spool folder, NNNNNN.eml (the content
# as received, dot-stuffing undone) and NNNNNN.env (HELO, MAIL FROM and RCPT TO lines; written
# last, so a reader that sees it sees the whole message). The files are complete before the
# server answers 250, so a client that got its 250 finds them at once.
import argparse
import asyncio
import os
import socket
import time

from aiosmtpd.smtp import SMTP


class Capture:
    def __init__(self, spool, keep):
        self.spool = spool
        self.keep = keep
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        if not self.keep:
            return "250 OK"
        base = os.path.join(self.spool, "%06d" % self.count)
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.content)
        lines = ["HELO " + (session.host_name or ""), "FROM " + (envelope.mail_from or "")]
        lines += ["TO " + r for r in envelope.rcpt_tos]
        with open(base + ".env.tmp", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(base + ".eml.tmp", base + ".eml")
        os.rename(base + ".env.tmp", base + ".env")
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spool", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--discard", action="store_true", help="accept without keeping")
    args = parser.parse_args()

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(128)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Capture(args.spool, not args.discard)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, hostname="sink.test"), sock=sock))

    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % sock.getsockname()[1])
    os.rename(tmp, args.port_file)

    # Never outlive the test: stop when the parent has gone or the lifetime is over.
    parent = os.getppid()

    async def watchdog():
        deadline = time.monotonic() + args.lifetime
        while time.monotonic() < deadline and os.getppid() == parent:
            await asyncio.sleep(0.2)
        loop.stop()

    loop.create_task(watchdog())
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
