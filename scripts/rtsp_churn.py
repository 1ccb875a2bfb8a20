#!/usr/bin/python3
"""Reconnect churn against an RTSP server, then a check that it still serves.

While three viewers stay on the stream (a steady ffmpeg over TCP, a raw TCP viewer that stops
reading so the server's queue for it fills, a raw TCP viewer of the video alone), CLIENTS short
clients (default 50) come and go, one every ~0.45 s: requests cut off half-way (OPTIONS,
DESCRIBE), connections closed at once, raw TCP viewers reset after a moment, and ffprobe over TCP
and over UDP killed at random times, most of them after their PLAY. Those PLAYs arrive while the
stalled viewer's queue holds data, which is what a reconnecting relay does to a camera.
No well-formed request may be refused, and afterwards the server must answer OPTIONS within 3 s
and give a new viewer video.

Usage: /usr/bin/python3 rtsp_churn.py URL [CLIENTS [SEED]]
Prints a summary and the first failures; exit 0 when the server passed, 1 when not.
"""
import random
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse


class RtspSession:
    """One RTSP control connection that reads responses as plain text, skipping interleaved media
    that comes before an answer."""

    def __init__(self, url, rcvbuf=0, timeout=5.0):
        parts = urllib.parse.urlsplit(url)
        self.url = url
        self.sock = socket.socket()
        if rcvbuf:
            # Set before connecting, so that the window the server sees is small from the start.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect((parts.hostname, parts.port or 554))
        self.reader = self.sock.makefile("rb")
        self.cseq = 0
        self.session = None

    def request(self, method, url=None, headers=""):
        self.cseq += 1
        if self.session:
            headers += "Session: %s\r\n" % self.session
        self.sock.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n"
                           % (method, url or self.url, self.cseq, headers)).encode())
        # Once a stream is set up over TCP, media may arrive interleaved ("$", channel, 16-bit
        # length, packet) before the answer: the answer is the first line that is not such a packet.
        first = self.reader.read(1)
        while first == b"$":
            header = self.reader.read(3)
            self.reader.read(int.from_bytes(header[1:3], "big"))
            first = self.reader.read(1)
        status = (first + self.reader.readline()).decode(errors="replace").strip()
        fields = {}
        while True:
            line = self.reader.readline().decode(errors="replace").strip()
            if not line:
                break
            name, _, value = line.partition(":")
            fields[name.strip().lower()] = value.strip()
        self.reader.read(int(fields.get("content-length", 0)))
        if not status.startswith("RTSP/1.0 200"):
            raise RuntimeError("%s answered %r" % (method, status))
        if "session" in fields:
            self.session = fields["session"].split(";")[0]
        return fields

    def play(self, streams):
        """DESCRIBE, SETUP of the given stream numbers over TCP, PLAY."""
        self.request("DESCRIBE", headers="Accept: application/sdp\r\n")
        for n in streams:
            self.request("SETUP", "%s/stream=%d" % (self.url, n),
                         "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n" % (2 * n, 2 * n + 1))
        self.request("PLAY")

    def drain(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.sock.recv(65536):
            pass

    def close(self, reset=False):
        if reset:
            # SO_LINGER 0: the close sends RST, as a killed process's socket may.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def half_request(url, rnd, method):
    parts = urllib.parse.urlsplit(url)
    message = ("%s %s RTSP/1.0\r\nCSeq: 1\r\n\r\n" % (method, url)).encode()
    with socket.create_connection((parts.hostname, parts.port or 554), 5) as sock:
        sock.sendall(message[:rnd.randint(1, len(message) - 3)])
        time.sleep(rnd.uniform(0, 0.3))


def bare_connect(url, rnd):
    parts = urllib.parse.urlsplit(url)
    socket.create_connection((parts.hostname, parts.port or 554), 5).close()


def raw_viewer(url, rnd):
    viewer = RtspSession(url)
    try:
        viewer.play([0, 1])
        viewer.drain(rnd.uniform(0, 1.5))
    finally:
        viewer.close(reset=True)


def killed_probe(url, rnd, transport):
    probe = subprocess.Popen(["ffprobe", "-v", "quiet", "-rtsp_transport", transport, url],
                             stdin=subprocess.DEVNULL)
    time.sleep(rnd.uniform(0.2, 3.0))
    probe.kill()
    probe.wait()


KINDS = [
    ("half OPTIONS", lambda url, rnd: half_request(url, rnd, "OPTIONS")),
    ("half DESCRIBE", lambda url, rnd: half_request(url, rnd, "DESCRIBE")),
    ("connect and close", bare_connect),
    ("raw viewer reset", raw_viewer),
    ("ffprobe tcp killed", lambda url, rnd: killed_probe(url, rnd, "tcp")),
    ("ffprobe udp killed", lambda url, rnd: killed_probe(url, rnd, "udp")),
    ("ffprobe tcp killed", lambda url, rnd: killed_probe(url, rnd, "tcp")),
]


def answers_options(url, timeout):
    try:
        RtspSession(url, timeout=timeout).request("OPTIONS")
        return True
    except (OSError, RuntimeError):
        return False


def shows_video(url):
    try:
        out = subprocess.run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
                              "stream=codec_type", "-of", "csv=p=0", url], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=20).stdout
    except subprocess.TimeoutExpired:
        return False
    return "video" in out.split()


def churn(url, clients, rnd, refusals, errors):
    """The three lasting viewers and the short clients; returns once all have left."""
    def run(name, action, client_rnd):
        try:
            action(url, client_rnd)
        except RuntimeError as e:
            refusals.append("%s: %s" % (name, e))
        except OSError as e:
            errors.append("%s: %s" % (name, e))

    # The video-only viewer comes first: it prepares the shared media with one stream unused.
    lasting = [RtspSession(url)]
    steady = None
    stop = threading.Event()

    def read_video(*_):
        while not stop.is_set():
            lasting[0].drain(0.5)

    reader = threading.Thread(target=run, args=("video-only viewer", read_video, None))
    try:
        lasting[0].play([0])
        lasting.append(RtspSession(url, rcvbuf=4096))
        lasting[1].play([0, 1])          # and never read again
        steady = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "quiet", "-rtsp_transport", "tcp", "-i", url,
                                   "-c", "copy", "-f", "null", "-"])
        reader.start()
        threads = []
        for _ in range(clients):
            name, action = rnd.choice(KINDS)
            thread = threading.Thread(target=run, args=(name, action, random.Random(rnd.random())))
            thread.start()
            threads.append(thread)
            time.sleep(rnd.uniform(0.2, 0.7))
        for thread in threads:
            thread.join()
    except RuntimeError as e:
        refusals.append("lasting viewer: %s" % e)
    except OSError as e:
        errors.append("lasting viewer: %s" % e)
    finally:
        stop.set()
        if reader.is_alive():
            reader.join()
        for viewer in lasting:
            viewer.close(reset=True)
        if steady:
            steady.kill()
            steady.wait()


def main():
    if len(sys.argv) < 2 or len(sys.argv) > 4:
        print("usage: rtsp_churn.py URL [CLIENTS [SEED]]", file=sys.stderr)
        return 2
    url = sys.argv[1]
    clients = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else random.randrange(1 << 30)
    refusals = []    # well-formed requests the server answered with an error: its fault
    errors = []      # failed connections: the churn's own doing on a loaded machine, or a dead server
    churn(url, clients, random.Random(seed), refusals, errors)
    serves = answers_options(url, 3.0) and shows_video(url)
    print("churn: %d clients (seed %d): %d refused, %d connection errors; the server %s"
          % (clients, seed, len(refusals), len(errors), "serves" if serves else "DOES NOT SERVE"))
    for line in (refusals + errors)[:10]:
        print("  " + line)
    return 0 if serves and not refusals else 1


if __name__ == "__main__":
    sys.exit(main())
