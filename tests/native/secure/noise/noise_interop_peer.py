"""The far end of the Noise interop test: Noise_XX_25519_ChaChaPoly_BLAKE2s run by
python3-dissononce over the socket on stdin, in the role given as argv[1].

Frames both ways are a 2-byte big-endian length and the bytes. The schedule
(keys, handshake with payloads, hashes, transport rounds with rekeys) mirrors
noise_interop_test.cpp. Exit 0 when every check passed, 77 when dissononce is
missing, 1 otherwise.
"""
import socket
import sys

try:
    from dissononce.cipher.chachapoly import ChaChaPolyCipher
    from dissononce.dh.x25519.x25519 import X25519DH
    from dissononce.hash.blake2s import Blake2sHash
    from dissononce.processing.handshakepatterns.interactive.XX import XXHandshakePattern
    from dissononce.processing.impl.cipherstate import CipherState
    from dissononce.processing.impl.handshakestate import HandshakeState
    from dissononce.processing.impl.symmetricstate import SymmetricState
except ImportError:
    sys.exit(77)

PROLOGUE = b"velmorine-interop"
ROUNDS = 6
# After these rounds, both ends rekey the given direction.
REKEY_INITIATOR_SENDS_AFTER = 2
REKEY_RESPONDER_SENDS_AFTER = 3

sock = socket.socket(fileno=0)


def recv_exact(n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError("peer closed")
        data += chunk
    return data


def recv_frame():
    length = int.from_bytes(recv_exact(2), "big")
    return recv_exact(length)


def send_frame(data):
    sock.sendall(len(data).to_bytes(2, "big") + data)


def framework_rekey(cs):
    # REKEY as the Noise Protocol Framework defines it: the first 32 bytes of the
    # encryption of 32 zeros under nonce 2^64-1, the nonce kept. dissononce's own
    # rekey resets the nonce, so it is not used.
    nonce = cs._nonce
    key = cs._cipher.encrypt(cs._key, 2**64 - 1, b"", b"\x00" * 32)[:32]
    cs.initialize_key(key)
    cs.set_nonce(nonce)


def main():
    initiator = sys.argv[1] == "initiator"
    dh = X25519DH()
    keypair = dh.generate_keypair()
    send_frame(keypair.public.data)
    peer_static = recv_frame()

    hs = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), Blake2sHash()), dh)
    hs.initialize(XXHandshakePattern(), initiator, PROLOGUE, s=keypair)
    result = None
    for index in range(3):
        we_write = (index % 2 == 0) == initiator
        if we_write:
            buffer = bytearray()
            result = hs.write_message(b"hs%d" % index, buffer)
            send_frame(bytes(buffer))
        else:
            payload = bytearray()
            result = hs.read_message(recv_frame(), payload)
            assert bytes(payload) == b"hs%d" % index, payload
    assert result is not None
    assert hs.rs.data == peer_static
    send_frame(hs.symmetricstate.get_handshake_hash())
    assert recv_frame() == hs.symmetricstate.get_handshake_hash()

    # The initiator sends with the first cipher state, the responder with the second.
    send_cs, recv_cs = result if initiator else (result[1], result[0])
    for round_index in range(ROUNDS):
        if initiator:
            send_frame(send_cs.encrypt_with_ad(b"", b"init %d" % round_index))
            reply = recv_cs.decrypt_with_ad(b"", recv_frame())
            assert reply == b"resp %d" % round_index, reply
        else:
            text = recv_cs.decrypt_with_ad(b"", recv_frame())
            assert text == b"init %d" % round_index, text
            send_frame(send_cs.encrypt_with_ad(b"", b"resp %d" % round_index))
        if round_index == REKEY_INITIATOR_SENDS_AFTER:
            framework_rekey(send_cs if initiator else recv_cs)
        if round_index == REKEY_RESPONDER_SENDS_AFTER:
            framework_rekey(recv_cs if initiator else send_cs)
    send_frame(b"done")


try:
    main()
except Exception as error:  # any failure is the test's failure
    print("interop peer failed: %r" % (error,), file=sys.stderr)
    sys.exit(1)
