#!/usr/bin/env python3
"""Records what real libiscsi initiators send to the target, as seeds for fuzz_pdu.

    fuzz/record-seeds.py build/norvaled fuzz/corpus/pdu

Serves a scratch mock image with the given host binary, puts a recording relay in front of
it, and runs iscsi-inq, iscsi-readcapacity16 and a qemu-io write and read through the relay:
each initiator connection becomes one seed file (the initiator-to-target bytes only). Every
process started here is stopped by its PID; traffic stays on 127.0.0.1.
"""
import os, shutil, signal, socket, subprocess, sys, tempfile, threading, time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    host, out_dir = sys.argv[1], sys.argv[2]
    scratch = tempfile.mkdtemp()
    target_port, relay_port = free_port(), free_port()
    server = subprocess.Popen([host, "serve", "--image", os.path.join(scratch, "seed.img"),
                               "--size", "64M", "--port", str(target_port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", relay_port))
    listener.listen(4)
    sessions = []

    def pump(src, dst, record):
        while True:
            data = src.recv(65536)
            if not data:
                break
            if record is not None:
                record.append(data)
            dst.sendall(data)
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def accept_loop():
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", target_port))
            record = []
            sessions.append(record)
            threading.Thread(target=pump, args=(client, upstream, record), daemon=True).start()
            threading.Thread(target=pump, args=(upstream, client, None), daemon=True).start()

    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", target_port)).close()
                break
            except OSError:
                time.sleep(0.1)
        threading.Thread(target=accept_loop, daemon=True).start()
        iqn = "iqn.2026-08.com.velmorak:norvaled"
        url = f"iscsi://127.0.0.1:{relay_port}/{iqn}/0"
        for cmd in (["iscsi-inq", url], ["iscsi-readcapacity16", url],
                    ["qemu-io", "-f", "raw", "-c", "write -P 0x5a 4096 69632",
                     "-c", "read -P 0x5a 4096 69632", "-c", "flush", url]):
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60, check=True)
        time.sleep(0.5)
    finally:
        listener.close()
        server.send_signal(signal.SIGINT)
        server.wait(timeout=60)
        shutil.rmtree(scratch, ignore_errors=True)
    for i, record in enumerate(sessions):
        with open(os.path.join(out_dir, f"session-{i}.bin"), "wb") as f:
            f.write(b"".join(record))
    # The login requests alone seed fuzz_keys.
    keys_dir = os.path.join(os.path.dirname(out_dir.rstrip("/")), "keys")
    stream, at, n = b"".join(sessions[0]), 0, 0
    while at + 48 <= len(stream) and stream[at] & 0x3F == 0x03:
        length = int.from_bytes(stream[at + 5:at + 8], "big")
        with open(os.path.join(keys_dir, f"login-{n}.bin"), "wb") as f:
            f.write(stream[at:at + 48 + length])
        at += 48 + ((length + 3) & ~3)
        n += 1
    print(f"{len(sessions)} sessions and {n} login requests recorded")


if __name__ == "__main__":
    main()
