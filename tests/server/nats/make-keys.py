#!/usr/bin/python3
"""Makes the throwaway NATS keys of the tests, once, into keys/ beside this script; they are
committed, and good for tests only.

- velmora-user.nk, velmora-user.pub: an NKey user, named in the secured cluster's configuration.
- operator.conf: operator mode for nats-server (the operator's JWT, and the JWTs of a system
  account and of the account VELMORA, with JetStream), to be put into a configuration file.
- velmora.creds: a user of VELMORA with the servers' permissions for the room "test".

Debian has no tool that makes NKeys or JWTs, so this does what NATS tools do, with the Ed25519 of
python3-cryptography. Run it with Debian's /usr/bin/python3; it replaces every key.
"""
import base64
import hashlib
import json
import os
import time

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, NoEncryption, PrivateFormat, PublicFormat

KEYS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keys")
PREFIX = {"seed": 18 << 3, "operator": 14 << 3, "account": 0, "user": 20 << 3}

# What the servers' user may do for the room "test": the same list as the secured cluster's
# configuration in harness.cpp and the one the README gives for the room "lobby".
PUBLISH = [
    "velmora.room.test",
    "$KV.velmora_test.>",
    "$JS.API.STREAM.INFO.KV_velmora_test",
    "$JS.API.STREAM.CREATE.KV_velmora_test",
    "$JS.API.STREAM.UPDATE.KV_velmora_test",
    "$JS.API.STREAM.PURGE.KV_velmora_test",
    "$JS.API.STREAM.MSG.GET.KV_velmora_test",
    "$JS.API.DIRECT.GET.KV_velmora_test",
    "$JS.API.DIRECT.GET.KV_velmora_test.>",
    "$JS.API.STREAM.NAMES",
    "$JS.API.CONSUMER.CREATE.KV_velmora_test",
    "$JS.API.CONSUMER.CREATE.KV_velmora_test.>",
    "$JS.API.CONSUMER.INFO.KV_velmora_test.*",
    "$JS.API.CONSUMER.DELETE.KV_velmora_test.*",
    "$JS.FC.KV_velmora_test.>",
]
SUBSCRIBE = ["velmora.room.test", "_INBOX.>"]


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc.to_bytes(2, "little")


def base32(data):
    return base64.b32encode(data).decode().rstrip("=")


class Key:
    def __init__(self, kind):
        self.kind = kind
        self.private = Ed25519PrivateKey.generate()
        raw_public = self.private.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
        data = bytes([PREFIX[kind]]) + raw_public
        self.public = base32(data + crc16(data))
        raw_seed = self.private.private_bytes(Encoding.Raw, PrivateFormat.Raw, NoEncryption())
        data = bytes([PREFIX["seed"] | PREFIX[kind] >> 5, (PREFIX[kind] & 31) << 3]) + raw_seed
        self.seed = base32(data + crc16(data))


def jwt(claims, signer):
    """A NATS JWT: its id is the hash of the claims without it, and the issuer signs it."""
    claims = dict(claims, jti="", iat=int(time.time()), iss=signer.public)
    claims["jti"] = base32(hashlib.new("sha512_256", json.dumps(claims).encode()).digest())
    header = {"typ": "JWT", "alg": "ed25519-nkey"}
    encode = lambda data: base64.urlsafe_b64encode(data).decode().rstrip("=")
    body = encode(json.dumps(header).encode()) + "." + encode(json.dumps(claims).encode())
    return body + "." + encode(signer.private.sign(body.encode()))


def account_claims(account, name, jetstream):
    limits = {"subs": -1, "data": -1, "payload": -1, "imports": -1, "exports": -1, "wildcards": True,
              "conn": -1, "leaf": -1}
    if jetstream:
        limits.update({"mem_storage": -1, "disk_storage": -1, "streams": -1, "consumer": -1})
    return {"sub": account.public, "name": name, "nats": {"limits": limits, "type": "account", "version": 2}}


def write(name, text):
    with open(os.path.join(KEYS, name), "w") as out:
        out.write(text)


def main():
    os.makedirs(KEYS, exist_ok=True)
    nkey_user = Key("user")
    write("velmora-user.nk", nkey_user.seed + "\n")
    write("velmora-user.pub", nkey_user.public + "\n")

    operator, system, velmora, user = Key("operator"), Key("account"), Key("account"), Key("user")
    operator_jwt = jwt({"sub": operator.public, "name": "velmora-test-operator",
                        "nats": {"system_account": system.public, "type": "operator", "version": 2}}, operator)
    write("operator.conf", "\n".join([
        "# Made by make-keys.py: test-only keys.",
        "operator: " + operator_jwt,
        "system_account: " + system.public,
        "resolver: MEMORY",
        "resolver_preload: {",
        "  " + system.public + ": " + jwt(account_claims(system, "SYS", False), operator),
        "  " + velmora.public + ": " + jwt(account_claims(velmora, "VELMORA", True), operator),
        "}", ""]))
    user_jwt = jwt({"sub": user.public, "name": "velmora-server",
                    "nats": {"pub": {"allow": PUBLISH}, "sub": {"allow": SUBSCRIBE},
                             "subs": -1, "data": -1, "payload": -1, "type": "user", "version": 2}}, velmora)
    write("velmora.creds", "\n".join([
        "-----BEGIN NATS USER JWT-----", user_jwt, "------END NATS USER JWT------", "",
        "************************* IMPORTANT *************************",
        "NKEY Seed printed below can be used to sign and prove identity.",
        "NKEYs are sensitive and should be treated as secrets.", "",
        "-----BEGIN USER NKEY SEED-----", user.seed, "------END USER NKEY SEED------", "",
        "*************************************************************", ""]))


if __name__ == "__main__":
    main()
