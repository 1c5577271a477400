#!/usr/bin/python3
"""The site's own SMTP server for the demo: aiosmtpd storing into a Maildir."""

import argparse
import asyncio
import os
import signal

from aiosmtpd.handlers import Mailbox
from aiosmtpd.smtp import SMTP


async def serve(maildir, port_file):
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(Mailbox(maildir), hostname="mail.example.org"),
                                      "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.replace(port_file + ".tmp", port_file)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), timeout=600)  # never outlives a forgotten demo
    except asyncio.TimeoutError:
        pass
    server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("maildir")
    parser.add_argument("port_file")
    args = parser.parse_args()
    asyncio.run(serve(args.maildir, args.port_file))


if __name__ == "__main__":
    main()
