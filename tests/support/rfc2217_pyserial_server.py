#!/usr/bin/env python3
"""An RFC 2217 server in front of one serial device, built on pyserial, for
the tests: a second, independent server beside ser2net.

    rfc2217_pyserial_server.py DEVICE [PORT]

Listens on 127.0.0.1:PORT (0 or absent: a free one) and prints the port
number as its first line once it accepts connections. One client at a time:
for each, DEVICE is opened, pyserial's PortManager answers the client's
Telnet and COM-PORT-OPTION commands on it, and data is carried both ways
until the client leaves; then the device is closed again.

The device is opened with DTR and RTS low, so that the lines the far end
sees are the ones the client asked for. Run it with the modem-line shim
preloaded (LD_PRELOAD) when DEVICE is a pseudo-terminal.
"""
import socket
import sys
import threading

import serial
import serial.rfc2217


class Connection:
    """What PortManager writes to: the client's socket, one writer at a time."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def serve(client, device):
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    port = serial.serial_for_url(device, do_not_open=True, timeout=0.02)
    port.dtr = False
    port.rts = False
    port.open()
    connection = Connection(client)
    manager = serial.rfc2217.PortManager(port, connection)
    gone = threading.Event()

    def client_to_device():
        try:
            while True:
                data = client.recv(4096)
                if not data:
                    break
                port.write(b"".join(manager.filter(data)))
        except (OSError, serial.SerialException):
            pass
        gone.set()

    reader = threading.Thread(target=client_to_device, daemon=True)
    reader.start()
    try:
        while not gone.is_set():
            data = port.read(port.in_waiting or 1)
            if data:
                connection.write(b"".join(manager.escape(data)))
            manager.check_modem_lines()
    except (OSError, serial.SerialException):
        pass
    finally:
        try:
            client.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        reader.join()
        client.close()
        port.close()


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: rfc2217_pyserial_server.py DEVICE [PORT]")
    device = sys.argv[1]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) == 3 else 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        serve(client, device)


if __name__ == "__main__":
    main()
