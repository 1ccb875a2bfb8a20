#!/usr/bin/python3
"""Camera simulator: an RTSP server on 127.0.0.1 serving live test streams.

/test: H.264 Main 640x360 at 25 fps (keyframe every 50 frames) with A-law 8 kHz mono audio, the
shape of a typical IP camera. /h265: the same picture in H.265 Main with AAC 44.1 kHz mono, as
newer cameras send by default. /mjpeg: MJPEG 4:2:2 640x360 without audio, as older or cheaper
cameras send. Each path has one shared pipeline for all its clients, built at the first one, and,
like a camera, cannot be rewound: a PLAY joins the running stream whatever Range it asks for.
Prints READY once listening;
SIGTERM or SIGINT stops it with exit code 0. With a user and password, every request needs
them (RTSP basic authentication); without, anyone may play.

Usage: /usr/bin/python3 rtsp_sim.py [port [user password]]     (default 8554, no authentication)
"""
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

# Each branch passes a tee that may run unlinked, so that a stream no viewer has set up (a
# viewer of the video alone) does not stop the shared pipeline with "not linked" for everyone.
PICTURE = "videotestsrc is-live=true ! video/x-raw,width=640,height=360,framerate=25/1"
LAUNCH = {
    "/test": "( " + PICTURE + " ! videoconvert ! x264enc tune=zerolatency speed-preset=veryfast key-int-max=50 "
    "! video/x-h264,profile=main ! tee allow-not-linked=true ! rtph264pay name=pay0 pt=96 config-interval=1 "
    "audiotestsrc is-live=true ! audioconvert ! audioresample "
    "! audio/x-raw,rate=8000,channels=1 ! alawenc ! tee allow-not-linked=true ! rtppcmapay name=pay1 )",
    "/h265": "( " + PICTURE + " ! videoconvert ! x265enc tune=zerolatency speed-preset=ultrafast key-int-max=50 "
    "! video/x-h265,profile=main ! tee allow-not-linked=true ! rtph265pay name=pay0 pt=96 config-interval=1 "
    "audiotestsrc is-live=true ! audioconvert ! audioresample "
    "! audio/x-raw,rate=44100,channels=1 ! voaacenc ! tee allow-not-linked=true ! rtpmp4gpay name=pay1 pt=97 )",
    "/mjpeg": "( " + PICTURE + ",format=Y42B ! jpegenc ! tee allow-not-linked=true ! rtpjpegpay name=pay0 pt=26 )",
}


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "8554"
    if not port.isdigit() or len(sys.argv) not in (1, 2, 4):
        print("usage: rtsp_sim.py [port [user password]]", file=sys.stderr)
        return 2
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    if len(sys.argv) == 4:
        # The one account gets the role "viewer", which may see and start the streams.
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "viewer")
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(sys.argv[2], sys.argv[3]), token)
        server.set_auth(auth)
    for path, launch in LAUNCH.items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(True)
        # A seekable shared media answers each PLAY's "Range: npt=0-" with a flushing seek: every
        # viewer's stream jumps back to its first timestamp, a TCP viewer whose queue still holds
        # later packets aborts the server (an assertion in the queue), and the client thread waits
        # for the new preroll meanwhile. Publishing the clock with its offset makes the media
        # unseekable, so a new viewer just joins.
        factory.set_publish_clock_mode(GstRtspServer.RTSPPublishClockMode.CLOCK_AND_OFFSET)
        if len(sys.argv) == 4:
            factory.add_role_from_structure(Gst.Structure.from_string(
                "viewer, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0])
        server.get_mount_points().add_factory(path, factory)

    loop = GLib.MainLoop()
    # attach() returns 0 when the port cannot be bound.
    if server.attach(None) == 0:
        print("rtsp_sim: cannot listen on 127.0.0.1:%s" % port, file=sys.stderr)
        return 1

    def stop(*_):
        loop.quit()
        return GLib.SOURCE_REMOVE

    # Unix signal sources run inside the loop, so the quit is clean (no KeyboardInterrupt).
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, stop)
    try:
        print("READY", flush=True)
    except BrokenPipeError:
        # Whoever waited for READY has stopped reading; keep serving all the same.
        pass
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
