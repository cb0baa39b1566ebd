#!/usr/bin/env python3
"""Loopback peers that never answer, for the connect failure paths.

  silent_peer.py mute PORT SECONDS   accepts every connection and never sends a byte: the TCP
                                     connect succeeds, the SSH handshake gets no answer
  silent_peer.py full PORT SECONDS   never accepts, with its backlog already filled: Linux
                                     drops further SYNs, so a TCP connect never completes
Prints "ready" once the port is in that state; ends by itself after SECONDS.
"""
import socket
import sys
import time


def main():
    mode, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    end = time.time() + seconds
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    held = []
    if mode == "full":
        listener.listen(0)
        for _ in range(4):  # more than the accept queue holds
            c = socket.socket()
            c.setblocking(False)
            try:
                c.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass
            held.append(c)
        time.sleep(0.2)
    else:
        listener.listen(8)
        listener.settimeout(0.5)
    print("ready", flush=True)
    while time.time() < end:
        if mode == "full":
            time.sleep(0.5)
            continue
        try:
            held.append(listener.accept()[0])
        except OSError:
            pass


if __name__ == "__main__":
    main()
