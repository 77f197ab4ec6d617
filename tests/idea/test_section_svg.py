"""section_svg(): the reinforced section drawn to scale, checked by reading the SVG back."""
import importlib.util
import re
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

from ondrel.external.idea_rcs import OpenModel, objects as o, section_svg

ROOT = Path(__file__).resolve().parents[2]
SVG = "{http://www.w3.org/2000/svg}"


def load_example():
    spec = importlib.util.spec_from_file_location("idea_beam", ROOT / "examples" / "idea_beam.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def drawn(element, cls):
    return [e for e in element.iter() if e.get("class") == cls]


def section_point(x, y):
    """A drawing point (mm, SVG's y down) as a section point (m, z up)."""
    return (float(x) / 1000, -float(y) / 1000)


def test_the_demo_beam_shows_every_bar_at_its_place_and_diameter(tmp_path, capsys):
    load_example().main(str(tmp_path / "beam.xml"))
    assert "section.svg" in capsys.readouterr().out
    svg = ET.parse(tmp_path / "section.svg").getroot()  # written beside beam.xml
    beam = load_example().build_beam().reinforced_cross_sections[0]

    circles = drawn(svg, "bar")
    assert len(circles) == len(beam.bars) == 12
    for circle, bar in zip(circles, beam.bars):
        assert section_point(circle.get("cx"), circle.get("cy")) == pytest.approx(bar.coordinates, abs=1e-5)
        assert 2 * float(circle.get("r")) / 1000 == pytest.approx(bar.diameter, abs=1e-5)
        assert "B 500B" in circle.findtext(f"{SVG}title")

    stirrups = drawn(svg, "stirrup")
    assert [float(s.get("stroke-width")) for s in stirrups] == [8.0, 8.0]
    web = [c for x, y in re.findall(r"[ML] (\S+) (\S+)", stirrups[0].get("d")) for c in section_point(x, y)]
    assert web == pytest.approx([c for p in beam.stirrups[0].points for c in p], abs=1e-5)
    assert stirrups[0].get("d").endswith("Z")

    concrete, = drawn(svg, "concrete")
    corners = [section_point(x, y) for x, y in re.findall(r"[ML] (\S+) (\S+)", concrete.get("d"))]
    ys, zs = [p[0] for p in corners], [p[1] for p in corners]
    assert (min(ys), max(ys), max(zs) - min(zs)) == pytest.approx((-0.4, 0.4, 0.7), abs=1e-5)
    # IDEA puts the centre of gravity of the T at the origin: 0.2597 m below the top face.
    assert max(zs) == pytest.approx(0.2597, abs=1e-4)
    assert sorted(t.get("data-length") for t in drawn(svg, "dimension-text")) == ["700", "800"]
    assert [t.text for t in drawn(svg, "axis-label")] == ["y", "z"]
    legend = " ".join(t.text for t in drawn(svg, "legend"))
    assert "C30/37" in legend and "10 × Ø12 B 500B, 2 × Ø20 B 500B" in legend and "2 × Ø8 B 500B" in legend


def test_openings_arcs_and_round_sections_are_drawn():
    model = OpenModel()
    concrete = model.create_matconcrete_ec2(o.ConcreteMaterial.C30_37)
    steel = model.create_matreinforcement_ec2(o.ReinforcementMaterial.B_500B)
    box = model.create_cross_section_component("Box")
    box.create_component([(-0.3, -0.3), (0.3, -0.3), (0.3, 0.3), (-0.3, 0.3)], concrete,
                         openings=[[(-0.15, -0.15), (0.15, -0.15), (0.15, 0.15), (-0.15, 0.15)]])
    hollow = model.create_reinforced_cross_section("Box R", box)
    hollow.create_stirrup([(-0.25, 0.25), (-0.25, 0.0), ((0.25, 0.0), (0.0, -0.25)), (0.25, 0.25)], 0.008, steel, 0.2)
    svg = ET.fromstring(section_svg(hollow))
    concrete_path, = drawn(svg, "concrete")
    assert concrete_path.get("d").count("Z") == 2  # the outline and its void, filled even-odd
    stirrup, = drawn(svg, "stirrup")
    # The arc from (-0.25, 0) through (0, -0.25) to (0.25, 0): a half circle of 0.25 m, bulging down.
    assert "A 250 250 0 0 0 250 0" in stirrup.get("d")

    column = model.create_cross_section_parameter("Round", o.CrossSectionType.O, concrete, D=0.5)
    round_r = model.create_reinforced_cross_section("Round R", column)
    round_r.create_bar((0.0, 0.2), 0.02, steel)
    svg = ET.fromstring(section_svg(round_r))
    disc, = drawn(svg, "concrete")
    assert (disc.tag, disc.get("cx"), disc.get("cy"), disc.get("r")) == (f"{SVG}circle", "0", "0", "250")
    bar, = drawn(svg, "bar")
    assert (bar.get("cx"), bar.get("cy"), bar.get("r")) == ("0", "-200", "10")


def test_a_section_that_no_model_made_cannot_be_drawn():
    loose = o.ReinforcedCrossSection(1, "Loose", o._ReferenceElement(1, "CrossSection"))
    with pytest.raises(ValueError, match="Reinforced cross-section Loose: its cross-section is not known"):
        section_svg(loose)


def rectangle_section(steel_name="B 500B", section_name="R1"):
    model = OpenModel()
    concrete = model.create_matconcrete_ec2(o.ConcreteMaterial.C30_37)
    steel = model.create_matreinforcement_ec2(o.ReinforcementMaterial.B_500B, name=steel_name)
    rect = model.create_cross_section_parameter("Rect", o.CrossSectionType.RECT, concrete, Width=0.3, Height=0.5)
    return model.create_reinforced_cross_section(section_name, rect), steel


def test_bars_and_stirrups_are_drawn_however_their_points_are_given():
    section, steel = rectangle_section()
    section.create_bar(np.array([0.1, -0.2]), 0.02, steel)
    section.create_bar((-0.1, -0.2), -0.02, steel)  # a sign slip is drawn, so that it can be seen
    section.create_stirrup(np.array([(-0.12, 0.22), (-0.12, -0.22), (0.12, -0.22)]), 0.008, steel, 0.15)
    svg = ET.fromstring(section_svg(section))
    assert [(bar.get("cx"), bar.get("cy"), bar.get("r")) for bar in drawn(svg, "bar")] == [
        ("100", "200", "10"), ("-100", "200", "10")]
    stirrup, = drawn(svg, "stirrup")
    assert stirrup.get("d") == "M -120 -220 L -120 220 L 120 220"


def test_a_section_with_faults_is_drawn_or_refused_by_name():
    model = OpenModel()
    concrete = model.create_matconcrete_ec2(o.ConcreteMaterial.C30_37)
    shape_as_text = model.create_cross_section_parameter("Rect", "RECT", concrete, Width=0.3, Height=0.5)
    svg = ET.fromstring(section_svg(model.create_reinforced_cross_section("R1", shape_as_text)))
    assert "shape 'RECT', outline not drawn" in " ".join(t.text for t in drawn(svg, "legend"))
    gap = model.create_reinforced_cross_section("R2", shape_as_text, bars=[None])
    with pytest.raises(ValueError, match="Reinforced cross-section R2: bar 1 is a NoneType, not a ReinforcedBar"):
        section_svg(gap)
    bar = o.ReinforcedBar((0.0, 0.0), 0.01, o._ReferenceElement(1, "MatReinforcement"))
    bar_as_stirrup = model.create_reinforced_cross_section("R3", shape_as_text, stirrups=[bar])
    with pytest.raises(ValueError, match="Reinforced cross-section R3: stirrup 1 is a ReinforcedBar, not a Stirrup"):
        section_svg(bar_as_stirrup)


@pytest.mark.parametrize("steel_name, section_name, point, message", [
    ("B\x01500", "R1", (0.0, 0.0), r"'bar 1: Ø20 B\\x01500 at \(0, 0\) m' holds a character that XML cannot carry"),
    ("B 500B", "R\ud800", (0.0, 0.0), r"'Reinforced cross-section R\\ud800 on Rect .*' holds a character that XML "
                                      r"cannot carry"),
    ("B 500B", "R1", (1e307, 0.0), r"Reinforced cross-section R1: it reaches too far from the origin to be drawn"),
])
def test_what_svg_cannot_show_is_refused_by_name(steel_name, section_name, point, message):
    section, steel = rectangle_section(steel_name, section_name)
    section.create_bar(point, 0.02, steel)
    with pytest.raises(ValueError, match=message):
        section_svg(section)
