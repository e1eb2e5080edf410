"""XMP packets: carrying EXIF facts in XMP, and merging into a photo's own packet.

libvips writes XMP into every format it saves but EXIF only into JPEG, PNG and
WebP. For a TIFF print (and for prints of camera RAW files, whose EXIF is not a
block libvips can copy) the EXIF tags are restated in XMP, in the namespaces
the XMP standard defines for them: ``tiff:`` for IFD0, ``exif:`` for the
EXIF and GPS directories and ``exifEX:`` for the EXIF 2.3 additions. Values
keep their EXIF meaning; dates become ISO 8601 and rationals "n/d".
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Iterable
from typing import Final

from ostrel.exif import ASCII, RATIONAL_TYPES, UNDEFINED, Entry, ExifTags

NS: Final = {
    "x": "adobe:ns:meta/",
    "rdf": "http://www.w3.org/1999/02/22-rdf-syntax-ns#",
    "xml": "http://www.w3.org/XML/1998/namespace",
    "dc": "http://purl.org/dc/elements/1.1/",
    "xmp": "http://ns.adobe.com/xap/1.0/",
    "tiff": "http://ns.adobe.com/tiff/1.0/",
    "exif": "http://ns.adobe.com/exif/1.0/",
    "exifEX": "http://cipa.jp/exif/1.0/",
    "aux": "http://ns.adobe.com/exif/1.0/aux/",
    "photoshop": "http://ns.adobe.com/photoshop/1.0/",
    "xmpMM": "http://ns.adobe.com/xap/1.0/mm/",
    "crs": "http://ns.adobe.com/camera-raw-settings/1.0/",
}
for _prefix, _uri in NS.items():
    if _prefix != "xml":
        ET.register_namespace(_prefix, _uri)

# IFD0 tags that describe the photograph (not the file's pixel layout).
_IFD0: Final = {
    0x010E: "ImageDescription",
    0x010F: "Make",
    0x0110: "Model",
    0x0131: "Software",
    0x0132: "DateTime",
    0x013B: "Artist",
    0x8298: "Copyright",
}
_EXIF: Final = {
    0x829A: "ExposureTime",
    0x829D: "FNumber",
    0x8822: "ExposureProgram",
    0x8824: "SpectralSensitivity",
    0x8827: "ISOSpeedRatings",
    0x9000: "ExifVersion",
    0x9003: "DateTimeOriginal",
    0x9004: "DateTimeDigitized",
    0x9201: "ShutterSpeedValue",
    0x9202: "ApertureValue",
    0x9203: "BrightnessValue",
    0x9204: "ExposureBiasValue",
    0x9205: "MaxApertureValue",
    0x9206: "SubjectDistance",
    0x9207: "MeteringMode",
    0x9208: "LightSource",
    0x9209: "Flash",
    0x920A: "FocalLength",
    0x9214: "SubjectArea",
    0x9286: "UserComment",
    0xA000: "FlashpixVersion",
    0xA001: "ColorSpace",
    0xA20E: "FocalPlaneXResolution",
    0xA20F: "FocalPlaneYResolution",
    0xA210: "FocalPlaneResolutionUnit",
    0xA215: "ExposureIndex",
    0xA217: "SensingMethod",
    0xA401: "CustomRendered",
    0xA402: "ExposureMode",
    0xA403: "WhiteBalance",
    0xA404: "DigitalZoomRatio",
    0xA405: "FocalLengthIn35mmFilm",
    0xA406: "SceneCaptureType",
    0xA407: "GainControl",
    0xA408: "Contrast",
    0xA409: "Saturation",
    0xA40A: "Sharpness",
    0xA40C: "SubjectDistanceRange",
    0xA420: "ImageUniqueID",
}
_EXIF_EX: Final = {
    0x8830: "SensitivityType",
    0x8832: "RecommendedExposureIndex",
    0x8833: "ISOSpeed",
    0xA430: "CameraOwnerName",
    0xA431: "BodySerialNumber",
    0xA432: "LensSpecification",
    0xA433: "LensMake",
    0xA434: "LensModel",
    0xA435: "LensSerialNumber",
}
_GPS: Final = {
    0x0000: "GPSVersionID",
    0x0005: "GPSAltitudeRef",
    0x0006: "GPSAltitude",
    0x0008: "GPSSatellites",
    0x0009: "GPSStatus",
    0x000A: "GPSMeasureMode",
    0x000B: "GPSDOP",
    0x000C: "GPSSpeedRef",
    0x000D: "GPSSpeed",
    0x000E: "GPSTrackRef",
    0x000F: "GPSTrack",
    0x0010: "GPSImgDirectionRef",
    0x0011: "GPSImgDirection",
    0x0012: "GPSMapDatum",
    0x0018: "GPSDestBearing",
    0x001A: "GPSDestDistance",
    0x001E: "GPSDifferential",
}
_DATES: Final = frozenset({"DateTime", "DateTimeOriginal", "DateTimeDigitized"})
_LANG_ALT: Final = frozenset({"ImageDescription", "Copyright", "UserComment"})
_ORDERED: Final = frozenset({"ISOSpeedRatings", "SubjectArea", "LensSpecification"})

Property = tuple[str, str, object]  # (namespace prefix, name, value)


def _date(text: str) -> str:
    """'2021:05:06 07:08:09' as '2021-05-06T07:08:09'."""
    date, _, time = text.strip().partition(" ")
    date = date.replace(":", "-")
    return f"{date}T{time}" if time else date


def _rationals(entry: Entry) -> list[tuple[int, int]]:
    value = entry.value
    if entry.type not in RATIONAL_TYPES or not isinstance(value, tuple):
        return []
    return [pair for pair in value if isinstance(pair, tuple)]


def _scalar(entry: Entry) -> list[str]:
    value = entry.value
    if isinstance(value, str):
        return [value]
    if isinstance(value, bytes):
        return []
    if entry.type in RATIONAL_TYPES:
        return [f"{n}/{d}" for n, d in _rationals(entry)]
    return [f"{v:g}" if isinstance(v, float) else str(v) for v in value]


def _text(entry: Entry, name: str) -> object | None:
    if entry.type == UNDEFINED:
        raw = entry.value if isinstance(entry.value, bytes) else b""
        if name in ("ExifVersion", "FlashpixVersion"):
            return raw.decode("ascii", "replace").strip("\x00 ") or None
        if name == "UserComment" and raw[:8] == b"ASCII\x00\x00\x00":
            return raw[8:].decode("ascii", "replace").strip("\x00 ") or None
        return None
    items = _scalar(entry)
    if not items:
        return None
    if entry.type == ASCII:
        text = items[0]
        if not text:
            return None
        return _date(text) if name in _DATES else text
    if len(items) > 1 or name in _ORDERED:
        return items
    return items[0]


def _flash(entry: Entry) -> object | None:
    if not isinstance(entry.value, tuple) or not entry.value or not isinstance(entry.value[0], int):
        return None
    bits = entry.value[0]
    return {
        "Fired": "True" if bits & 1 else "False",
        "Return": str((bits >> 1) & 3),
        "Mode": str((bits >> 3) & 3),
        "Function": "True" if bits & 0x20 else "False",
        "RedEyeMode": "True" if bits & 0x40 else "False",
    }


def _coordinate(entry: Entry | None, ref: Entry | None) -> str | None:
    """Degrees, minutes, seconds and N/S/E/W as XMP's 'DDD,MM.mmmmmmK'."""
    if entry is None or ref is None or not isinstance(ref.value, str):
        return None
    parts = [n / d if d else 0.0 for n, d in _rationals(entry)]
    if len(parts) != 3 or not ref.value:
        return None
    degrees, minutes, seconds = parts
    total_minutes = minutes + seconds / 60.0
    return f"{int(degrees)},{total_minutes:.6f}{ref.value[0]}"


def _gps_timestamp(gps: dict[int, Entry]) -> str | None:
    date, time = gps.get(0x001D), gps.get(0x0007)
    if date is None or time is None or not isinstance(date.value, str):
        return None
    parts = [n / d if d else 0.0 for n, d in _rationals(time)]
    if len(parts) != 3:
        return None
    hours, minutes, seconds = parts
    return f"{_date(date.value)}T{int(hours):02d}:{int(minutes):02d}:{seconds:06.3f}Z"


def exif_properties(tags: ExifTags) -> list[Property]:
    """The EXIF tags as XMP properties, in the namespaces the XMP standard gives them."""
    properties: list[Property] = []

    def add(prefix: str, table: dict[int, str], entries: dict[int, Entry]) -> None:
        for tag, name in table.items():
            entry = entries.get(tag)
            if entry is None:
                continue
            value = _flash(entry) if name == "Flash" else _text(entry, name)
            if value is not None:
                properties.append((prefix, name, value))

    add("tiff", _IFD0, tags.ifd0)
    add("exif", _EXIF, tags.exif)
    add("exifEX", _EXIF_EX, tags.exif)
    add("exif", _GPS, tags.gps)
    if tags.gps:
        for name, tag, ref in (
            ("GPSLatitude", 0x0002, 0x0001),
            ("GPSLongitude", 0x0004, 0x0003),
            ("GPSDestLatitude", 0x0014, 0x0013),
            ("GPSDestLongitude", 0x0016, 0x0015),
        ):
            coordinate = _coordinate(tags.gps.get(tag), tags.gps.get(ref))
            if coordinate:
                properties.append(("exif", name, coordinate))
        stamp = _gps_timestamp(tags.gps)
        if stamp:
            properties.append(("exif", "GPSTimeStamp", stamp))
    return properties


def _q(prefix: str, name: str) -> str:
    return f"{{{NS[prefix]}}}{name}"


def _property_element(prefix: str, name: str, value: object) -> ET.Element:
    element = ET.Element(_q(prefix, name))
    if isinstance(value, dict):
        element.set(_q("rdf", "parseType"), "Resource")
        for field_name, field_value in value.items():
            ET.SubElement(element, _q(prefix, field_name)).text = str(field_value)
    elif isinstance(value, list):
        container = ET.SubElement(element, _q("rdf", "Seq"))
        for item in value:
            ET.SubElement(container, _q("rdf", "li")).text = str(item)
    elif name in _LANG_ALT:
        container = ET.SubElement(element, _q("rdf", "Alt"))
        item = ET.SubElement(container, _q("rdf", "li"))
        item.set(_q("xml", "lang"), "x-default")
        item.text = str(value)
    else:
        element.text = str(value)
    return element


def _present(descriptions: Iterable[ET.Element]) -> set[str]:
    names: set[str] = set()
    for description in descriptions:
        names.update(description.attrib)
        names.update(child.tag for child in description)
    return names


_PACKET_BEGIN: Final = '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
_PACKET_END: Final = '\n<?xpacket end="w"?>'


def merge_xmp(packet: bytes | None, properties: list[Property]) -> bytes | None:
    """The photo's XMP with `properties` added where it lacks them, orientation normal.

    Properties the packet already has keep the packet's values. A packet
    that is not well-formed XML is returned unchanged.
    """
    if packet is None and not properties:
        return None
    if packet is not None:
        text = packet.decode("utf-8", "replace").strip("\x00")
        start, end = text.find("<x:xmpmeta"), text.rfind("</x:xmpmeta>")
        body = text[start : end + len("</x:xmpmeta>")] if start >= 0 and end > start else text
        try:
            root = ET.fromstring(body)
        except ET.ParseError:
            return packet
        if root.tag == _q("rdf", "RDF"):
            meta = ET.Element(_q("x", "xmpmeta"))
            meta.append(root)
            root = meta
    else:
        root = ET.Element(_q("x", "xmpmeta"))
    rdf = root.find(_q("rdf", "RDF"))
    if rdf is None:
        rdf = ET.SubElement(root, _q("rdf", "RDF"))
    descriptions = rdf.findall(_q("rdf", "Description"))
    _normal_orientation(descriptions)
    present = _present(descriptions)
    missing = [(p, n, v) for p, n, v in properties if _q(p, n) not in present]
    if missing:
        description = ET.SubElement(rdf, _q("rdf", "Description"))
        description.set(_q("rdf", "about"), "")
        for prefix, name, value in missing:
            description.append(_property_element(prefix, name, value))
    return (_PACKET_BEGIN + ET.tostring(root, encoding="unicode") + _PACKET_END).encode("utf-8")


def _normal_orientation(descriptions: list[ET.Element]) -> None:
    key = _q("tiff", "Orientation")
    for description in descriptions:
        if key in description.attrib:
            description.set(key, "1")
        for child in description.findall(key):
            child.text = "1"
