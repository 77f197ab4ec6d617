"""``section_svg``: a reinforced cross-section drawn to scale as SVG, to look at in a browser.

The drawing's unit is the millimetre: a point (y, z) [m] of the section is drawn at
x = 1000 y, y = -1000 z (SVG's y runs down, the section's z up), and a bar is a circle of
radius 500 d around its centre. It reads the same model objects that the writer writes.
"""
from __future__ import annotations

import math
from collections import Counter
from typing import Any
from xml.sax import saxutils

from . import _geometry, objects
from ._checks import referenced, xml_safe
from ._geometry import Point, is_number, is_point

SVG_NS = "http://www.w3.org/2000/svg"
PIXELS = 640  # the larger side of the picture in a browser

STYLE = """
    text { font-family: Helvetica, Arial, sans-serif; fill: #222; }
    .concrete { fill: #d8d5cf; stroke: #6b6760; fill-rule: evenodd; }
    .stirrup { fill: none; stroke: #2b5c9e; stroke-linejoin: round; stroke-linecap: round; }
    .bar { fill: #a8322d; stroke: #5e1a17; }
    .axis { stroke: #111; fill: none; }
    .axis-head { fill: #111; }
    .dimension { stroke: #555; fill: none; }
    .dimension-text { fill: #555; text-anchor: middle; }
    .legend { fill: #222; }
"""


def _escape(text: str) -> str:
    """``text`` for the SVG document, which cannot carry every character."""
    if not xml_safe(text):
        raise ValueError(f"{text!r} holds a character that XML cannot carry, so it cannot be drawn")
    return saxutils.escape(text)


def _mm(value: float) -> str:
    """A length in mm for SVG: at most two decimals, no trailing zeros, no "-0"."""
    text = f"{value:.2f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def _xy(p: Point) -> tuple[float, float]:
    return (1000.0 * p[0], -1000.0 * p[1])


def _name(reference: object) -> str:
    element = referenced(reference)
    if element is None:
        return f"material id {getattr(reference, 'id', '?')}"
    try:
        name = element._serialize().get("name")  # type: ignore[attr-defined]
    except Exception:
        name = None
    return name if isinstance(name, str) else f"material id {getattr(reference, 'id', '?')}"


def _diameter_mm(value: Any) -> str:
    return f"Ø{_mm(1000.0 * value)}" if is_number(value) else "Ø?"


def _path(entries: Any, closed: bool) -> str:
    """SVG path data of a polyline of vertices and arc entries ((y_end, z_end), (y_on_arc, z_on_arc))."""
    commands: list[str] = []
    last: tuple[float, float] | None = None
    for entry in entries:
        if is_point(entry):
            x, y = _xy(_geometry.point(entry))
            commands.append(f"{'M' if last is None else 'L'} {_mm(x)} {_mm(y)}")
            last = (x, y)
        elif _geometry.is_arc(entry) and last is not None:
            end, through = _xy(_geometry.point(entry[0])), _xy(_geometry.point(entry[1]))
            circle = _geometry.arc_centre(last, through, end)
            if circle is None:
                commands.append(f"L {_mm(end[0])} {_mm(end[1])}")
            else:
                (cx, cy), radius = circle
                a0, a1, a2 = (math.atan2(p[1] - cy, p[0] - cx) for p in (last, through, end))
                to_through, to_end = (a1 - a0) % math.tau, (a2 - a0) % math.tau
                positive = to_through < to_end  # SVG's positive-angle direction, clockwise on screen
                span = to_end if positive else math.tau - to_end
                commands.append(f"A {_mm(radius)} {_mm(radius)} 0 {int(span > math.pi)} {int(positive)} "
                                f"{_mm(end[0])} {_mm(end[1])}")
            last = end
    if closed and commands:
        commands.append("Z")
    return " ".join(commands)


def _outline_elements(outline: _geometry.Outline) -> list[str]:
    out = []
    for piece in outline.pieces:
        if piece.circle is not None:
            (cy, cz), radius = piece.circle
            x, y = _xy((cy, cz))
            out.append(f'<circle class="concrete" cx="{_mm(x)}" cy="{_mm(y)}" r="{_mm(1000.0 * radius)}"/>')
        else:
            rings = [piece.outline, *piece.openings]
            data = " ".join(_path(ring, closed=True) for ring in rings)
            out.append(f'<path class="concrete" d="{data}"/>')
    return out


def section_svg(reinforced_cross_section: objects.ReinforcedCrossSection) -> str:
    """The reinforced cross-section drawn to scale, as the text of an SVG image.

    It shows the concrete outline with its openings, every bar as a circle of its diameter at its
    coordinates, the stirrups along their axes with their diameter as line width, the y and z
    axes from the origin (y to the right, z up), the overall width and height of the concrete
    in mm, and the names of the materials. Hover a bar or a stirrup in a browser to read it.

    :param reinforced_cross_section: a reinforced cross-section made by an ``OpenModel``
    :raises ValueError: when the section was not made by an ``OpenModel``, so its cross-section is unknown
    """
    data = reinforced_cross_section._serialize()
    name = data.get("name")
    title = f"Reinforced cross-section {name}" if isinstance(name, str) else "Reinforced cross-section"
    section = referenced(data.get("cross_section"))
    if section is None:
        raise ValueError(f"{title}: its cross-section is not known; draw a reinforced cross-section made by "
                         f"OpenModel.create_reinforced_cross_section")
    section_data = section._serialize()  # type: ignore[attr-defined]
    outline = _geometry.outline_of(section)
    bars = _items(data.get("bars"), objects.ReinforcedBar, "bar", title)
    stirrups = _items(data.get("stirrups"), objects.Stirrup, "stirrup", title)

    # What the picture spans: the concrete, the bars and the stirrups.
    spans: list[tuple[float, float]] = []
    if outline is not None:
        y_min, z_min, y_max, z_max = outline.bounds()
        spans += [_xy((y_min, z_max)), _xy((y_max, z_min))]
    for bar in bars:
        if is_point(bar.get("coordinates")) and is_number(bar.get("diameter")):
            (x, y), r = _xy(_geometry.point(bar["coordinates"])), 500.0 * abs(bar["diameter"])
            spans += [(x - r, y - r), (x + r, y + r)]
    for stirrup in stirrups:
        spans += [_xy(p) for p in _geometry.polyline(stirrup.get("points") or ())]
    spans.append((0.0, 0.0))  # the origin and its axes are always in the picture
    left, top = min(x for x, _ in spans), min(y for _, y in spans)
    right, bottom = max(x for x, _ in spans), max(y for _, y in spans)
    size = max(right - left, bottom - top, 1.0)
    font, line, gap = 0.04 * size, 0.004 * size, 0.08 * size

    body: list[str] = []
    if outline is not None:
        body += _outline_elements(outline)
    for index, stirrup in enumerate(stirrups, 1):
        points = stirrup.get("points") or []
        closed = len(points) > 2 and is_point(points[0]) and is_point(points[-1]) and \
            _geometry.point(points[0]) == _geometry.point(points[-1])
        width = 1000.0 * abs(stirrup["diameter"]) if is_number(stirrup.get("diameter")) else line
        label = (f"stirrup {index}: {_diameter_mm(stirrup.get('diameter'))} {_name(stirrup.get('material'))}"
                 f", every {stirrup.get('distance')} m")
        body.append(f'<path class="stirrup" d="{_path(points, closed)}" stroke-width="{_mm(width)}">'
                    f'<title>{_escape(label)}</title></path>')
    for index, bar in enumerate(bars, 1):
        if not (is_point(bar.get("coordinates")) and is_number(bar.get("diameter"))):
            continue
        y_m, z_m = _geometry.point(bar["coordinates"])
        x, y = _xy((y_m, z_m))
        label = (f"bar {index}: {_diameter_mm(bar['diameter'])} {_name(bar.get('material'))} "
                 f"at ({y_m:g}, {z_m:g}) m")
        body.append(f'<circle class="bar" cx="{_mm(x)}" cy="{_mm(y)}" r="{_mm(500.0 * abs(bar["diameter"]))}" '
                    f'stroke-width="{_mm(line / 2)}"><title>{_escape(label)}</title></circle>')

    # The axes from the origin: y to the right, z up.
    arm = 0.25 * size
    head = 2.5 * line
    body.append(f'<g class="axes" stroke-width="{_mm(line)}">'
                f'<path class="axis" d="M 0 0 H {_mm(arm)}"/>'
                f'<path class="axis-head" d="M {_mm(arm + 2 * head)} 0 L {_mm(arm)} {_mm(-head)} '
                f'L {_mm(arm)} {_mm(head)} Z"/>'
                f'<text class="axis-label" x="{_mm(arm + 2.5 * head)}" y="{_mm(font / 3)}" '
                f'font-size="{_mm(font)}">y</text>'
                f'<path class="axis" d="M 0 0 V {_mm(-arm)}"/>'
                f'<path class="axis-head" d="M 0 {_mm(-arm - 2 * head)} L {_mm(-head)} {_mm(-arm)} '
                f'L {_mm(head)} {_mm(-arm)} Z"/>'
                f'<text class="axis-label" x="{_mm(head)}" y="{_mm(-arm - 2.5 * head)}" '
                f'font-size="{_mm(font)}">z</text></g>')

    # The overall width below the concrete and its height on its left, in mm.
    if outline is not None:
        y_min, z_min, y_max, z_max = outline.bounds()
        (x0, y0), (x1, y1) = _xy((y_min, z_max)), _xy((y_max, z_min))
        below, beside = bottom + gap, left - gap
        tick = line * 3
        width_text, height_text = _mm(x1 - x0), _mm(y1 - y0)
        body.append(
            f'<g class="dimensions" stroke-width="{_mm(line / 2)}">'
            f'<path class="dimension" d="M {_mm(x0)} {_mm(below)} H {_mm(x1)} '
            f'M {_mm(x0)} {_mm(below - tick)} V {_mm(below + tick)} M {_mm(x1)} {_mm(below - tick)} '
            f'V {_mm(below + tick)}"/>'
            f'<text class="dimension-text" data-length="{width_text}" x="{_mm((x0 + x1) / 2)}" '
            f'y="{_mm(below + 1.3 * font)}" font-size="{_mm(font)}">{width_text}</text>'
            f'<path class="dimension" d="M {_mm(beside)} {_mm(y0)} V {_mm(y1)} '
            f'M {_mm(beside - tick)} {_mm(y0)} H {_mm(beside + tick)} M {_mm(beside - tick)} {_mm(y1)} '
            f'H {_mm(beside + tick)}"/>'
            f'<text class="dimension-text" data-length="{height_text}" x="{_mm(beside - 0.5 * font)}" '
            f'y="{_mm((y0 + y1) / 2)}" font-size="{_mm(font)}" '
            f'transform="rotate(-90 {_mm(beside - 0.5 * font)} {_mm((y0 + y1) / 2)})">{height_text}</text>'
            f'</g>')
        left, bottom = beside - 1.5 * font, below + 1.6 * font

    # The legend: what the section is made of.
    concrete_names = _concrete_names(section_data)
    shape = outline.shape if outline is not None else _shape_name(section_data)
    legend = [f"{title} on {section_data.get('name')} ({shape})",
              f"Concrete: {', '.join(concrete_names) or 'not given'}"]
    bar_kinds = Counter((_diameter_mm(bar.get("diameter")), _name(bar.get("material"))) for bar in bars)
    if bar_kinds:
        legend.append("Bars: " + ", ".join(f"{count} × {diameter} {steel}"
                                           for (diameter, steel), count in bar_kinds.items()))
    stirrup_kinds = Counter((_diameter_mm(s.get("diameter")), _name(s.get("material"))) for s in stirrups)
    if stirrup_kinds:
        legend.append("Stirrups: " + ", ".join(f"{count} × {diameter} {steel}"
                                               for (diameter, steel), count in stirrup_kinds.items()))
    legend.append("Dimensions in mm; y to the right, z up" +
                  (", origin at the centre of gravity" if "components" not in section_data else ""))
    y_text = bottom + 1.6 * font
    for index, text in enumerate(legend):
        body.append(f'<text class="legend" x="{_mm(left)}" y="{_mm(y_text + 1.5 * font * index)}" '
                    f'font-size="{_mm(font)}">{_escape(text)}</text>')
    bottom = y_text + 1.5 * font * (len(legend) - 1) + 0.6 * font
    top -= gap
    right += gap
    left -= 0.5 * gap
    text_width = max(len(text) for text in legend) * 0.55 * font
    right = max(right, left + text_width)

    width, height = right - left, bottom - top
    if not (math.isfinite(width) and math.isfinite(height)):
        raise ValueError(f"{title}: it reaches too far from the origin to be drawn (sizes are in metres)")
    scale = PIXELS / max(width, height)
    return "\n".join([
        f'<svg xmlns="{SVG_NS}" viewBox="{_mm(left)} {_mm(top)} {_mm(width)} {_mm(height)}" '
        f'width="{round(width * scale)}" height="{round(height * scale)}">',
        f"<title>{_escape(title)}</title>",
        f"<style>{STYLE}</style>",
        f'<rect x="{_mm(left)}" y="{_mm(top)}" width="{_mm(width)}" height="{_mm(height)}" fill="white"/>',
        *body,
        "</svg>",
        "",
    ])


def _items(items: Any, cls: type, noun: str, title: str) -> list[dict[str, Any]]:
    """The dictionaries of the bars or stirrups of a section, which must be what they say."""
    found = []
    for index, item in enumerate(items or (), 1):
        if not isinstance(item, cls):
            raise ValueError(f"{title}: {noun} {index} is a {type(item).__name__}, not a {cls.__name__}")
        found.append(item._serialize())  # type: ignore[attr-defined]
    return found


def _concrete_names(section_data: dict[str, Any]) -> list[str]:
    references = [section_data.get("material")] if "components" not in section_data else [
        component._serialize().get("material") for component in section_data.get("components") or ()]
    names: list[str] = []
    for reference in references:
        if reference is not None and _name(reference) not in names:
            names.append(_name(reference))
    return names


def _shape_name(section_data: dict[str, Any]) -> str:
    shape = section_data.get("cross_section_type")
    if shape is None:
        return "no outline"
    return f"shape {shape.name if isinstance(shape, objects.CrossSectionType) else repr(shape)}, outline not drawn"

