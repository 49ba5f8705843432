"""A TCP relay between the client and a sync server that passes requests on
as they are and spoils the replies to one command: cuts the reply off
halfway and closes the connection, gives it another command's code,
announces a length no reply may have, sends it under another protocol
version, or holds it back for good.

    relay = WireRelay(server_port, "cut", command=301)   # 301: ListFolder
    ... the client connects to relay.port ...
    relay.close()
"""
import socket
import struct
import threading
import zlib

REPLY_HEADER = 28
TOTAL_OFFSET = 8
CHECKSUM_OFFSET = 12
CHECKSUM_START = 16
COMMAND_OFFSET = 20
VERSION_OFFSET = 4
MODES = ("cut", "wrong-command", "absurd-length", "version", "hold")


def packet_checksum(data):
    """CRC-32 of the wire: reflected polynomial, register from 0, no final inversion."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def seal(packet):
    packet[CHECKSUM_OFFSET:CHECKSUM_OFFSET + 4] = struct.pack("<I", packet_checksum(bytes(packet[CHECKSUM_START:])))


class WireRelay:
    def __init__(self, server_port, mode, command=None):
        """command None spoils every reply."""
        if mode not in MODES:
            raise ValueError("unknown mode %s" % mode)
        self.server_port = server_port
        self.mode = mode
        self.command = command
        self.spoiled = 0
        self._lock = threading.Lock()
        self._sockets = []
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        with self._lock:
            sockets, self._sockets = self._sockets, []
        for sock in sockets + [self._listener]:
            try:
                sock.close()
            except OSError:
                pass

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.server_port))
            except OSError:
                client.close()
                continue
            with self._lock:
                self._sockets += [client, server]
            threading.Thread(target=self._pass_requests, args=(client, server), daemon=True).start()
            threading.Thread(target=self._pass_replies, args=(server, client), daemon=True).start()

    @staticmethod
    def _close_both(a, b):
        for sock in (a, b):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _pass_requests(self, client, server):
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                server.sendall(data)
        except OSError:
            pass
        self._close_both(client, server)

    def _pass_replies(self, server, client):
        buffer = bytearray()
        try:
            while True:
                data = server.recv(65536)
                if not data:
                    break
                buffer += data
                while len(buffer) >= REPLY_HEADER:
                    total = struct.unpack_from("<I", buffer, TOTAL_OFFSET)[0]
                    if len(buffer) < total:
                        break
                    packet, buffer = buffer[:total], buffer[total:]
                    if not self._forward(packet, client):
                        self._close_both(client, server)
                        return
        except OSError:
            pass
        self._close_both(client, server)

    def _forward(self, packet, client):
        """Sends the reply on, spoilt when it is one to spoil; false when the
        connection is to end."""
        command = struct.unpack_from("<H", packet, COMMAND_OFFSET)[0]
        if self.command is not None and command != self.command:
            client.sendall(packet)
            return True
        with self._lock:
            self.spoiled += 1
        if self.mode == "cut":
            client.sendall(packet[:len(packet) // 2])
            return False
        if self.mode == "hold":
            return True
        if self.mode == "wrong-command":
            struct.pack_into("<H", packet, COMMAND_OFFSET, 308 if command != 308 else 301)
            seal(packet)
        elif self.mode == "absurd-length":
            struct.pack_into("<I", packet, TOTAL_OFFSET, 0x7FFFFFF0)
        elif self.mode == "version":
            packet[VERSION_OFFSET:VERSION_OFFSET + 2] = b"\x01\x01"
        client.sendall(packet)
        return True
