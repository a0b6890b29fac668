#!/usr/bin/python3
"""A PIV card for the cards stage, run behind vsmartcard's virtual reader.

  piv_card.py make DIR            makes the card's keys, certificates and PIN state in DIR
  piv_card.py run DIR PORT        plugs the card into the virtual reader listening on PORT

The card speaks the PIV edge OpenSC drives: SELECT, GET DATA, VERIFY, CHANGE REFERENCE DATA,
RESET RETRY COUNTER, GENERAL AUTHENTICATE, command chaining and GET RESPONSE. Its slots:
  9A  RSA 2048 signature key, PIN
  9C  EC P-256 key, PIN before every signature (what PKCS#11 shows as CKA_ALWAYS_AUTHENTICATE)
  9D  RSA 2048 encryption-only key, PIN
  9E  EC P-384 key the card uses without a PIN
PIN 123456 (3 tries), PUK 12345678 (3 tries). The tries left and the PIN live in DIR/state.json,
so a card pulled out and plugged in again is the same card. Every APDU goes to DIR/apdu.log, one
line each ("INS SW"), and NPC_CARD_APDU_DELAY_MS holds each answer back that long, as a real
reader takes.
"""
import datetime
import json
import os
import socket
import struct
import sys
import time

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa, utils
from cryptography.x509.oid import NameOID

PIV_AID = bytes.fromhex("A000000308000010000100")
PIN_REF, PUK_REF = 0x80, 0x81
SLOTS = {
    # slot: (file name, algorithm id, certificate object, key usage, common name)
    0x9A: ("sig", 0x07, 0x5FC105, "signature", "NPC Card RSA Signature"),
    0x9C: ("always", 0x11, 0x5FC10A, "non_repudiation", "NPC Card EC Always PIN"),
    0x9D: ("enc", 0x07, 0x5FC10B, "encipherment", "NPC Card RSA Encryption"),
    0x9E: ("nopin", 0x14, 0x5FC101, "signature", "NPC Card EC No PIN"),
}
ATR_HISTORY = b"npc-piv-01"


def atr():
    # T=1 offered in TD1, so the check byte closes it.
    body = bytes([0x80 | len(ATR_HISTORY), 0x80, 0x01]) + ATR_HISTORY
    tck = 0
    for b in body:
        tck ^= b
    return bytes([0x3B]) + body + bytes([tck])


def tlv(tag, value):
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = bytes([0x81, n])
    else:
        length = bytes([0x82, n >> 8, n & 0xFF])
    return (tag.to_bytes(2, "big") if tag > 0xFF else bytes([tag])) + length + value


def parse_tlv(data):
    """Yields (tag, value) of a flat BER-TLV list with one- or two-byte tags."""
    i = 0
    while i < len(data):
        tag = data[i]
        i += 1
        if tag & 0x1F == 0x1F:
            tag = (tag << 8) | data[i]
            i += 1
        n = data[i]
        i += 1
        if n & 0x80:
            count = n & 0x7F
            n = int.from_bytes(data[i:i + count], "big")
            i += count
        yield tag, data[i:i + n]
        i += n


def make(folder):
    os.makedirs(folder, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    for slot, (name, alg, _, usage, cn) in SLOTS.items():
        if alg == 0x07:
            key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        else:
            key = ec.generate_private_key(ec.SECP256R1() if alg == 0x11 else ec.SECP384R1())
        subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "npcorvane tests"),
                             x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        usages = dict(digital_signature=False, content_commitment=False, key_encipherment=False,
                      data_encipherment=False, key_agreement=False, key_cert_sign=False,
                      crl_sign=False, encipher_only=False, decipher_only=False)
        usages[{"signature": "digital_signature", "non_repudiation": "content_commitment",
                "encipherment": "key_encipherment"}[usage]] = True
        cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(now - datetime.timedelta(days=1))
                .not_valid_after(now + datetime.timedelta(days=30))
                .add_extension(x509.KeyUsage(**usages), critical=True)
                .sign(key, hashes.SHA256()))
        with open(os.path.join(folder, name + ".key.pem"), "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        with open(os.path.join(folder, name + ".crt.der"), "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.DER))
    save_state(folder, {"pin": "123456", "puk": "12345678", "pin_tries": 3, "puk_tries": 3})


def save_state(folder, state):
    path = os.path.join(folder, "state.json")
    with open(path + ".new", "w") as f:
        json.dump(state, f)
    os.replace(path + ".new", path)


class SwError(Exception):
    def __init__(self, sw):
        super().__init__(hex(sw))
        self.sw = sw


class PivCard:
    """The card's operating system: one APDU in, one answer (data and status word) out."""

    def __init__(self, folder):
        self.folder = folder
        with open(os.path.join(folder, "state.json")) as f:
            self.state = json.load(f)
        self.keys, self.objects = {}, {}
        for slot, (name, _, obj, _, _) in SLOTS.items():
            with open(os.path.join(folder, name + ".key.pem"), "rb") as f:
                self.keys[slot] = serialization.load_pem_private_key(f.read(), None)
            with open(os.path.join(folder, name + ".crt.der"), "rb") as f:
                self.objects[obj] = tlv(0x53, tlv(0x70, f.read()) + tlv(0x71, b"\x00") + tlv(0xFE, b""))
        guid = bytes.fromhex(self.state.setdefault("guid", os.urandom(16).hex()))
        fascn = bytes.fromhex("D4E739DA739CED39CE739D836858210842108421C84210C3EB")
        self.objects[0x5FC102] = tlv(0x53, tlv(0x30, fascn) + tlv(0x34, guid) +
                                     tlv(0x35, b"20301231") + tlv(0x3E, b"") + tlv(0xFE, b""))
        self.objects[0x7E] = tlv(0x7E, tlv(0x4F, PIV_AID) + tlv(0x5F2F, b"\x40\x00"))
        self.log = open(os.path.join(folder, "apdu.log"), "a", buffering=1)
        self.delay = int(os.environ.get("NPC_CARD_APDU_DELAY_MS", "0")) / 1000
        self.reset()

    def reset(self):
        self.verified = False
        self.verified_for_next = False  # a 9C signature needs a VERIFY right before it
        self.chain = b""
        self.pending = b""

    def tries_sw(self, tries):
        return 0x6983 if tries == 0 else 0x63C0 | tries

    def execute(self, apdu):
        if self.delay:
            time.sleep(self.delay)
        try:
            data, sw = self.dispatch(apdu)
        except SwError as e:
            data, sw = b"", e.sw
        except Exception as e:  # a fault of the card shows as one, not as a dead reader
            print("card fault:", repr(e), file=sys.stderr)
            data, sw = b"", 0x6F00
        if len(data) > 256:
            self.pending = data[256:]
            left = len(self.pending)
            data, sw = data[:256], 0x6100 | (left if left < 256 else 0)
        self.log.write("%02X %04X\n" % (apdu[1] if len(apdu) > 1 else 0, sw))
        return data + struct.pack(">H", sw)

    def dispatch(self, apdu):
        if len(apdu) < 4:
            raise SwError(0x6700)
        cla, ins, p1, p2 = apdu[:4]
        data = b""
        if len(apdu) > 5:
            data = apdu[5:5 + apdu[4]]
        if ins == 0xC0:
            out, self.pending = self.pending, b""
            return out, 0x9000
        self.pending = b""
        if cla & 0x10:
            self.chain += data
            return b"", 0x9000
        data, self.chain = self.chain + data, b""
        if ins != 0x87 and not (ins == 0x20 and not data):
            self.verified_for_next = self.verified_for_next and ins == 0xCB
        handler = {0xA4: self.select, 0xCB: self.get_data, 0x20: self.verify,
                   0x24: self.change_reference, 0x2C: self.reset_retry_counter,
                   0x87: self.general_authenticate}.get(ins)
        if handler is None:
            raise SwError(0x6D00)
        return handler(p1, p2, data)

    def select(self, p1, p2, data):
        if p1 != 0x04 or not PIV_AID.startswith(data[:len(PIV_AID)]) or len(data) < 5:
            raise SwError(0x6A82)
        algorithms = b"".join(tlv(0x80, bytes([a])) for a in (0x07, 0x11, 0x14)) + tlv(0x06, b"\x00")
        return tlv(0x61, tlv(0x4F, PIV_AID[5:]) + tlv(0x79, tlv(0x4F, PIV_AID[:5])) +
                   tlv(0x50, b"npc virtual PIV") + tlv(0xAC, algorithms)), 0x9000

    def get_data(self, p1, p2, data):
        fields = dict(parse_tlv(data))
        name = int.from_bytes(fields.get(0x5C, b""), "big")
        if name not in self.objects:
            raise SwError(0x6A82)
        return self.objects[name], 0x9000

    def verify(self, p1, p2, data):
        if p2 != PIN_REF:
            raise SwError(0x6A88)
        if p1 == 0xFF:
            self.verified = self.verified_for_next = False
            return b"", 0x9000
        tries = self.state["pin_tries"]
        if not data:
            if self.verified:
                return b"", 0x9000
            raise SwError(self.tries_sw(tries))
        if tries == 0:
            raise SwError(0x6983)
        if data != self.padded(self.state["pin"]):
            self.verified = self.verified_for_next = False
            self.state["pin_tries"] = tries - 1
            save_state(self.folder, self.state)
            raise SwError(self.tries_sw(tries - 1))
        self.state["pin_tries"] = 3
        save_state(self.folder, self.state)
        self.verified = self.verified_for_next = True
        return b"", 0x9000

    @staticmethod
    def padded(pin):
        return pin.encode().ljust(8, b"\xFF")

    def change_reference(self, p1, p2, data):
        ref, key = (PIN_REF, "pin") if p2 == PIN_REF else (PUK_REF, "puk")
        if p2 not in (PIN_REF, PUK_REF) or len(data) != 16:
            raise SwError(0x6A80)
        tries = self.state[key + "_tries"]
        if tries == 0:
            raise SwError(0x6983)
        if data[:8] != self.padded(self.state[key]):
            self.state[key + "_tries"] = tries - 1
            save_state(self.folder, self.state)
            raise SwError(self.tries_sw(tries - 1))
        self.state[key] = data[8:].rstrip(b"\xFF").decode()
        self.state[key + "_tries"] = 3
        save_state(self.folder, self.state)
        return b"", 0x9000

    def reset_retry_counter(self, p1, p2, data):
        if p2 != PIN_REF or len(data) != 16:
            raise SwError(0x6A80)
        tries = self.state["puk_tries"]
        if tries == 0:
            raise SwError(0x6983)
        if data[:8] != self.padded(self.state["puk"]):
            self.state["puk_tries"] = tries - 1
            save_state(self.folder, self.state)
            raise SwError(self.tries_sw(tries - 1))
        self.state.update(pin=data[8:].rstrip(b"\xFF").decode(), pin_tries=3, puk_tries=3)
        save_state(self.folder, self.state)
        return b"", 0x9000

    def general_authenticate(self, p1, p2, data):
        if p2 not in self.keys:
            raise SwError(0x6A86)
        if p1 != SLOTS[p2][1]:
            raise SwError(0x6A80)
        if p2 == 0x9C and not self.verified_for_next:
            raise SwError(0x6982)
        if p2 in (0x9A, 0x9D) and not self.verified:
            raise SwError(0x6982)
        self.verified_for_next = False
        template = dict(parse_tlv(data)).get(0x7C)
        if template is None:
            raise SwError(0x6A80)
        fields = dict(parse_tlv(template))
        challenge = fields.get(0x81)
        if challenge is None:
            raise SwError(0x6A80)
        key = self.keys[p2]
        if isinstance(key, rsa.RSAPrivateKey):
            numbers = key.private_numbers()
            n = numbers.public_numbers.n
            value = int.from_bytes(challenge, "big")
            if len(challenge) != 256 or value >= n:
                raise SwError(0x6A80)
            result = pow(value, numbers.d, n).to_bytes(256, "big")
        else:
            hash_of = {20: hashes.SHA1(), 28: hashes.SHA224(), 32: hashes.SHA256(),
                       48: hashes.SHA384(), 64: hashes.SHA512()}
            if len(challenge) not in hash_of:
                raise SwError(0x6A80)
            result = key.sign(challenge, ec.ECDSA(utils.Prehashed(hash_of[len(challenge)])))
        return tlv(0x7C, tlv(0x82, result)), 0x9000


def run(folder, port):
    # Importing the package's emulator needs its Crypto import to find Debian's pycryptodome.
    import Cryptodome
    sys.modules.setdefault("Crypto", Cryptodome)
    sys.path.append("/usr/lib/python3/site-packages/virtualsmartcard")
    import logging
    from virtualsmartcard.VirtualSmartcard import VirtualICC

    card = PivCard(folder)

    class Os:
        getATR = staticmethod(atr)
        powerUp = powerDown = reset = staticmethod(card.reset)
        execute = staticmethod(card.execute)

    class QuickAckSocket:
        """vpcd writes a length and its body in two writes; without quick ACKs each APDU would
        wait for the delayed ACK (some 40 ms)."""

        def __init__(self, sock):
            self.sock = sock
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def recv(self, size):
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            out = b""
            while len(out) < size:
                part = self.sock.recv(size - len(out))
                if not part:
                    break
                out += part
            return out

        def __getattr__(self, name):
            return getattr(self.sock, name)

    # The emulator's own constructor builds one of its built-in cards; this one brings its own.
    icc = VirtualICC.__new__(VirtualICC)
    logging.basicConfig(level=logging.WARNING)
    icc.os, icc.type, icc.host, icc.port = Os, "piv", "127.0.0.1", port
    icc.server_sock = None
    for _ in range(100):
        try:
            icc.sock = QuickAckSocket(VirtualICC.connectToPort("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.1)
    else:
        sys.exit("the virtual reader does not listen on port %d" % port)
    try:
        icc.run()
    except SystemExit:
        pass


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "make":
        make(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "run":
        run(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(__doc__)
