#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Each seed is a small, meaningful input in the target's input format (see the
comment at the top of each <target>_fuzz.cpp): whole and split replies for the
frame assembly, good and bad handshake replies, small image files, and one
registry per layout of the port list. Run it again after changing an input
format; it replaces the files it writes and leaves other files alone.
"""
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def frame(*body):
    """A station frame: 0x5A, the length, the body, the 16-bit checksum."""
    f = [0x5A, len(body) + 4, *body]
    total = (0x10000 - (sum(f) & 0xFFFF)) & 0xFFFF
    return bytes(f + [total >> 8, total & 0xFF])


ACK = frame(0x00, 0x00, 0xE5)
ACCEPTED = frame(0x00, 0x00, 0xA2, 0x0C)
REFUSED = frame(0x00, 0x00, 0xA2, 0x0B)


def write(target, name, data):
    path = HERE / "corpus" / target / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


# ---- frame assembly ----
# Head: step (1..5) - 1 in the low bits, retries used in bits 4-5; two bytes
# choosing the first data block of step 2. Chunks: control byte (count in the
# low 6 bits, 0x40: a gap byte follows, 0x80: a cut byte follows), then bytes.

def head(step, retries=0, block=0):
    return bytes([(step - 1) | (retries << 4), block >> 8, block & 0xFF])


def chunk(data, gap_ms=None, cut=None):
    assert len(data) < 64
    control = len(data) | (0x40 if gap_ms is not None else 0) | (0x80 if cut is not None else 0)
    out = bytes([control])
    if gap_ms is not None:
        assert gap_ms < 128, "longer gaps are chosen from the target's table"
        out += bytes([gap_ms])
    if cut is not None:
        out += bytes([cut])
    return out + data


GAP_150 = 0x81  # table entry 1: 150 ms
GAP_1000 = 0x84  # table entry 4: 1000 ms
GAP_10001 = 0x88  # table entry 8: 10001 ms


def long_gap(entry):
    return bytes([0x40, entry])


def data_blocks():
    """How many 16-byte blocks of the embedded image hold data."""
    image = bytearray(b"\xff" * 0x10000)
    for line in (ROOT / "resources" / "firmware.hex").read_text().split():
        count, address = int(line[1:3], 16), int(line[3:7], 16)
        for j in range(count):
            if address + j <= 0xFFFF:
                image[address + j] = int(line[9 + 2 * j:11 + 2 * j], 16)
    return sum(1 for a in range(0, 0x10000, 16) if image[a:a + 16] != b"\xff" * 16)


def frame_assembly():
    t = "frame_assembly"
    write(t, "erase_acknowledged", head(1) + chunk(ACK))
    write(t, "records_acknowledged_in_pieces",
          head(2, block=5) + chunk(ACK[:2]) + chunk(ACK[2:5], gap_ms=60) + chunk(ACK[5:], gap_ms=80)
          + chunk(ACK[:1], gap_ms=2) + chunk(ACK[1:], gap_ms=100))
    write(t, "piece_after_assembly_timer",
          head(2) + chunk(ACK[:3]) + long_gap(GAP_150) + chunk(ACK[3:]) + long_gap(GAP_1000) + chunk(ACK, gap_ms=2))
    write(t, "noise_and_non_lengths_first",
          head(4) + chunk(bytes([0x00, 0x13, 0xFF, 0x5A, 0x00, 0x05, 0x80, 0xFF]) + ACK[1:]))
    write(t, "closing_commands_to_done", head(3) + chunk(ACK) + chunk(ACK, gap_ms=2) + chunk(ACK, gap_ms=2))
    write(t, "status_and_bad_checksum_replies",
          head(2, retries=1) + chunk(ACCEPTED) + chunk(ACK[:-1] + bytes([ACK[-1] ^ 1]), gap_ms=2))
    write(t, "refused_erase", head(1) + chunk(REFUSED))
    write(t, "timeouts_until_failure", head(2) + long_gap(GAP_1000) * 5)
    write(t, "erase_timeout", head(1) + long_gap(GAP_10001))
    write(t, "reply_behind_300_bytes_read_in_parts",
          head(5) + chunk(bytes(63), cut=10) * 4 + chunk(bytes(48)) + chunk(ACK, cut=3) + chunk(b""))
    write(t, "last_data_block_then_closing", head(2, block=data_blocks() - 1) + chunk(ACK) + chunk(ACK, gap_ms=2))


# ---- station reply ----
# Byte 0: the count read (signed); ten reply bytes; an optional payload.

def station_reply():
    t = "station_reply"

    def reply(count, data, payload=b""):
        body = data[:10] + bytes(max(0, 10 - len(data)))
        return bytes([count & 0xFF]) + body + payload

    write(t, "upgrade_accepted", reply(8, ACCEPTED))
    write(t, "upgrade_refused", reply(8, REFUSED))
    write(t, "acknowledgement_in_a_full_read", reply(10, ACK + b"\x01\x02\x03"))
    write(t, "short_read", reply(5, ACCEPTED))
    write(t, "closed_port", reply(-1, ACCEPTED))
    write(t, "bad_checksum", reply(8, ACCEPTED[:-1] + b"\x00"))
    write(t, "length_beyond_read", reply(10, bytes([0x5A, 0x0B]) + ACCEPTED[2:]))
    write(t, "ten_byte_frame_and_payload", reply(10, frame(0x00, 0xF3, 0x30, 0x30, 0x30, 0x30), b"0000"))


# ---- Intel HEX file ----

def record(address, rtype, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    return ":" + (body + bytes([(0x100 - sum(body) % 0x100) % 0x100])).hex().upper()


END = ":00000001FF"


def intel_hex():
    t = "intel_hex"
    firmware = (ROOT / "resources" / "firmware.hex").read_text().splitlines()
    head_lines = firmware[:6]
    write(t, "image_start", ("\n".join(head_lines + [END]) + "\n").encode())
    write(t, "image_start_lowercase_crlf", ("\r\n".join(l.lower() for l in head_lines[:3]) + "\r\n\r\n" + END + "\r\n").encode())
    write(t, "end_record_only", (END + "\n").encode())
    write(t, "top_of_address_space",
          (record(0xFF00, 0, range(256)[:255]) + "\n" + record(0xFFFF, 0, [1]) + "\n" + END).encode())
    write(t, "past_64k", (record(0xFFFF, 0, [1, 2]) + "\n" + END + "\n").encode())
    write(t, "overlap", (record(0x0100, 0, [1, 2, 3, 4]) + "\n" + record(0x0103, 0, [5]) + "\n" + END).encode())
    write(t, "missing_end", (record(0, 0, [0xAA]) + "\n").encode())
    write(t, "data_after_end", (END + "\n" + record(0, 0, [0xAA]) + "\n").encode())
    write(t, "unsupported_type", (record(0, 2, [0x10, 0x00]) + "\n" + END).encode())
    write(t, "toolchain_address_and_start_records",
          ("\ufeff" + record(0, 4, [0, 0]) + " \r\n" + record(0, 2, [0, 0]) + "\r\n" + "\r\n".join(head_lines[:2])
           + "\t\r\n" + record(0, 5, [0, 0, 0x20, 0xBB]) + "\r\n" + END + "  \r\n").encode())
    write(t, "extended_linear_address_1", (record(0, 4, [0, 1]) + "\n" + record(0, 0, [0xAA]) + "\n" + END).encode())
    write(t, "bad_checksum", (":0100000011EF\n" + END).encode())
    write(t, "leading_blank", (" :0100000011EE\n" + END).encode())


# ---- registry walk ----
# Byte 0: platform id (bits 0-1), failing version query (bit 2); byte 1: the
# major version. Then operations; the encoders below follow the target's
# reader byte for byte.

KEY_WORDS = ["Config Manager", "Enum", "0001", "ROOT", "PORTS", "0000", "ACPI", "PNP0501",
             "0", "Device Parameters", "", "a\\b", "SERIALCOMM", "SYSTEM"]
VALUE_WORDS = ["HardWareKey", "hardwarekey", "Class", "CLASS", "PORTNAME", "PortName",
               "portname", "Service", "SERIAL0", "Serial1", "SERIAL2", "", "Status"]
TEXT_WORDS = ["Ports", "PORTS", "ports", "Modem", "COM1", "COM4", "MODEM", "OPORT", "LPT1",
              "Serial", "SER2PL", "serial", "Ser2pl", "ROOT\\PORTS\\0000", "", "C"]
LONG = [510, 511, 512, 513, 1022, 1023, 1024, 1025, 2048]


def word(words, w):
    return bytes([0, words.index(w)])


def raw(text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    assert len(data) < 256
    return bytes([1, len(data)]) + data


def long_text(length, fill):
    return bytes([2, LONG.index(length), fill])


# Data modes: the mode byte modulo 3 picks text, input bytes or a long run;
# its top bit appends a zero.
def data_text(text_bytes, zero=True):
    """Data given as a text, with or without a terminating zero."""
    return bytes([0x81 if zero else 0x00]) + text_bytes


def data_long(length, fill, zero=False):
    return bytes([0x80 if zero else 0x02, LONG.index(length), fill])


REG_SZ = 1


def win9x_device(device_id, hardware_key, device_class, port_name_data):
    # op 5; device name; hardware key; "HardWareKey" flag; Class text; "PORTNAME" flag; data; type
    return bytes([5]) + device_id + hardware_key + b"\x01" + device_class + b"\x01" + port_name_data + bytes([REG_SZ])


def nt_instance(enumerator, device, instance, service, port_name_data):
    # op 6; three names; Service text; "PortName" flag; data; type
    return bytes([6]) + enumerator + device + instance + service + b"\x01" + port_name_data + bytes([REG_SZ])


def serial_comm(n, data):
    return bytes([7, n]) + data + bytes([REG_SZ])


def fail_enum_at(key_index, index, failure):
    return bytes([3, key_index, index, failure])


def registry_walk():
    t = "registry_walk"
    write(t, "win9x_ports", bytes([1, 4])
          + win9x_device(raw("0001"), word(TEXT_WORDS, "ROOT\\PORTS\\0000"), word(TEXT_WORDS, "Ports"),
                         data_text(raw("COM4")))
          + win9x_device(raw("0002"), raw("ROOT\\PRINTER\\0000"), word(TEXT_WORDS, "PORTS"), data_text(raw("LPT1")))
          + win9x_device(raw("0003"), raw("ROOT\\MODEM\\0000"), word(TEXT_WORDS, "ports"),
                         data_long(512, ord("M"))))
    write(t, "nt4_serialcomm", bytes([2, 4])
          + serial_comm(0, data_text(raw("COM1")))
          + serial_comm(1, data_text(raw("COM2"), zero=False))
          + serial_comm(3, data_long(513, ord("X")))
          + bytes([7, 0x80]) + long_text(512, ord("S")) + data_text(raw("COM9")) + bytes([REG_SZ]))
    write(t, "nt5_device_tree", bytes([2, 10])
          + nt_instance(word(KEY_WORDS, "ACPI"), word(KEY_WORDS, "PNP0501"), word(KEY_WORDS, "0"),
                        word(TEXT_WORDS, "Serial"), data_text(raw("COM1")))
          + nt_instance(raw("USB"), raw("VID_0403"), long_text(1023, ord("I")),
                        word(TEXT_WORDS, "SER2PL"), data_text(raw("COM5"), zero=False))
          + nt_instance(raw("PCI"), raw("DEV"), raw("1"), raw("parport"), data_text(raw("LPT1")))
          + fail_enum_at(3, 2, 0))
    write(t, "failed_version_query", bytes([6, 5])
          + nt_instance(raw("ACPI"), raw("PNP0501"), raw("0"), word(TEXT_WORDS, "Serial"), data_text(raw("COM1"))))


# ---- Telnet stream ----
# Byte 0 picks the cut into two feeds; the rest is what a server sends.

IAC, SE, SB, WILL, WONT, DO, DONT, NOP = 255, 240, 250, 251, 252, 253, 254, 241


def com_port(command, *value):
    body = bytes(value).replace(bytes([IAC]), bytes([IAC, IAC]))
    return bytes([IAC, SB, 44, command]) + body + bytes([IAC, SE])


def telnet_stream():
    t = "telnet_stream"
    write(t, "ser2net_greeting", bytes([9, IAC, DO, 44, IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3])
          + com_port(111, 0xF0) + com_port(107, 0xB0))
    write(t, "acks_and_data", bytes([20]) + com_port(101, 0, 0, 0x4B, 0) + com_port(102, 8)
          + frame(0x00, 0x00, 0xE5) + bytes([IAC, IAC, 0x01, IAC, NOP]))
    write(t, "iac_in_payload", bytes([7]) + com_port(105, IAC) + bytes([0x41]))
    write(t, "overlong", bytes([30, IAC, SB, 44]) + bytes([0x55]) * 80 + bytes([IAC, SE, 0x42]))
    write(t, "abandoned", bytes([5, IAC, SB, 44, 107, IAC, DONT, 44, 0x10]))
    write(t, "endless", bytes([3, IAC, SB, 44]) + bytes(range(256)) * 2)


if __name__ == "__main__":
    frame_assembly()
    station_reply()
    intel_hex()
    registry_walk()
    telnet_stream()
