"""OpenModel.check(): every finding at once; write() refuses the errors and warns of the rest."""
import copy
import datetime
import importlib.util
import pickle
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

from ondrel.external.idea_rcs import ModelError, ModelIssue, ModelWarning, OpenModel, objects as o

ROOT = Path(__file__).resolve().parents[2]


def build_beam():
    spec = importlib.util.spec_from_file_location("idea_beam", ROOT / "examples" / "idea_beam.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.build_beam()


def second_steel_of_another_model(m):
    """IDEA's B 600A made by another model, with the id 2 that this model's second steel has too."""
    m.create_matreinforcement_ec2(o.ReinforcementMaterial.B_500B, name="B 500B spare")
    other = OpenModel()
    other.create_matreinforcement_ec2(o.ReinforcementMaterial.B_500A)
    return other.create_matreinforcement_ec2(o.ReinforcementMaterial.B_600A)


def box(m):
    """A 0.6 m square box with a 0.3 m square void, and a reinforced section on it."""
    section = m.create_cross_section_component("Box")
    section.create_component([(-0.3, -0.3), (0.3, -0.3), (0.3, 0.3), (-0.3, 0.3)], m.concrete_materials[0],
                             openings=[[(-0.15, -0.15), (0.15, -0.15), (0.15, 0.15), (-0.15, 0.15)]])
    return m.create_reinforced_cross_section("Box R", section)


def rect(m, **parameters):
    return m.create_cross_section_parameter("R", o.CrossSectionType.RECT, m.concrete_materials[0], **parameters)


def rcs(m):
    return m.reinforced_cross_sections[0]


def steel(m):
    return m.reinforcement_materials[0]


ERRORS = [
    pytest.param(lambda m: rcs(m).create_bar((0.0, 0.0), 0.012, second_steel_of_another_model(m)), "material",
                 r"bar 13 of reinforced cross-section 'R1' \(id 1\): 'material' is the reinforcement material "
                 r"'B 600A' \(id 2\) of another OpenModel", id="steel of another model"),
    pytest.param(lambda m: rcs(m).create_bar((0.0, 0.0), 0.012, m.concrete_materials[0]), "material",
                 r"bar 13 .*: 'material' is the concrete material 'C30/37' \(id 1\), not a reinforcement material",
                 id="concrete as a bar's steel"),
    pytest.param(lambda m: rcs(m).create_bar_layer(origin=(0.0, 0.0), diameter=0.012, material=m.concrete_materials[0],
                                                   number_of_bars=2, delta_z=0.1), "material",
                 r"bar 14 .*: 'material' is the concrete material 'C30/37'", id="concrete as a layer's steel"),
    pytest.param(lambda m: rcs(m).create_stirrup([(0.0, 0.0), (0.0, 0.1)], 0.008, second_steel_of_another_model(m),
                                                 0.15), "material",
                 r"stirrup 3 of .*: 'material' is the reinforcement material 'B 600A' \(id 2\) of another OpenModel",
                 id="stirrup of another model's steel"),
    pytest.param(lambda m: m.create_cross_section_component("C").create_component(
                     [(0, 0), (1, 0), (1, 1)], steel(m)), "material",
                 r"component 1 of cross-section 'C' \(id 2\): 'material' is the reinforcement material 'B 500B' "
                 r"\(id 1\), not a concrete material", id="steel as concrete"),
    pytest.param(lambda m: rcs(m).create_bar((0.0, 0.0), 0.012, o.MatReinforcementEc2(
                     1, "Hand-made", 200000.0, 76923.0, 0.3, 7850.0, 440.0, 1e-05, 53.3, False, 0, o.ThermalState(),
                     o.BarSurface.RIBBED, 500.0, 1.08, 0.05, 540.0, o.ReinfClass.B, o.ReinfType.BARS,
                     o.ReinfFabrication.HOT_ROLLED, o.ReinfDiagramType.BILINEAR_INCLINED)), "material",
                 r"bar 13 .*: 'material' refers to MatReinforcement id 1 by number only", id="steel made by hand"),
    pytest.param(lambda m: setattr(steel(m), "_id", 5), "material",
                 r"bar 1 of reinforced cross-section 'R1' \(id 1\): 'material' refers to the reinforcement material "
                 r"'B 500B' \(id 5\) by its former id 1", id="steel renumbered after use"),
    pytest.param(lambda m: rcs(m).create_bar((0.0, 0.0), 0.012, OpenModel().create_matconcrete_ec2(
                     o.ConcreteMaterial.C20_25)), "material",
                 r"bar 13 .*: 'material' is the concrete material 'C20/25' \(id 1\) of another OpenModel",
                 id="concrete of another model as steel"),
    pytest.param(lambda m: rect(m, width=0.3, Height=0.5), "width",
                 r"cross-section 'R' \(id 2\): RECT has no parameter 'width' \(its parameters: Width, Height\); "
                 r"did you mean 'Width'\?", id="misspelt dimension"),
    pytest.param(lambda m: rect(m, Width=0.3), "Height",
                 r"cross-section 'R' \(id 2\): the RECT parameter 'Height' is missing", id="dimension left out"),
    pytest.param(lambda m: rect(m, Width=0.3, Height=0.0), "Height", r"'Height' must be positive, got 0 m",
                 id="dimension of zero"),
    pytest.param(lambda m: rect(m, Width="0.3", Height=0.5), "Width",
                 r"'Width' must be a number of metres, got the text '0.3'", id="dimension as text"),
    pytest.param(lambda m: rcs(m).create_bar((0.0, 0.0), -0.02, steel(m)), "diameter",
                 r"bar 13 .*: the diameter must be positive, got -0.02 m", id="negative bar diameter"),
    pytest.param(lambda m: rcs(m).create_stirrup([(0.0, 0.0)], 0.008, steel(m), 0.15), "points",
                 r"stirrup 3 of reinforced cross-section 'R1' \(id 1\) has 1 point; a stirrup needs at least two",
                 id="one-point stirrup"),
    pytest.param(lambda m: rcs(m).create_stirrup([(0.0, 0.0), (0.0, 0.1)], 0.008, steel(m), 0.0), "distance",
                 r"stirrup 3 .*: the spacing 'distance' must be positive, got 0 m", id="stirrup spacing of zero"),
    pytest.param(lambda m: m.add_member_data_ec2(m.check_members[0], o.MemberType.BEAM, o.TwoWaySlabType.SLAB),
                 "element", r"member data 2 \(of check member id 1\): the check member id 1 has member data twice "
                            r"\(member data 1 and 2\)", id="member data twice"),
    pytest.param(lambda m: setattr(m, "project_data", o.ProjectData(date="2026-12-08")), "date",
                 r"project data: 'date' must be a datetime.date, e.g. datetime.date\(2026, 12, 8\), got the text "
                 r"'2026-12-08'", id="date as text"),
    pytest.param(lambda m: setattr(m, "project_data", o.ProjectData(date=datetime.datetime(2026, 12, 8, 15, 30))),
                 "date", r"project data: 'date' 2026-12-08 15:30:00 has a time of day, which the file does not keep "
                         r"\(it holds the day\); give a datetime.date", id="date with a time of day"),
    pytest.param(lambda m: setattr(m, "code_settings", o.CodeSettings(theta="38")), "theta",
                 r"code settings: 'theta' must be a number of degrees, got the text '38'", id="angle as text"),
]


@pytest.mark.parametrize("spoil, field, message", ERRORS)
def test_errors_are_found_and_nothing_is_written(spoil, field, message, tmp_path):
    model = build_beam()
    spoil(model)
    found = [issue for issue in model.check() if issue.severity == "error"]
    named = [issue for issue in found if issue.field == field and re.search(message, issue.message)]
    assert len(named) == 1 and named[0].object is not None, found
    with pytest.raises(ModelError, match=message) as raised:
        model.write(tmp_path / "beam.xml")
    assert raised.value.issues == found and isinstance(raised.value, ValueError)
    assert list(tmp_path.iterdir()) == []


def put_bar_in_the_void(m):
    box(m).create_bar((0.0, 0.0), 0.016, steel(m))


WARNINGS = [
    pytest.param(lambda m: rect(m, Width=300, Height=0.5), "Width",
                 r"cross-section 'R' \(id 2\): 'Width' 300 m looks like millimetres; the dimensions are in metres "
                 r"\(300 mm is 0.3\)", id="width in mm"),
    pytest.param(lambda m: rcs(m).create_bar((0.0, 0.0), 20, steel(m)), "diameter",
                 r"bar 13 .*: a diameter of 20 m is larger than any reinforcing bar; diameters are in metres "
                 r"\(20 mm is 0.02\)", id="bar diameter in mm"),
    pytest.param(lambda m: rcs(m).create_bar((0.12, -0.5), 0.012, steel(m)), "coordinates",
                 r"bar 13 of reinforced cross-section 'R1' \(id 1\) at \(0.12, -0.5\) m lies outside the concrete "
                 r"outline of cross-section 'Tsection' \(id 1\)", id="bar outside the concrete"),
    pytest.param(lambda m: rcs(m).create_bar(np.array([0.12, -0.5]), 0.012, steel(m)), "coordinates",
                 r"bar 13 .* at \(0.12, -0.5\) m lies outside the concrete", id="bar outside, given as an array"),
    pytest.param(lambda m: rcs(m).create_bar((0.12, -0.4), 0.012, steel(m)), "coordinates",
                 r"bar 13 .* at \(0.12, -0.4\) m reaches out of the concrete outline of cross-section 'Tsection'",
                 id="bar reaching out of the concrete"),
    pytest.param(put_bar_in_the_void, "coordinates",
                 r"bar 1 of reinforced cross-section 'Box R' \(id 2\) at \(0, 0\) m lies outside the concrete "
                 r"outline of cross-section 'Box' \(id 2\)", id="bar in an opening"),
    pytest.param(lambda m: rcs(m).create_stirrup([(-0.091, 0.2257), (-0.091, -0.5), (0.091, -0.5)], 0.008,
                                                 steel(m), 0.15), "points",
                 r"stirrup 3 .*: 2 of its points lie outside the concrete outline of cross-section 'Tsection' "
                 r"\(id 1\): \(-0.091, -0.5\), \(0.091, -0.5\) m", id="stirrup outside the concrete"),
    pytest.param(lambda m: rcs(m).create_stirrup(np.array([(-0.091, 0.2257), (-0.091, -0.5)]), 0.008, steel(m), 0.15),
                 "points", r"stirrup 3 .*: 1 of its points lie outside the concrete outline .*: \(-0.091, -0.5\) m",
                 id="stirrup outside, given as an array"),
    pytest.param(lambda m: m.create_cross_section_component("C").create_component(
                     np.array([(0.0, 0.0), (300.0, 0.0), (300.0, 500.0)]), m.concrete_materials[0]), "outline",
                 r"component 1 of cross-section 'C' \(id 2\): the point \(300, 0\) m of 'outline' looks like "
                 r"millimetres",
                 id="outline in mm, given as an array"),
    pytest.param(lambda m: rcs(m).create_stirrup([(0.0, 0.0), (0.0, 0.1)], 0.008, steel(m), 150), "distance",
                 r"a spacing of 150 m looks like millimetres", id="stirrup spacing in mm"),
    pytest.param(lambda m: m.check_sections[0].create_extreme(), None,
                 r"extreme 'S1 - E 2' of check section 'S1' \(id 1\) has no loading", id="extreme with no loading"),
    pytest.param(lambda m: setattr(m, "code_settings", o.CodeSettings(theta=95)), "theta",
                 r"code settings: a strut angle 'theta' of 95° lies outside 21.8° to 45°", id="strut angle of 95°"),
    pytest.param(lambda m: setattr(m, "code_settings", o.CodeSettings(theta_min=0.38)), "theta_min",
                 r"a strut angle 'theta_min' of 0.38° looks like radians", id="strut angle in radians"),
    pytest.param(lambda m: m.add_member_data_ec2(m.create_check_member1d("B2"), o.MemberType.BEAM,
                                                 o.TwoWaySlabType.SLAB, relative_humidity=0.65),
                 "relative_humidity", r"member data 2 \(of check member 'B2' \(id 2\)\): a relative humidity of "
                                      r"0.65 % looks like a fraction; it is in % \(65 for 65 %\)",
                 id="humidity as a fraction"),
    pytest.param(lambda m: setattr(m.concrete_materials[0], "_stone_diameter", 16), "stone_diameter",
                 r"concrete material 'C30/37' \(id 1\): aggregate size 16 m looks like millimetres",
                 id="aggregate size in mm"),
    pytest.param(lambda m: setattr(m.concrete_materials[0], "_fck", 30e6), "fck",
                 r"'fck' 3e\+07 MPa looks like Pa", id="strength in Pa"),
]


@pytest.mark.parametrize("spoil, field, message", WARNINGS)
def test_warnings_are_found_and_the_model_is_written_with_a_model_warning(spoil, field, message, tmp_path):
    model = build_beam()
    spoil(model)
    found = model.check()
    assert [(issue.severity, issue.field) for issue in found] == [("warning", field)], found
    assert re.search(message, found[0].message), found[0].message
    with pytest.warns(ModelWarning, match=message):
        model.write(tmp_path / "beam.xml")
    assert (tmp_path / "beam.xml").is_file()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ModelWarning)  # users may escalate them
        with pytest.raises(ModelWarning):
            model.to_xml()


def test_a_sound_model_has_no_finding():
    assert build_beam().check() == []


def test_every_error_is_listed_at_once_with_the_writers_own(tmp_path):
    model = build_beam()
    model.reinforced_cross_sections[0].create_bar((0.0, 0.0), -0.02, model.concrete_materials[0])
    rect(model, Width=0.3)
    model.project_data = o.ProjectData(date="2026-12-08")
    model.check_sections[0].create_extreme(fundamental=o.LoadingULS(o.ResultOfInternalForces(My=float("nan"))))
    with pytest.raises(ModelError) as raised:
        model.write(tmp_path / "beam.xml")
    messages = [issue.message for issue in raised.value.issues]
    assert len(messages) == 5, messages
    assert str(raised.value).startswith("the model cannot be written (5 errors):\n  - ")
    assert all(f"\n  - {message}" in str(raised.value) for message in messages)
    assert "'My' must be a finite number" in messages[-1]  # the writer's finding, after the checks'
    assert not any("cannot be read" in message for message in messages)  # the date is named once
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("spoil, messages", [
    (lambda m: rcs(m).create_stirrup([(0.0, 0.0), None, (0.05, 0.0)], 0.008, steel(m), 0.15),
     ["ReinforcedCrossSection (id 1) > stirrups[3]: 'points'[2] must be a (y, z) pair, got None"]),
    (lambda m: rect(m, Width=None, Height=float("nan")),
     ["cross-section 'R' (id 2): 'Width' must be a number of metres, got NoneType None",
      "cross-section 'R' (id 2): 'Height' must be a number of metres, got float nan"]),
])
def test_a_fault_is_named_once(spoil, messages):
    model = build_beam()
    spoil(model)
    assert [issue.message for issue in model.check()] == messages


def test_an_issue_reads_as_its_severity_and_message():
    issue = ModelIssue("warning", None, "theta", "code settings: θ 95°")
    assert str(issue) == "warning: code settings: θ 95°"


@pytest.mark.parametrize("duplicate", [copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))])
def test_copies_of_a_model_keep_their_references_traced(duplicate):
    model = build_beam()
    twin = duplicate(model)
    assert twin.check() == [] and twin.to_xml() == model.to_xml()
    twin.reinforced_cross_sections[0].create_bar((0.0, 0.0), 0.012, model.reinforcement_materials[0])
    assert [issue.field for issue in twin.check()] == ["material"]  # the original's steel is foreign to the copy


def test_ids_stay_plain_numbers_to_the_user():
    model = OpenModel()
    concrete = model.create_matconcrete_ec2(o.ConcreteMaterial.C30_37)
    assert concrete.id == 1 and repr(concrete.id) == "1" and isinstance(concrete.id, int)
    assert f"{concrete.id}" == "1" and {concrete.id: "C30/37"}[1] == "C30/37"


def test_a_date_is_written_as_given():
    model = OpenModel(project_data=o.ProjectData(date=datetime.date(2026, 12, 8)))
    assert model.check() == []
    assert "<Date>2026-12-08T00:00:00</Date>" in model.to_xml()


# IDEA puts a parametric shape's centre of gravity at the origin; (inside, outside) points that tell.
SHAPES = [
    pytest.param(o.CrossSectionType.RECT, dict(Width=0.3, Height=0.5), (0.1, 0.2), (0.2, 0.0), id="rectangle"),
    pytest.param(o.CrossSectionType.O, dict(D=0.5), (0.0, 0.2), (0.2, 0.2), id="circle"),
    pytest.param(o.CrossSectionType.TG, dict(Height=0.7, Width=0.8, TopFlangeWidth=0.16, WallWidth=0.25),
                 (0.35, 0.2), (0.35, -0.2), id="T"),
    pytest.param(o.CrossSectionType.TGREV, dict(Height=0.7, Width=0.8, TopFlangeWidth=0.16, WallWidth=0.25),
                 (0.35, -0.2), (0.35, 0.2), id="inverted T"),
    # Centre of gravity 0.35 m above the narrow bottom: top at z = 0.25, bottom at z = -0.35.
    pytest.param(o.CrossSectionType.TRAPEZOID, dict(Height=0.6, TopWidth=0.6, BottomWidth=0.2),
                 (0.25, 0.2), (0.25, -0.3), id="trapezoid"),
    # Centre of gravity 0.5317 m above the bottom: the top flange spans z 0.3183 to 0.4683.
    pytest.param(o.CrossSectionType.IGN, dict(H=1.0, Bh=0.6, Bs=0.4, Th=0.15, Ts=0.2, Tw=0.2),
                 (0.28, 0.42), (0.28, 0.0), id="I"),
]


@pytest.mark.parametrize("shape, parameters, inside, outside", SHAPES)
def test_bars_are_placed_in_the_shape_as_idea_places_it(shape, parameters, inside, outside):
    model = OpenModel()
    concrete = model.create_matconcrete_ec2(o.ConcreteMaterial.C30_37)
    steel_ = model.create_matreinforcement_ec2(o.ReinforcementMaterial.B_500B)
    section = model.create_reinforced_cross_section(
        "S", model.create_cross_section_parameter("P", shape, concrete, **parameters))
    section.create_bar(inside, 0.012, steel_)
    assert model.check() == []
    section.create_bar(outside, 0.012, steel_)
    assert [(i.severity, i.field, i.message.split(" at ")[0]) for i in model.check()] == [
        ("warning", "coordinates", "bar 2 of reinforced cross-section 'S' (id 1)")]
