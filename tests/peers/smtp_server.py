#!/usr/bin/python3
"""A real mail server for the tests: aiosmtpd on a loopback address, requiring
authentication, storing every mail it accepts.

Prints "READY <port>" on stdout once it listens. In the store directory it
keeps events.log (one line per command and connection event, in order) and
mail-<n>.eml (the raw DATA content, dot-unstuffed by the server) with
mail-<n>.json (envelope sender and recipients). Runs until terminated.
"""
import argparse
import asyncio
import base64
import json
import logging
import os
import signal
import ssl
import sys
import warnings

warnings.simplefilter("ignore")  # AUTH without TLS is what these tests want

from aiosmtpd.smtp import SMTP, AuthResult  # noqa: E402

logging.getLogger("mail.log").setLevel(logging.ERROR)


class Store:
    def __init__(self, directory):
        self.directory = directory
        self.mails = 0
        self.connections = 0
        os.makedirs(directory, exist_ok=True)
        self.log = open(os.path.join(directory, "events.log"), "a", buffering=1)

    def event(self, text):
        self.log.write(text + "\n")
        self.log.flush()

    def save(self, envelope):
        self.mails += 1
        base = os.path.join(self.directory, "mail-%d" % self.mails)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos}, f)
        os.rename(base + ".eml.part", base + ".eml")
        return base + ".eml"


class Handler:
    def __init__(self, store, refused_recipients):
        self.store = store
        self.refused = refused_recipients

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refused:
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        path = self.store.save(envelope)
        self.store.event("MESSAGE " + os.path.basename(path))
        return "250 OK stored"


def make_protocol(store, handler, args):
    class LoggingSMTP(SMTP):
        def connection_made(self, transport):
            if self._original_transport is not None:  # STARTTLS done: the same connection
                store.event("TLS %d" % self.number)
                super().connection_made(transport)
                return
            store.connections += 1
            self.number = store.connections
            store.event("CONNECT %d" % self.number)
            if transport.get_extra_info("ssl_object") is not None:
                store.event("TLS %d" % self.number)
            super().connection_made(transport)

        def connection_lost(self, error):
            store.event("CLOSED %d" % self.number)
            super().connection_lost(error)

        async def smtp_EHLO(self, arg):
            store.event("EHLO " + arg)
            await super().smtp_EHLO(arg)

        async def smtp_STARTTLS(self, arg):
            store.event("STARTTLS")
            await super().smtp_STARTTLS(arg)

        async def smtp_AUTH(self, arg):
            store.event("AUTH " + arg)
            await super().smtp_AUTH(arg)

        async def smtp_MAIL(self, arg):
            store.event("MAIL " + arg)
            await super().smtp_MAIL(arg)

        async def smtp_RCPT(self, arg):
            store.event("RCPT " + arg)
            await super().smtp_RCPT(arg)

        async def smtp_DATA(self, arg):
            store.event("DATA")
            await super().smtp_DATA(arg)

        async def smtp_QUIT(self, arg):
            store.event("QUIT")
            await super().smtp_QUIT(arg)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == args.user.encode() and auth_data.password == args.password.encode()
        store.event("LOGIN %s %s %s %s" % (mechanism, "ok" if ok else "refused",
                                           base64.b64encode(auth_data.login).decode(),
                                           base64.b64encode(auth_data.password).decode()))
        return AuthResult(success=ok, handled=False)  # the server answers 235 or 535

    mechanisms = {m for m in args.mechanisms.upper().split(",") if m and m != "NONE"}
    excluded = [m for m in ("LOGIN", "PLAIN") if m not in mechanisms]
    offer_auth = bool(mechanisms)

    # STARTTLS: offered and required before anything else, AUTH offered only
    # inside TLS, as submission servers do.
    starttls = args.tls == "starttls"

    def factory():
        return LoggingSMTP(handler, hostname="mail.test", decode_data=False, auth_required=True,
                           auth_require_tls=starttls or not offer_auth,
                           authenticator=authenticator, auth_exclude_mechanism=excluded,
                           tls_context=tls_context(args) if starttls else None,
                           require_starttls=starttls)
    return factory


def tls_context(args):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.tls_cert, args.tls_key)
    return context


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    parser.add_argument("--port", type=int, default=0, help="port (0: any free one)")
    parser.add_argument("--dir", required=True, help="store directory")
    parser.add_argument("--user", default="robot", help="the one account's user name")
    parser.add_argument("--password", default="secret", help="the one account's password")
    parser.add_argument("--mechanisms", default="LOGIN,PLAIN",
                        help="AUTH mechanisms offered: LOGIN,PLAIN / LOGIN / PLAIN / none "
                             "(none: no AUTH keyword at all)")
    parser.add_argument("--refuse-rcpt", action="append", default=[], metavar="ADDRESS",
                        help="answer RCPT TO for this address with 550 (repeatable)")
    parser.add_argument("--tls", choices=("off", "starttls", "implicit"), default="off",
                        help="starttls: STARTTLS required, AUTH only after it; implicit: TLS "
                             "from the first byte (both need --tls-cert and --tls-key)")
    parser.add_argument("--tls-cert", help="server certificate (PEM)")
    parser.add_argument("--tls-key", help="its key (PEM)")
    args = parser.parse_args()
    if not args.host.startswith("127."):
        parser.error("only loopback addresses are allowed")

    store = Store(args.dir)
    handler = Handler(store, set(args.refuse_rcpt))
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(make_protocol(store, handler, args), args.host, args.port,
                           ssl=tls_context(args) if args.tls == "implicit" else None))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
