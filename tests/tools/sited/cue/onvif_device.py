#!/usr/bin/env python3
"""A stateful ONVIF PTZ camera on loopback, for the tests of sited's cueing.

It answers the device, media and PTZ operations a client needs to find the
camera's profile and to move it, checks WS-Security UsernameToken digests,
and moves pan, tilt and zoom at finite speeds after a latency, so that
GetStatus reads a position interpolated from the clock at any time. Every
request is logged; GET /log returns that log as JSON.

The first line on standard output is "listening 127.0.0.1:PORT".
"""

import argparse
import base64
import datetime
import hashlib
import json
import sys
import threading
import time
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SOAP = "http://www.w3.org/2003/05/soap-envelope"
DEVICE = "http://www.onvif.org/ver10/device/wsdl"
MEDIA = "http://www.onvif.org/ver10/media/wsdl"
PTZ = "http://www.onvif.org/ver20/ptz/wsdl"
SCHEMA = "http://www.onvif.org/ver10/schema"
WSSE = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd"
WSU = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd"
PAN_TILT_SPACE = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace"
ZOOM_SPACE = "http://www.onvif.org/ver10/tptz/ZoomSpaces/PositionGenericSpace"
VELOCITY_SPACE = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace"
ZOOM_VELOCITY_SPACE = "http://www.onvif.org/ver10/tptz/ZoomSpaces/VelocityGenericSpace"
SPEED_SPACE = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace"
ZOOM_SPEED_SPACE = "http://www.onvif.org/ver10/tptz/ZoomSpaces/ZoomGenericSpeedSpace"

PROFILE = "profile_ptz"
PTZ_CONFIG = "ptz_config"
MAX_REQUEST_BYTES = 1 << 20  # bytes: a larger request is refused


class Axis:
    """One axis moving at a finite speed: segments that each start after the
    latency from where the previous one has got to by then."""

    def __init__(self, low, high, speed, start):
        self.low, self.high, self.max_speed = low, high, speed
        # (start time s, from, to, speed units/s), oldest first
        self.segments = [(0.0, start, start, speed)]

    def position(self, t):
        t0, p0, p1, speed = self.segments[0]
        for segment in self.segments:
            if segment[0] <= t:
                t0, p0, p1, speed = segment
        if t <= t0:
            return p0
        step = speed * (t - t0)
        if abs(p1 - p0) <= step:
            return p1
        return p0 + step if p1 > p0 else p0 - step

    def moving(self, t):
        last = self.segments[-1]
        return t < last[0] or self.position(t) != last[2]

    def go(self, now, t, target, fraction=1.0):
        """From time t (after now) on, towards target at that fraction of
        the fastest."""
        target = min(max(target, self.low), self.high)
        start = self.position(t)
        self.segments = [s for s in self.segments if s[0] < t] + [
            (t, start, target, self.max_speed * min(max(fraction, 0.0), 1.0))
        ]
        # A segment followed by one begun before now is never read again.
        while len(self.segments) > 1 and self.segments[1][0] <= now:
            self.segments.pop(0)


class Camera:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.pan = Axis(args.pan_range[0], args.pan_range[1], args.pan_speed, 0.0)
        self.tilt = Axis(args.tilt_range[0], args.tilt_range[1], args.tilt_speed, args.tilt_range[1])
        self.zoom = Axis(0.0, 1.0, args.zoom_speed, 0.0)
        self.log = []
        self.started = time.monotonic()

    def now(self):
        return time.monotonic() - self.started

    @staticmethod
    def to_degrees(x, low, high):
        return low + (min(max(x, -1.0), 1.0) + 1.0) / 2.0 * (high - low)

    @staticmethod
    def to_normal(deg, low, high):
        return (deg - low) / (high - low) * 2.0 - 1.0

    def absolute(self, x, y, z, speed):
        now = self.now()
        at = now + self.args.latency
        a = self.args
        self.pan.go(now, at, self.to_degrees(x, *a.pan_range), speed[0])
        self.tilt.go(now, at, self.to_degrees(y, *a.tilt_range), speed[1])
        if z is not None:
            self.zoom.go(now, at, z, speed[2])

    def continuous(self, vx, vy, vz):
        """Towards the end of each range at that fraction of the fastest;
        an axis at 0 stops."""
        now = self.now()
        at = now + self.args.latency
        for axis, v in ((self.pan, vx), (self.tilt, vy), (self.zoom, vz)):
            if v:
                axis.go(now, at, axis.high if v > 0 else axis.low, abs(v))
            else:
                axis.go(now, at, axis.position(at))

    def stop(self):
        now = self.now()
        at = now + self.args.latency
        for axis in (self.pan, self.tilt, self.zoom):
            axis.go(now, at, axis.position(at))

    def status(self):
        t = self.now()
        a = self.args
        return (
            self.to_normal(self.pan.position(t), *a.pan_range),
            self.to_normal(self.tilt.position(t), *a.tilt_range),
            self.zoom.position(t),
            self.pan.moving(t) or self.tilt.moving(t),
            self.zoom.moving(t),
        )


def device_time(args):
    return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=args.clock_offset)


def envelope(body):
    return (
        '<?xml version="1.0" encoding="UTF-8"?>'
        f'<env:Envelope xmlns:env="{SOAP}" xmlns:tds="{DEVICE}" xmlns:trt="{MEDIA}" '
        f'xmlns:tptz="{PTZ}" xmlns:tt="{SCHEMA}" '
        'xmlns:ter="http://www.onvif.org/ver10/error">'
        f"<env:Body>{body}</env:Body></env:Envelope>"
    )


def fault(code, subcode, reason):
    return envelope(
        f"<env:Fault><env:Code><env:Value>env:{code}</env:Value>"
        f"<env:Subcode><env:Value>ter:{subcode}</env:Value></env:Subcode></env:Code>"
        f'<env:Reason><env:Text xml:lang="en">{reason}</env:Text></env:Reason></env:Fault>'
    )


def space(tag, uri, ranges):
    inner = "".join(
        f"<tt:{name}><tt:Min>{low}</tt:Min><tt:Max>{high}</tt:Max></tt:{name}>" for name, low, high in ranges
    )
    return f"<tt:{tag}><tt:URI>{uri}</tt:URI>{inner}</tt:{tag}>"


def spaces_xml():
    return (
        "<tt:Spaces>"
        + space("AbsolutePanTiltPositionSpace", PAN_TILT_SPACE, [("XRange", -1, 1), ("YRange", -1, 1)])
        + space("AbsoluteZoomPositionSpace", ZOOM_SPACE, [("XRange", 0, 1)])
        + space("ContinuousPanTiltVelocitySpace", VELOCITY_SPACE, [("XRange", -1, 1), ("YRange", -1, 1)])
        + space("ContinuousZoomVelocitySpace", ZOOM_VELOCITY_SPACE, [("XRange", -1, 1)])
        + space("PanTiltSpeedSpace", SPEED_SPACE, [("XRange", 0, 1)])
        + space("ZoomSpeedSpace", ZOOM_SPEED_SPACE, [("XRange", 0, 1)])
        + "</tt:Spaces>"
    )


def ptz_configuration(tag):
    return (
        f'<{tag} token="{PTZ_CONFIG}"><tt:Name>PTZ</tt:Name><tt:UseCount>1</tt:UseCount>'
        "<tt:NodeToken>ptz_node</tt:NodeToken>"
        f"<tt:DefaultAbsolutePantTiltPositionSpace>{PAN_TILT_SPACE}</tt:DefaultAbsolutePantTiltPositionSpace>"
        f"<tt:DefaultAbsoluteZoomPositionSpace>{ZOOM_SPACE}</tt:DefaultAbsoluteZoomPositionSpace>"
        "<tt:DefaultPTZTimeout>PT10S</tt:DefaultPTZTimeout>"
        f"</{tag}>"
    )


def profile(token, name, with_ptz):
    return (
        f'<trt:Profiles token="{token}" fixed="true"><tt:Name>{name}</tt:Name>'
        '<tt:VideoSourceConfiguration token="vsc"><tt:Name>source</tt:Name><tt:UseCount>2</tt:UseCount>'
        '<tt:SourceToken>video_source</tt:SourceToken><tt:Bounds x="0" y="0" width="1920" height="1080"/>'
        "</tt:VideoSourceConfiguration>"
        f'<tt:VideoEncoderConfiguration token="vec_{token}"><tt:Name>h264</tt:Name><tt:UseCount>1</tt:UseCount>'
        "<tt:Encoding>H264</tt:Encoding><tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080</tt:Height>"
        "</tt:Resolution><tt:Quality>5</tt:Quality><tt:RateControl><tt:FrameRateLimit>25</tt:FrameRateLimit>"
        "<tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>4096</tt:BitrateLimit></tt:RateControl>"
        "<tt:SessionTimeout>PT60S</tt:SessionTimeout></tt:VideoEncoderConfiguration>"
        + (ptz_configuration("tt:PTZConfiguration") if with_ptz else "")
        + "</trt:Profiles>"
    )


class Device:
    """The operations, each a function of the request's body element that
    returns the answer's body text."""

    def __init__(self, args, camera, base):
        self.args, self.camera, self.base = args, camera, base

    def GetSystemDateAndTime(self, _):
        t = device_time(self.args)
        return (
            "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime>"
            "<tt:DateTimeType>Manual</tt:DateTimeType><tt:DaylightSavings>false</tt:DaylightSavings>"
            "<tt:TimeZone><tt:TZ>UTC0</tt:TZ></tt:TimeZone><tt:UTCDateTime>"
            f"<tt:Time><tt:Hour>{t.hour}</tt:Hour><tt:Minute>{t.minute}</tt:Minute><tt:Second>{t.second}</tt:Second></tt:Time>"
            f"<tt:Date><tt:Year>{t.year}</tt:Year><tt:Month>{t.month}</tt:Month><tt:Day>{t.day}</tt:Day></tt:Date>"
            "</tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>"
        )

    def GetServices(self, _):
        services = "".join(
            f"<tds:Service><tds:Namespace>{ns}</tds:Namespace><tds:XAddr>{self.base}{path}</tds:XAddr>"
            f"<tds:Version><tt:Major>{major}</tt:Major><tt:Minor>0</tt:Minor></tds:Version></tds:Service>"
            for ns, path, major in (
                (DEVICE, "/onvif/device_service", 2),
                (MEDIA, "/onvif/media_service", 2),
                (PTZ, "/onvif/ptz_service", 2),
            )
        )
        return f"<tds:GetServicesResponse>{services}</tds:GetServicesResponse>"

    def GetCapabilities(self, _):
        b = self.base
        return (
            "<tds:GetCapabilitiesResponse><tds:Capabilities>"
            f"<tt:Device><tt:XAddr>{b}/onvif/device_service</tt:XAddr></tt:Device>"
            f"<tt:Media><tt:XAddr>{b}/onvif/media_service</tt:XAddr></tt:Media>"
            f"<tt:PTZ><tt:XAddr>{b}/onvif/ptz_service</tt:XAddr></tt:PTZ>"
            "</tds:Capabilities></tds:GetCapabilitiesResponse>"
        )

    def GetDeviceInformation(self, _):
        return (
            "<tds:GetDeviceInformationResponse><tds:Manufacturer>trklib</tds:Manufacturer>"
            "<tds:Model>test PTZ</tds:Model><tds:FirmwareVersion>1.0</tds:FirmwareVersion>"
            "<tds:SerialNumber>0001</tds:SerialNumber><tds:HardwareId>test</tds:HardwareId>"
            "</tds:GetDeviceInformationResponse>"
        )

    def GetProfiles(self, _):
        return (
            "<trt:GetProfilesResponse>"
            + profile("profile_fixed", "fixed", False)
            + profile(PROFILE, "ptz", True)
            + "</trt:GetProfilesResponse>"
        )

    def GetVideoSources(self, _):
        return (
            '<trt:GetVideoSourcesResponse><trt:VideoSources token="video_source">'
            "<tt:Framerate>25</tt:Framerate><tt:Resolution><tt:Width>1920</tt:Width>"
            "<tt:Height>1080</tt:Height></tt:Resolution></trt:VideoSources></trt:GetVideoSourcesResponse>"
        )

    def GetConfigurationOptions(self, _):
        return (
            "<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions>"
            + spaces_xml()
            + "<tt:PTZTimeout><tt:Min>PT1S</tt:Min><tt:Max>PT60S</tt:Max></tt:PTZTimeout>"
            "</tptz:PTZConfigurationOptions></tptz:GetConfigurationOptionsResponse>"
        )

    def GetConfigurations(self, _):
        return (
            "<tptz:GetConfigurationsResponse>"
            + ptz_configuration("tptz:PTZConfiguration")
            + "</tptz:GetConfigurationsResponse>"
        )

    def GetNodes(self, _):
        return (
            '<tptz:GetNodesResponse><tptz:PTZNode token="ptz_node" FixedHomePosition="false">'
            "<tt:Name>ptz</tt:Name>" + spaces_xml() + "<tt:MaximumNumberOfPresets>0</tt:MaximumNumberOfPresets>"
            "<tt:HomeSupported>false</tt:HomeSupported></tptz:PTZNode></tptz:GetNodesResponse>"
        )

    def AbsoluteMove(self, element):
        position = element.find(f"{{{PTZ}}}Position")
        pan_tilt = position.find(f"{{{SCHEMA}}}PanTilt") if position is not None else None
        if pan_tilt is None:
            return None
        zoom = position.find(f"{{{SCHEMA}}}Zoom")
        speed = [1.0, 1.0, 1.0]
        speed_element = element.find(f"{{{PTZ}}}Speed")
        if speed_element is not None:
            s_pt = speed_element.find(f"{{{SCHEMA}}}PanTilt")
            s_z = speed_element.find(f"{{{SCHEMA}}}Zoom")
            if s_pt is not None:
                speed[0] = float(s_pt.get("x", "1"))
                speed[1] = float(s_pt.get("y", "1"))
            if s_z is not None:
                speed[2] = float(s_z.get("x", "1"))
        self.camera.absolute(
            float(pan_tilt.get("x")),
            float(pan_tilt.get("y")),
            float(zoom.get("x")) if zoom is not None else None,
            speed,
        )
        return "<tptz:AbsoluteMoveResponse/>"

    def ContinuousMove(self, element):
        velocity = element.find(f"{{{PTZ}}}Velocity")
        if velocity is None:
            return None
        pt = velocity.find(f"{{{SCHEMA}}}PanTilt")
        z = velocity.find(f"{{{SCHEMA}}}Zoom")
        self.camera.continuous(
            float(pt.get("x", "0")) if pt is not None else 0.0,
            float(pt.get("y", "0")) if pt is not None else 0.0,
            float(z.get("x", "0")) if z is not None else 0.0,
        )
        return "<tptz:ContinuousMoveResponse/>"

    def Stop(self, _):
        self.camera.stop()
        return "<tptz:StopResponse/>"

    def GetStatus(self, _):
        pan, tilt, zoom, pt_moving, z_moving = self.camera.status()
        utc = device_time(self.args).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        return (
            "<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position>"
            f'<tt:PanTilt x="{pan:.6f}" y="{tilt:.6f}" space="{PAN_TILT_SPACE}"/>'
            f'<tt:Zoom x="{zoom:.6f}" space="{ZOOM_SPACE}"/></tt:Position>'
            f"<tt:MoveStatus><tt:PanTilt>{'MOVING' if pt_moving else 'IDLE'}</tt:PanTilt>"
            f"<tt:Zoom>{'MOVING' if z_moving else 'IDLE'}</tt:Zoom></tt:MoveStatus>"
            f"<tt:UtcTime>{utc}</tt:UtcTime></tptz:PTZStatus></tptz:GetStatusResponse>"
        )


OPERATIONS = {
    (DEVICE, "GetSystemDateAndTime"),
    (DEVICE, "GetServices"),
    (DEVICE, "GetCapabilities"),
    (DEVICE, "GetDeviceInformation"),
    (MEDIA, "GetProfiles"),
    (MEDIA, "GetVideoSources"),
    (PTZ, "GetConfigurationOptions"),
    (PTZ, "GetConfigurations"),
    (PTZ, "GetNodes"),
    (PTZ, "AbsoluteMove"),
    (PTZ, "ContinuousMove"),
    (PTZ, "Stop"),
    (PTZ, "GetStatus"),
}
OPEN_OPERATIONS = {"GetSystemDateAndTime"}  # answered without a token, as devices do


def parse_created(text):
    return datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))


def authorised(args, root):
    """None when the request's UsernameToken is right, else why not."""
    if args.refuse_password:
        return "refused"
    if not args.username:
        return None
    token = root.find(f"{{{SOAP}}}Header/{{{WSSE}}}Security/{{{WSSE}}}UsernameToken")
    if token is None:
        return "no UsernameToken"
    user = token.findtext(f"{{{WSSE}}}Username", "")
    digest = token.findtext(f"{{{WSSE}}}Password", "")
    nonce = token.findtext(f"{{{WSSE}}}Nonce", "")
    created = token.findtext(f"{{{WSU}}}Created", "")
    try:
        raw_nonce = base64.b64decode(nonce, validate=True)
        when = parse_created(created)
    except ValueError:
        return "bad Nonce or Created"
    expected = base64.b64encode(
        hashlib.sha1(raw_nonce + created.encode() + args.password.encode()).digest()
    ).decode()
    if user != args.username or digest != expected:
        return "wrong username or password"
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.timezone.utc)
    if abs((device_time(args) - when).total_seconds()) > args.max_skew:
        return "stale Created"
    return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Each answer in one segment, sent at once.
    wbufsize = 1 << 16
    disable_nagle_algorithm = True
    server_version = "onvif-test-device"

    def log_message(self, *_):
        pass

    def reply(self, status, body, content_type="application/soap+xml; charset=utf-8"):
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path != "/log":
            self.reply(404, "not found", "text/plain")
            return
        with self.server.camera.lock:
            text = json.dumps(self.server.camera.log)
        self.reply(200, text, "application/json")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length > MAX_REQUEST_BYTES:
            self.reply(413, "too large", "text/plain")
            return
        body = self.rfile.read(length)
        if self.server.args.silent:
            threading.Event().wait()  # never answers; the process is killed
        camera = self.server.camera
        try:
            root = ET.fromstring(body)
            element = root.find(f"{{{SOAP}}}Body")[0]
            ns, name = element.tag[1:].split("}")
        except (ET.ParseError, IndexError, TypeError, ValueError):
            self.reply(400, fault("Sender", "WellFormed", "not a SOAP 1.2 request"))
            return
        with camera.lock:
            entry = {"t": round(camera.now(), 4), "wall": round(time.time(), 4), "op": name,
                     "path": self.path}
            camera.log.append(entry)
            if (ns, name) not in OPERATIONS:
                entry["result"] = "unknown"
                self.reply(400, fault("Receiver", "ActionNotSupported", f"{name} is not supported"))
                return
            if name == "GetServices" and self.server.args.no_services:
                entry["result"] = "unsupported"
                self.reply(400, fault("Receiver", "ActionNotSupported", "GetServices is not supported"))
                return
            why = None if name in OPEN_OPERATIONS else authorised(self.server.args, root)
            if why:
                entry["result"] = "refused: " + why
                self.reply(self.server.args.refuse_status, fault("Sender", "NotAuthorized", "Sender not Authorized"))
                return
            device = Device(self.server.args, camera, self.server.base)
            try:
                answer = getattr(device, name)(element)
            except (TypeError, ValueError, AttributeError):
                answer = None
            if answer is None:
                entry["result"] = "invalid"
                self.reply(400, fault("Sender", "InvalidArgVal", f"{name}: invalid arguments"))
                return
            entry["result"] = "ok"
        self.reply(200, envelope(answer))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--username", default="", help="empty: no token checked")
    p.add_argument("--password", default="")
    p.add_argument("--pan-speed", type=float, default=60.0, help="degrees per second")
    p.add_argument("--tilt-speed", type=float, default=30.0, help="degrees per second")
    p.add_argument("--zoom-speed", type=float, default=0.5, help="of the zoom range per second")
    p.add_argument("--latency", type=float, default=0.3, help="seconds from command to motion")
    p.add_argument("--pan-range", type=float, nargs=2, default=[-180.0, 180.0], metavar=("MIN", "MAX"))
    p.add_argument("--tilt-range", type=float, nargs=2, default=[-90.0, 0.0], metavar=("MIN", "MAX"))
    p.add_argument("--clock-offset", type=float, default=0.0, help="seconds the device's clock is ahead")
    p.add_argument("--max-skew", type=float, default=30.0, help="seconds a token's Created may be off")
    p.add_argument("--refuse-password", action="store_true", help="refuse every token")
    p.add_argument("--refuse-status", type=int, default=400, help="HTTP status of a refusal")
    p.add_argument("--no-services", action="store_true", help="GetServices answers a fault")
    p.add_argument("--silent", action="store_true", help="accept connections, never reply")
    args = p.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.args = args
    server.camera = Camera(args)
    host, port = server.server_address[:2]
    server.base = f"http://{host}:{port}"
    print(f"listening {host}:{port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
