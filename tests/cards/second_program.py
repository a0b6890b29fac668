#!/usr/bin/python3
"""Another program with the card open in shared mode, as a browser's own PKCS#11 module or a
mail client keeps it, so that pcscd never powers the card down between requests.

  second_program.py hold DIR     connects, writes DIR/holding, and waits for DIR/go; then tries
                                 the PIN-protected signature key (PIV slot 9A) without any PIN
                                 and writes the card's status word (hex) to DIR/answer

9000 in DIR/answer means a login left behind let it sign.
"""
import ctypes
import os
import sys
import time

lib = ctypes.CDLL("libpcsclite.so.1")
SCARD_SHARE_SHARED, SCARD_PROTOCOL_ANY, SCARD_LEAVE_CARD, SCARD_RESET_CARD = 2, 3, 0, 1
SCARD_W_RESET_CARD = 0x80100068


class IoRequest(ctypes.Structure):
    _fields_ = [("protocol", ctypes.c_ulong), ("length", ctypes.c_ulong)]


def check(rv, what):
    if rv != 0:
        sys.exit("%s failed: 0x%08X" % (what, rv & 0xFFFFFFFF))


def main(folder):
    ctx = ctypes.c_long()
    check(lib.SCardEstablishContext(2, None, None, ctypes.byref(ctx)), "SCardEstablishContext")
    size = ctypes.c_ulong(4096)
    readers = ctypes.create_string_buffer(4096)
    check(lib.SCardListReaders(ctx, None, readers, ctypes.byref(size)), "SCardListReaders")
    card, protocol = ctypes.c_long(), ctypes.c_ulong()
    check(lib.SCardConnect(ctx, readers.value, SCARD_SHARE_SHARED, SCARD_PROTOCOL_ANY,
                           ctypes.byref(card), ctypes.byref(protocol)), "SCardConnect")
    pci = IoRequest(protocol.value, ctypes.sizeof(IoRequest))

    def transmit(apdu):
        answer = ctypes.create_string_buffer(258)
        length = ctypes.c_ulong(258)
        rv = lib.SCardTransmit(card, ctypes.byref(pci), apdu, len(apdu), None, answer, ctypes.byref(length))
        if rv & 0xFFFFFFFF == SCARD_W_RESET_CARD:
            # Someone reset the card: a program reconnects and goes on, as this one does.
            check(lib.SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_ANY, SCARD_LEAVE_CARD,
                                     ctypes.byref(protocol)), "SCardReconnect")
            return transmit(apdu)
        check(rv, "SCardTransmit")
        return answer.raw[:length.value]

    open(os.path.join(folder, "holding"), "w").close()
    while not os.path.exists(os.path.join(folder, "go")):
        time.sleep(0.05)
    transmit(bytes.fromhex("00A4040009A00000030800001000"))
    # GENERAL AUTHENTICATE with 9A, RSA 2048, over a block as PKCS#1 pads it.
    block = b"\x00\x01" + b"\xFF" * 221 + b"\x00" + b"\x11" * 32
    body = bytes.fromhex("7C820106820081820100") + block
    transmit(b"\x10\x87\x07\x9A" + bytes([255]) + body[:255])
    answer = transmit(b"\x00\x87\x07\x9A" + bytes([len(body) - 255]) + body[255:] + b"\x00")
    with open(os.path.join(folder, "answer"), "w") as f:
        f.write(answer[-2:].hex().upper())
    lib.SCardDisconnect(card, SCARD_LEAVE_CARD)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "hold":
        sys.exit(__doc__)
    main(sys.argv[2])
