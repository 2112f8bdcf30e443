#!/usr/bin/env python3
"""The probefleet sandbox: moto's server for EC2, IAM, STS, SSM and S3 on one
loopback port, behind our wrapper (instance metadata, address echo, request
journal, fault injection, world seeding, corrections of moto).

    python3 sandbox.py [--port 0] [--port-file PATH] [--auth] [--tls]
                       [--world FILE] [--world-out FILE] [--verbose]
                       [--profile aws [--time-scale X]] [--guard RULES]

Once it is ready it writes the world's ids to --world-out, then
"http://127.0.0.1:PORT" to --port-file (both atomically), and prints the URL.
With --tls it serves https instead, with a self-signed certificate for
127.0.0.1 made at start; the world's "ca_bundle" names the certificate file,
for clients to trust through AWS_CA_BUNDLE. --profile aws turns the realistic
profile on from the first request (AWS's throttling, eventual consistency and
slow transitions; --time-scale 0.05 runs them 20 times faster). --guard
turns the guarded profile on ("all", rule names separated by commas, or its
JSON configuration inline or in a file): organisation policies, an Elastic IP
quota, launches that die, and the launches a real account refuses (types a
zone does not offer, full subnets, capacity, the vCPU quota, Allowed AMIs).
See README.md beside this file for the control API.
"""

from __future__ import annotations

import argparse
import ipaddress
import json
import logging
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def _is_loopback(host) -> bool:
    if isinstance(host, (bytes, bytearray)):
        host = host.decode()
    try:
        return ipaddress.ip_address(host.split("%")[0]).is_loopback
    except ValueError:
        return host == "localhost"


def guard_loopback() -> None:
    """Refuse every outgoing connection of this process that would leave the
    loopback interface: nothing in the sandbox has any business elsewhere."""
    original_connect = socket.socket.connect
    original_connect_ex = socket.socket.connect_ex

    def check(sock, address):
        if sock.family in (socket.AF_INET, socket.AF_INET6) and not _is_loopback(address[0]):
            raise PermissionError(f"sandbox: refusing a connection to {address[0]} outside loopback")

    def connect(self, address):
        check(self, address)
        return original_connect(self, address)

    def connect_ex(self, address):
        check(self, address)
        return original_connect_ex(self, address)

    socket.socket.connect = connect
    socket.socket.connect_ex = connect_ex


def isolate_from_aws_configuration() -> None:
    """moto builds boto3 sessions of its own: keep the developer's profiles,
    credentials and endpoints out of them."""
    for name in list(os.environ):
        if name.startswith(("AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_ENDPOINT_URL", "AWS_CONTAINER_",
                            "AWS_ROLE_", "AWS_WEB_IDENTITY")):
            del os.environ[name]
    os.environ["AWS_CONFIG_FILE"] = os.devnull
    os.environ["AWS_SHARED_CREDENTIALS_FILE"] = os.devnull
    os.environ["AWS_EC2_METADATA_DISABLED"] = "true"


def write_atomically(path: str, text: str) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    temp = os.path.join(directory, f".{os.path.basename(path)}.{os.getpid()}.tmp")
    with open(temp, "w", encoding="utf-8") as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    os.replace(temp, path)


def make_certificate(directory: str) -> tuple[str, str]:
    """A self-signed certificate (and its key) for 127.0.0.1, made with the
    openssl command; it is its own CA, so clients can trust it directly."""
    cert = os.path.join(directory, "sandbox-cert.pem")
    key = os.path.join(directory, "sandbox-key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", key, "-out", cert],
        check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    os.chmod(key, 0o600)
    return cert, key


def watch_parent(on_exit=None) -> None:
    """End the sandbox when the process that started it is gone."""
    parent = os.getppid()

    def watch():
        while True:
            time.sleep(1.0)
            if os.getppid() != parent:
                if on_exit:
                    on_exit()
                os._exit(0)

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--port-file", help="where to write the URL once ready")
    parser.add_argument("--auth", action="store_true", help="check SigV4 signatures and IAM policies")
    parser.add_argument("--world", default=os.path.join(HERE, "world.json"), help="world description (JSON)")
    parser.add_argument("--world-out", help="where to write the ids of the seeded world (JSON)")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    parser.add_argument("--tls", action="store_true",
                        help="serve https with a self-signed certificate for 127.0.0.1")
    parser.add_argument("--profile", choices=["aws"],
                        help="behave as AWS really does: throttling per action, eventual consistency, "
                             "slow state transitions")
    parser.add_argument("--time-scale", type=float,
                        help="with --profile: multiply every duration by this (1: AWS's own pace)")
    parser.add_argument("--guard", metavar="RULES",
                        help='guard the account as organisations do: "all", rule names separated by commas '
                             '(imdsv2,tags_at_creation,required_tag,eip_quota), or the JSON configuration '
                             'of /_sandbox/guard inline or in a file')
    args = parser.parse_args(argv)
    if args.time_scale is not None and (args.profile is None or not args.time_scale > 0):
        parser.error("--time-scale needs --profile and a positive number")
    args.guard_config = None
    if args.guard:
        from sandboxlib.guard import parse_flag

        try:
            args.guard_config = parse_flag(args.guard)
        except (ValueError, OSError) as error:
            parser.error(f"--guard: {error}")

    isolate_from_aws_configuration()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    logging.getLogger("werkzeug").setLevel(logging.INFO if args.verbose else logging.WARNING)
    guard_loopback()
    cert_dir = tempfile.mkdtemp(prefix="probefleet-sandbox-tls-") if args.tls else None

    def remove_cert_dir() -> None:
        if cert_dir:
            shutil.rmtree(cert_dir, ignore_errors=True)

    watch_parent(on_exit=remove_cert_dir)
    try:
        return serve(args, cert_dir)
    finally:
        remove_cert_dir()


def serve(args, cert_dir: str | None) -> int:
    from moto import settings

    if args.auth:
        # Every request from the first one on has its signature checked and
        # its action evaluated against the caller's IAM policies.
        settings.INITIAL_NO_AUTH_ACTION_COUNT = 0

    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    from sandboxlib import corrections, guard, realism
    from sandboxlib.app import SandboxApp
    from sandboxlib.world import World

    corrections.install()
    realism.install()
    guard.install()
    with open(args.world, encoding="utf-8") as source:
        world = World(json.load(source))
    ids = world.seed()

    def publish(world_ids: dict) -> None:
        if args.world_out:
            write_atomically(args.world_out, json.dumps(world_ids, indent=2) + "\n")

    if args.profile:
        # Only after seeding: the world stands for an account's long-lived
        # resources, propagated long ago, not for resources just made.
        profile = {"name": args.profile}
        if args.time_scale is not None:
            profile["time_scale"] = args.time_scale
        realism.REALISM.configure(profile)
    if args.guard_config is not None:
        try:
            guard.GUARD.configure(args.guard_config, ids)
        except guard.GuardError as error:
            print(f"sandbox.py: --guard: {error}", file=sys.stderr)
            return 2

    moto_app = DomainDispatcherApplication(create_backend_app)
    app = SandboxApp(moto_app, world, on_world_change=publish)
    tls_ids = {}
    ssl_context = None
    if cert_dir:
        cert, key = make_certificate(cert_dir)
        ssl_context = (cert, key)
        world.ca_bundle = cert
        tls_ids["ca_bundle"] = cert
    server = make_server("127.0.0.1", args.port, app, threaded=True, ssl_context=ssl_context)
    port = server.server_address[1]
    os.environ["MOTO_PORT"] = str(port)
    url = f"{'https' if cert_dir else 'http'}://127.0.0.1:{port}"
    world.endpoint = url
    ids = {"endpoint": url, **tls_ids, **ids}
    world.ids = ids
    publish(ids)
    if args.port_file:
        write_atomically(args.port_file, url + "\n")
    print(url, flush=True)

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        server.serve_forever()
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
