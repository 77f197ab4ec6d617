"""The concrete of a cross-section in the section plane (y, z) [m], for the checks and the drawing.

A parametric shape is placed as IDEA places it, with the centre of gravity of its concrete at the
origin; a section of polygons keeps the coordinates of its outlines. Arcs of polylines are entries
((y_end, z_end), (y_on_arc, z_on_arc)), as in stirrups.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence, TypeGuard

Point = tuple[float, float]

# Parameters of the shapes whose names IDEA's section factory uses: (required, optional), in metres
# except the text UniqueName. A shape not listed here is written as given and not checked.
SHAPE_PARAMETERS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "RECT": (("Width", "Height"), ()),
    "O": (("D",), ()),
    "TG": (("Height", "Width", "TopFlangeWidth", "WallWidth"), ("Spacing",)),
    "TGREV": (("Height", "Width", "TopFlangeWidth", "WallWidth"), ("TopFlangeWidth1",)),
    "TWH": (("Height", "Width", "FlangeThickness", "WebThicknessTop", "WebThicknessBottom"), ()),
    "IGN": (("H", "Bh", "Bs", "Ts", "Th", "Tw"), ("Htfh", "Hbfh")),
    "LG": (("H", "B", "TH", "SH"), ()),
    "UG": (("Bt", "Bb", "H", "Bw", "Tt", "Tb"), ()),
    "TRAPEZOID": (("Height", "TopWidth", "BottomWidth"), ()),
    "RHS_G": (("W", "H", "Tl", "Tr", "Tt", "Tb"), ()),
    "CHS_G": (("R", "T"), ()),
    "UNIQUE_NAME": (("UniqueName",), ()),
}
TEXT_PARAMETERS = frozenset({"UniqueName"})

ARC_STEPS = 24  # straight pieces per arc where an arc is followed point by point


def is_number(value: object) -> TypeGuard[float]:
    """A finite real number; booleans are not numbers here."""
    return isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value)


def is_pair(value: Any) -> bool:
    """Two items by index: a tuple, a list, a NumPy array... (as the writer writes a point)."""
    return not isinstance(value, (str, bytes)) and hasattr(value, "__len__") and hasattr(value, "__getitem__") \
        and len(value) == 2


def is_point(value: object) -> bool:
    return is_pair(value) and is_number(value[0]) and is_number(value[1])  # type: ignore[index]


def is_arc(entry: object) -> bool:
    return is_pair(entry) and is_point(entry[0]) and is_point(entry[1])  # type: ignore[index]


def point(value: Any) -> Point:
    return (float(value[0]), float(value[1]))


def arc_centre(start: Point, through: Point, end: Point) -> tuple[Point, float] | None:
    """Centre and radius of the circle through three points; None when they lie on one line."""
    (ax, ay), (bx, by), (cx, cy) = start, through, end
    d = 2.0 * (ax * (by - cy) + bx * (cy - ay) + cx * (ay - by))
    if abs(d) < 1e-15:
        return None
    a2, b2, c2 = ax * ax + ay * ay, bx * bx + by * by, cx * cx + cy * cy
    ux = (a2 * (by - cy) + b2 * (cy - ay) + c2 * (ay - by)) / d
    uy = (a2 * (cx - bx) + b2 * (ax - cx) + c2 * (bx - ax)) / d
    return (ux, uy), math.hypot(ax - ux, ay - uy)


def arc_points(start: Point, through: Point, end: Point, steps: int = ARC_STEPS) -> list[Point]:
    """Points along the arc from ``start`` through ``through`` to ``end``, without ``start``."""
    circle = arc_centre(start, through, end)
    if circle is None:
        return [through, end]
    (ux, uy), radius = circle
    a0, a1, a2 = (math.atan2(p[1] - uy, p[0] - ux) for p in (start, through, end))
    to_through, to_end = (a1 - a0) % math.tau, (a2 - a0) % math.tau
    span = to_end if to_through < to_end else to_end - math.tau
    return [(ux + radius * math.cos(a0 + span * i / steps), uy + radius * math.sin(a0 + span * i / steps))
            for i in range(1, steps)] + [end]


def polyline(entries: Iterable[Any]) -> list[Point]:
    """The points of a polyline of vertices and arc entries, each arc followed point by point.

    Entries that are neither a vertex nor an arc are skipped: the writer names them.
    """
    points: list[Point] = []
    for entry in entries:
        if is_point(entry):
            points.append(point(entry))
        elif is_arc(entry) and points:
            points.extend(arc_points(points[-1], point(entry[1]), point(entry[0])))
    return points


def polygon_area_centroid(polygon: Sequence[Point]) -> tuple[float, Point]:
    area = cy = cz = 0.0
    for (y0, z0), (y1, z1) in zip(polygon, [*polygon[1:], polygon[0]]):
        cross = y0 * z1 - y1 * z0
        area += cross
        cy += (y0 + y1) * cross
        cz += (z0 + z1) * cross
    area /= 2.0
    if area == 0.0:
        return 0.0, (0.0, 0.0)
    return area, (cy / (6.0 * area), cz / (6.0 * area))


def _distance_to_segment(p: Point, a: Point, b: Point) -> float:
    (px, pz), (ax, az), (bx, bz) = p, a, b
    dy, dz = bx - ax, bz - az
    length2 = dy * dy + dz * dz
    t = 0.0 if length2 == 0.0 else max(0.0, min(1.0, ((px - ax) * dy + (pz - az) * dz) / length2))
    return math.hypot(px - (ax + t * dy), pz - (az + t * dz))


def _inside_polygon(p: Point, polygon: Sequence[Point], tolerance: float) -> int:
    """1 inside, 0 on the boundary (within ``tolerance``), -1 outside."""
    edges = list(zip(polygon, [*polygon[1:], polygon[0]]))
    if any(_distance_to_segment(p, a, b) <= tolerance for a, b in edges):
        return 0
    y, z = p
    inside = False
    for (y0, z0), (y1, z1) in edges:
        if (z0 > z) != (z1 > z) and y < y0 + (z - z0) * (y1 - y0) / (z1 - z0):
            inside = not inside
    return 1 if inside else -1


@dataclass(frozen=True)
class Piece:
    """One piece of concrete: a polygon or a circle, less its openings."""
    outline: tuple[Point, ...] = ()
    circle: tuple[Point, float] | None = None
    openings: tuple[tuple[Point, ...], ...] = ()

    def contains(self, p: Point, tolerance: float) -> bool:
        """Whether ``p`` lies in the concrete; the boundary counts as concrete."""
        if self.circle is not None:
            (cy, cz), radius = self.circle
            if math.hypot(p[0] - cy, p[1] - cz) > radius + tolerance:
                return False
        elif _inside_polygon(p, self.outline, tolerance) < 0:
            return False
        return not any(_inside_polygon(p, opening, tolerance) > 0 for opening in self.openings)

    def points(self) -> list[Point]:
        if self.circle is not None:
            (cy, cz), radius = self.circle
            return [(cy - radius, cz - radius), (cy + radius, cz + radius)]
        return list(self.outline)


@dataclass(frozen=True)
class Outline:
    """The concrete of a cross-section; ``shape`` names it for people ("T section 0.8 × 0.7 m")."""
    pieces: tuple[Piece, ...]
    shape: str = ""
    tolerance: float = field(default=1e-9)

    def contains(self, p: Point) -> bool:
        return any(piece.contains(p, self.tolerance) for piece in self.pieces)

    def bounds(self) -> tuple[float, float, float, float]:
        """(y_min, z_min, y_max, z_max) of the concrete."""
        points = [p for piece in self.pieces for p in piece.points()]
        ys, zs = [p[0] for p in points], [p[1] for p in points]
        return min(ys), min(zs), max(ys), max(zs)


def _centred(polygon: list[Point]) -> tuple[Point, ...]:
    _, (cy, cz) = polygon_area_centroid(polygon)
    return tuple((y - cy, z - cz) for y, z in polygon)


def _t_shape(height: float, width: float, flange: float, web: float, flange_on_top: bool) -> list[Point]:
    sign = 1.0 if flange_on_top else -1.0  # drawn from the flange's face, which is at z = 0
    b, bw = width / 2.0, web / 2.0
    return [(-b, 0.0), (b, 0.0), (b, -sign * flange), (bw, -sign * flange), (bw, -sign * height),
            (-bw, -sign * height), (-bw, -sign * flange), (-b, -sign * flange)]


def parametric_outline(shape: str, parameters: dict[str, Any]) -> Outline | None:
    """The outline of the parametric shapes whose geometry is plain, or None (shape unknown here,
    parameters missing, not positive or not fitting together)."""
    known = SHAPE_PARAMETERS.get(shape)
    if known is None:
        return None
    required, optional = known
    if any(not is_number(parameters.get(name)) or parameters[name] <= 0 for name in required):
        return None
    if any(parameters.get(name) for name in optional):
        return None  # haunches, second webs: not drawn
    v = {name: float(parameters[name]) for name in required}
    tolerance = 1e-9
    if shape == "RECT":
        b, h = v["Width"] / 2.0, v["Height"] / 2.0
        piece = Piece(outline=((-b, -h), (b, -h), (b, h), (-b, h)))
        return Outline((piece,), f"rectangle {v['Width']:g} × {v['Height']:g} m", tolerance)
    if shape == "O":
        return Outline((Piece(circle=((0.0, 0.0), v["D"] / 2.0)),), f"circle D {v['D']:g} m", tolerance)
    if shape in ("TG", "TGREV"):
        height, width, flange, web = v["Height"], v["Width"], v["TopFlangeWidth"], v["WallWidth"]
        if flange >= height or web > width:
            return None
        polygon = _t_shape(height, width, flange, web, flange_on_top=shape == "TG")
        kind = "T section" if shape == "TG" else "inverted T section"
        return Outline((Piece(outline=_centred(polygon)),), f"{kind} {width:g} × {height:g} m", tolerance)
    if shape == "TRAPEZOID":
        top, bottom, height = v["TopWidth"] / 2.0, v["BottomWidth"] / 2.0, v["Height"]
        polygon = [(-bottom, 0.0), (bottom, 0.0), (top, height), (-top, height)]
        return Outline((Piece(outline=_centred(polygon)),), f"trapezoid {v['Height']:g} m deep", tolerance)
    if shape == "IGN":
        h, bh, bs, th, ts, tw = (v[name] for name in ("H", "Bh", "Bs", "Th", "Ts", "Tw"))
        if th + ts >= h or tw > min(bh, bs):
            return None
        polygon = [(-bs / 2, 0.0), (bs / 2, 0.0), (bs / 2, ts), (tw / 2, ts), (tw / 2, h - th), (bh / 2, h - th),
                   (bh / 2, h), (-bh / 2, h), (-bh / 2, h - th), (-tw / 2, h - th), (-tw / 2, ts), (-bs / 2, ts)]
        return Outline((Piece(outline=_centred(polygon)),), f"I section {h:g} m deep", tolerance)
    return None


def component_outline(components: Iterable[tuple[Any, Any]]) -> Outline | None:
    """The outline of a section of polygons from its (outline, openings) pairs; None when there is none."""
    pieces = []
    for outline, openings in components:
        polygon = polyline(outline if outline is not None else ())
        if len(polygon) < 3:
            continue
        holes = tuple(tuple(hole) for hole in (polyline(o) for o in (openings or ())) if len(hole) >= 3)
        pieces.append(Piece(outline=tuple(polygon), openings=holes))
    if not pieces:
        return None
    return Outline(tuple(pieces), "polygons", 1e-9)


def outline_of(section: Any) -> Outline | None:
    """The concrete of a cross-section object (parametric or of polygons), or None when not known."""
    try:
        data = section._serialize()
    except Exception:
        return None
    shape, parameters = data.get("cross_section_type"), data.get("parameters")
    if "components" not in data:
        if not isinstance(parameters, dict) or getattr(shape, "name", None) is None:
            return None
        return parametric_outline(shape.name, parameters)
    pieces = []
    for component in data.get("components") or ():
        try:
            parts = component._serialize()
        except Exception:
            continue
        pieces.append((parts.get("outline"), parts.get("openings")))
    return component_outline(pieces)
