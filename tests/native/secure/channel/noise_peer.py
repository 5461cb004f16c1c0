#!/usr/bin/python3
"""An independent velsecure-v1 peer for interoperability tests.

The prelude, prologue, handshake framing and record layer are written here
from the channel's description; the Noise_XX_25519_ChaChaPoly_BLAKE2s
handshake and the ChaChaPoly cipher states come from dissononce.

Usage: noise_peer.py ROLE PURPOSE SECRET_HEX FD
  ROLE is "initiator" or "responder"; FD is the connected stream socket.

After the handshake the peer sends one record: b"PEER" + its handshake hash +
the static key it saw from us. Then it answers every record with a record of
the same plaintext, until the stream ends. Exit status: 0 clean end, 2 bad
prelude, 3 stream ended inside a record, 4 anything else.
"""

import socket
import struct
import sys

from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.hash.blake2s import Blake2sHash
from dissononce.processing.handshakepatterns.interactive.XX import XXHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState

MAGIC = b"VELMORI2"
VERSION = bytes([0x10, 0x02, 0x01, 0x01])
PROLOGUE_LABEL = b"Velmorine/VelSecure/v1"
TAG = 16
PLAINTEXT_MAX = 61440
RECORDS_PER_KEY = 4096
BYTES_PER_KEY = 1 << 26


class StreamEnded(Exception):
    def __init__(self, partial):
        super().__init__(partial)
        self.partial = partial


def read_exact(sock, count):
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise StreamEnded(len(data))
        data.extend(chunk)
    return bytes(data)


def prelude(purpose, role):
    return MAGIC + VERSION + bytes([purpose, role, 0, 0])


class Direction:
    """One direction of records: dissononce's cipher state with the channel's
    rekey schedule. The rekey follows the Noise Protocol Framework (the first 32
    bytes of the encryption of 32 zeros under nonce 2^64-1, the nonce kept);
    dissononce's own rekey resets the nonce and keeps 48 bytes, so it is not
    used."""

    def __init__(self, cipherstate):
        self.cs = cipherstate
        self.records = 0
        self.bytes = 0
        self.rekeys = 0
        self.total = 0

    def before_record(self, length):
        if (self.records >= RECORDS_PER_KEY or self.bytes >= BYTES_PER_KEY
                or self.bytes + length > BYTES_PER_KEY):
            key = self.cs._key
            self.cs._key = self.cs.cipher.encrypt(key, 2**64 - 1, b"", bytes(32))[:32]
            self.records = 0
            self.bytes = 0
            self.rekeys += 1

    def after_record(self, length):
        self.records += 1
        self.bytes += length
        self.total += 1


def send_record(sock, direction, plaintext):
    direction.before_record(len(plaintext))
    header = struct.pack(">H", len(plaintext) + TAG)
    body = direction.cs.encrypt_with_ad(header, plaintext)
    direction.after_record(len(plaintext))
    sock.sendall(header + body)


def receive_record(sock, direction):
    header = read_exact(sock, 2)
    (length,) = struct.unpack(">H", header)
    if length < TAG or length > PLAINTEXT_MAX + TAG:
        raise ValueError("record length %d" % length)
    try:
        body = read_exact(sock, length)
    except StreamEnded as ended:
        raise StreamEnded(2 + ended.partial)
    direction.before_record(length - TAG)
    plaintext = direction.cs.decrypt_with_ad(header, body)
    direction.after_record(length - TAG)
    return plaintext


def main():
    role_name, purpose, secret_hex, fd = sys.argv[1:5]
    initiator = role_name == "initiator"
    purpose = int(purpose)
    sock = socket.socket(fileno=int(fd))
    role, other = (1, 2) if initiator else (2, 1)

    ours = prelude(purpose, role)
    sock.sendall(ours)
    try:
        theirs = read_exact(sock, 16)
    except StreamEnded:
        return 2
    if theirs != prelude(purpose, other):
        return 2
    prologue = PROLOGUE_LABEL + (ours + theirs if initiator else theirs + ours)

    dh = X25519DH()
    static = dh.generate_keypair(PrivateKey(bytes.fromhex(secret_hex)))
    handshake = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), Blake2sHash()), dh)
    handshake.initialize(XXHandshakePattern(), initiator, prologue, s=static)

    # XX: the initiator writes messages 1 and 3, the responder message 2; each
    # is framed by a 2-byte big-endian length and carries an empty payload.
    result = None
    for index in range(3):
        if (index % 2 == 0) == initiator:
            message = bytearray()
            result = handshake.write_message(b"", message)
            sock.sendall(struct.pack(">H", len(message)) + bytes(message))
        else:
            (length,) = struct.unpack(">H", read_exact(sock, 2))
            if length < 1 or length > 256:
                return 4
            payload = bytearray()
            result = handshake.read_message(read_exact(sock, length), payload)
            if payload:
                return 4
    first, second = result
    sending = Direction(first if initiator else second)
    receiving = Direction(second if initiator else first)

    handshake_hash = handshake.symmetricstate.get_handshake_hash()
    send_record(sock, sending, b"PEER" + handshake_hash + handshake.rs.data)
    while True:
        try:
            plaintext = receive_record(sock, receiving)
        except StreamEnded as ended:
            if ended.partial:
                return 3
            break
        send_record(sock, sending, plaintext)
    sock.shutdown(socket.SHUT_WR)
    sys.stderr.write("noise_peer: %d records in, rekeys in %d out %d\n"
                     % (receiving.total, receiving.rekeys, sending.rekeys))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as error:  # every other failure shows as status 4
        sys.stderr.write("noise_peer: %r\n" % (error,))
        sys.exit(4)
