"""Reinforcement: bars, evenly spaced bar layers and stirrups on a reinforced cross-section."""
import inspect
import re
from collections import UserList
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest

from ondrel.external.idea_rcs import objects as o

STEEL = SimpleNamespace(id=3)  # any object with an id stands for a material
START_MESSAGE = "First entry of 'points' is the start-point and must be of type Tuple[float, float]."
RECTANGLE = [(0, 0), (0.3, 0), ((0.3, 0.4), (0.4, 0.2)), (0, 0.4)]


def section(**kwargs):
    return o.ReinforcedCrossSection(1, "beam", o._ReferenceElement(2, "CrossSectionComponent"), **kwargs)


def layer_coordinates(origin, number_of_bars, delta_y=None, delta_z=None):
    # The same float arithmetic as a layer is specified with: origin + step * i, the step a true division.
    step_y = 0.0 if delta_y is None else delta_y / (number_of_bars - 1)
    step_z = 0.0 if delta_z is None else delta_z / (number_of_bars - 1)
    return [(origin[0] + step_y * i, origin[1] + step_z * i) for i in range(number_of_bars)]


def test_what_python_sees_of_the_methods():
    assert str(inspect.signature(o.ReinforcedCrossSection.create_bar_layer)) == (
        "(self, *, origin: 'Tuple[float, float]', diameter: 'float', material: 'MatReinforcement', "
        "number_of_bars: 'int', delta_y: 'float' = None, delta_z: 'float' = None) -> 'None'")
    stirrup = inspect.signature(o.Stirrup.__init__)
    create = inspect.signature(o.ReinforcedCrossSection.create_stirrup)
    assert list(stirrup.parameters) == list(create.parameters) == [
        "self", "points", "diameter", "material", "distance", "shear_check", "torsion_check",
        "mandrel_diameter_factor", "anchorage_length"]
    assert [p.default for p in create.parameters.values()][5:] == [None] * 4
    assert (stirrup.parameters["material"].annotation, create.parameters["material"].annotation) == (
        "_ReferenceElement", "MatReinforcement")
    assert str(inspect.signature(o.ReinforcedCrossSection.__init__, eval_str=True)) == (
        "(self, id_: int, name: str, cross_section: ondrel.external.idea_rcs.objects._ReferenceElement, "
        "bars: List[ondrel.external.idea_rcs.objects.ReinforcedBar] = None, "
        "stirrups: List[ondrel.external.idea_rcs.objects.Stirrup] = None)")
    for cls, target in [(o.ReinforcedBar, "ReinforcedCrossSection.create_bar"),
                        (o.Stirrup, "ReinforcedCrossSection.create_stirrup"),
                        (o.ReinforcedCrossSection, "idea_rcs.OpenModel.create_reinforced_cross_section")]:
        assert cls.__init__.__doc__ == ("\n        Do not use this __init__ directly, but create the object by "
                                        f":meth:`~.{target}`.\n        ")
    assert o.ReinforcedCrossSection.create_stirrup.__doc__.endswith(
        "        :param anchorage_length: anchorage length [m] (default: 0.0)\n        ")


@pytest.mark.parametrize("origin, number_of_bars, delta_y, delta_z", [
    ((0.0, 0.0), 3, 0.2, None),
    ((0.05, 0.05), 4, None, 0.3),
    ((-0.25, 0.05), 7, 0.5, 0.125),
    ([1, 2], 2, -3, 0),              # integer origin and deltas still give floats
    ((0.1, 0.1), 3, 0.0, 0.0),       # zero deltas stack the bars
    ((2**60 + 1, 0.1), 3, 1.0, None),
    (UserList([0.05, 0.05]), 4, Fraction(3, 10), None),  # other number and sequence types
])
def test_bar_layer_coordinates(origin, number_of_bars, delta_y, delta_z):
    reinforced = section()
    reinforced.create_bar(("kept", "as given"), 0.02, STEEL)
    reinforced.create_bar_layer(origin=origin, diameter=0.016, material=STEEL, number_of_bars=number_of_bars,
                                delta_y=delta_y, delta_z=delta_z)
    first, *layer = reinforced.bars
    assert first.coordinates == ("kept", "as given")
    expected = layer_coordinates(origin, number_of_bars, delta_y, delta_z)
    assert [bar.coordinates for bar in layer] == expected
    assert all(type(c) is tuple and list(map(type, c)) == [float, float] for c in (b.coordinates for b in layer))
    assert {id(bar._material) for bar in layer} == {id(layer[0]._material)}  # one reference for the layer
    assert layer[0]._material._serialize() == {"type_name": "MatReinforcement", "id": 3}
    assert first._material is not layer[0]._material and first.material_id == 3
    assert [bar._serialize()["diameter"] for bar in layer] == [0.016] * number_of_bars


def test_bar_layer_calls_a_bar_class_bound_in_the_module_in_its_place(monkeypatch):
    made = []

    class CountedBar(o.ReinforcedBar):
        def __init__(self, *args):
            made.append(args[0])
            super().__init__(*args)

    monkeypatch.setattr(o, "ReinforcedBar", CountedBar)
    reinforced = section()
    reinforced.create_bar_layer(origin=(0.0, 0.1), diameter=0.01, material=STEEL, number_of_bars=3, delta_y=0.2)
    assert made == layer_coordinates((0.0, 0.1), 3, 0.2)
    assert all(type(bar) is CountedBar and bar.diameter == 0.01 for bar in reinforced.bars)


class FailingOrigin:
    def __init__(self, reads):
        self.reads = reads

    def __getitem__(self, index):
        self.reads -= 1
        if self.reads < 0:
            raise LookupError("origin gone")
        return 0.0


@pytest.mark.parametrize("changes, error, message", [
    ({"number_of_bars": 1, "delta_y": None}, ValueError, "^'number_of_bars' should be > 1$"),
    ({"material": object()}, ValueError, "^Either 'delta_y' or 'delta_z' should be defined$"),
    ({"material": object(), "delta_z": 0.1}, AttributeError, "id"),
    ({"number_of_bars": 2.5, "delta_y": 0.1}, TypeError, "cannot be interpreted as an integer"),
    ({"number_of_bars": None}, TypeError, "'<' not supported"),
    ({"origin": (0.0,), "delta_y": 0.1}, IndexError, "out of range"),
    ({"origin": FailingOrigin(reads=5), "delta_y": 0.1}, LookupError, "origin gone"),  # fails at the third bar
])
def test_a_refused_bar_layer_adds_no_bar(changes, error, message):
    reinforced = section()
    reinforced.create_bar((0.0, 0.0), 0.02, STEEL)
    arguments = {"origin": (0.0, 0.0), "diameter": 0.02, "material": STEEL, "number_of_bars": 4, **changes}
    with pytest.raises(error, match=message):
        reinforced.create_bar_layer(**arguments)
    assert len(reinforced.bars) == 1


def test_bar_layer_arguments_are_keyword_only():
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 positional arguments \(and 4 keyword"):
        section().create_bar_layer((0.0, 0.0), diameter=0.02, material=STEEL, number_of_bars=2, delta_y=0.1)
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'number_of_bars'"):
        section().create_bar_layer(origin=(0.0, 0.0), diameter=0.02, material=STEEL, delta_y=0.1)


class Metre(float):
    pass


@pytest.mark.parametrize("points", [RECTANGLE, [(True, 0)], [(Metre(1), "z not checked")], ([7, 8], "rest")])
def test_stirrup_start_point_accepted(points):
    reinforced = section()
    reinforced.create_stirrup(points, 0.008, STEEL, 0.2)
    stored = reinforced.stirrups[0]
    assert stored.points == list(points) and stored._serialize()["points"] is stored._points
    assert stored._points is not points and stored.points is not stored._points


@pytest.mark.parametrize("points, material, error", [
    ([((0, 0), (0.1, 0.1)), (0.3, 0)], STEEL, ValueError),  # an arc cannot start the stirrup
    ([(Decimal("0.1"), 0)], STEEL, ValueError),
    ([("0", 0)], STEEL, ValueError),
    ([((0, 0), (0.1, 0.1))], object(), AttributeError),  # the material is read first
    ([], STEEL, IndexError),
])
def test_stirrup_start_point_refused(points, material, error):
    reinforced = section()
    with pytest.raises(error, match=re.escape(START_MESSAGE) if error is ValueError else None):
        reinforced.create_stirrup(points, 0.008, material, 0.2)
    assert reinforced.stirrups == [] and "stirrups" not in reinforced._serialize()


@pytest.mark.parametrize("options, written, reported", [
    ({}, {}, (False, False, 1.0, 0.0)),
    ({"shear_check": False, "mandrel_diameter_factor": 0.0}, {"shear_check": False, "mandrel_diameter_factor": 0.0},
     (False, False, 1.0, 0.0)),
    ({"shear_check": True, "torsion_check": 1, "mandrel_diameter_factor": 4.0, "anchorage_length": 0.3},
     {"shear_check": True, "torsion_check": 1, "mandrel_diameter_factor": 4.0, "anchorage_length": 0.3},
     (True, 1, 4.0, 0.3)),
])
def test_stirrup_options_are_written_only_when_set(options, written, reported):
    stirrup = o.Stirrup(RECTANGLE, 0.008, o._ReferenceElement(3, "MatReinforcement"), 0.2, **options)
    stirrup.diameter, stirrup.distance = 0.01, 0.15  # public and read again at each serialisation
    data = stirrup._serialize()
    assert list(data) == ["points", "diameter", "material", "distance", *written]
    assert {key: data[key] for key in written} == written and (data["diameter"], data["distance"]) == (0.01, 0.15)
    assert (stirrup.shear_check, stirrup.torsion_check, stirrup.mandrel_diameter_factor,
            stirrup.anchorage_length) == reported
    assert stirrup.material_id == 3
    with pytest.raises(AttributeError):
        stirrup.shear_check = True


def test_section_copies_lists_in_and_out_and_writes_only_what_it_holds():
    bar = o.ReinforcedBar((0.1, 0.2), 0.02, o._ReferenceElement(3, "MatReinforcement"))
    given = [bar]
    reinforced = section(bars=given, stirrups=())
    assert reinforced._bars is not given and reinforced.bars == [bar] and reinforced.stirrups == []
    reinforced.bars.append(bar)
    reinforced.stirrups.append(bar)
    assert list(reinforced._serialize()) == ["id", "name", "cross_section", "bars"]
    assert reinforced._serialize()["bars"] is reinforced._bars and reinforced.bars is not reinforced.bars
    assert list(section()._serialize()) == ["id", "name", "cross_section"]
    assert list(bar._serialize()) == ["coordinates", "diameter", "material"]
    reinforced.create_stirrup(RECTANGLE, 0.008, STEEL, 0.2)
    assert list(reinforced._serialize()) == ["id", "name", "cross_section", "bars", "stirrups"]
    with pytest.raises(AttributeError):
        reinforced.bars = []
