"""The dicts serialisers return are ordinary new dicts, whatever keys a call leaves out and however
often the same keys come back."""

import gc
import itertools
import weakref

import pytest

import ondrel.external.idea_rcs.objects as objects

class Node:
    pass


SWITCHES = ["uls_response", "uls_diagram", "uls_shear", "uls_torsion", "sls_crack", "fatigue"]


def test_every_subset_of_optional_keys_in_declaration_order():
    # More distinct key sequences than are kept prepared, each seen several times.
    for _ in range(3):
        for mask in itertools.product([None, True, False], repeat=len(SWITCHES)):
            setup = objects.CalculationSetup(**dict(zip(SWITCHES, mask)))
            expected = {k: v for k, v in zip(SWITCHES, mask) if v is not None}
            data = setup._serialize()
            assert data == expected and list(data) == list(expected)


def test_each_call_returns_a_new_dict_that_behaves_as_any_dict():
    bar = objects.ReinforcedBar([0.1, 0.2], 0.016, objects._ReferenceElement(2, "MatReinforcement"))
    first, second = bar._serialize(), bar._serialize()
    assert first is not second and first == second
    first["diameter"] = 1.0
    del first["coordinates"]
    first["extra"] = node = Node()
    assert list(first) == ["diameter", "material", "extra"]
    assert bar._serialize() == second and list(second) == ["coordinates", "diameter", "material"]
    # Its values may be containers: the collector must see the dict, or a cycle through it stays;
    # a dict of numbers and texts only is left out of its passes, as the interpreter does with its own.
    assert gc.is_tracked(second)
    forces = objects.ResultOfInternalForces(N=1.0, My=2.0)
    loading = objects.LoadingULS(forces)
    for _ in range(3):  # made the long way first, then the short way
        assert not gc.is_tracked(forces._serialize())
        assert gc.is_tracked(loading._serialize())
    node.back = first
    alive = weakref.ref(node)
    del first, node
    gc.collect()
    assert alive() is None


def test_inherited_keys_with_a_python_serialiser_in_between():
    class Audited(objects.LoadingULS):
        def _serialize(self):
            data = super()._serialize()
            data["audited"] = True
            return data

    class Tagged(Audited, objects.LoadingULS):
        pass

    forces = objects.ResultOfInternalForces(N=1.0)
    plain = objects.LoadingULS(forces)._serialize()
    assert Tagged(forces)._serialize() == {**plain, "audited": True}
    assert list(Tagged(forces)._serialize()) == [*plain, "audited"]


def test_material_chain_keys_in_base_then_own_order():
    steel = objects.MatReinforcementEc2(
        1, "B 500B", 200e9, 80e9, 0.3, 7850.0, 0.5, 1.2e-5, 50.0, True, 1, objects.ThermalState(),
        objects.BarSurface.RIBBED, 500e6, 1.08, 0.05, 540e6, objects.ReinfClass.B, objects.ReinfType.BARS,
        objects.ReinfFabrication.HOT_ROLLED, objects.ReinfDiagramType.BILINEAR_INCLINED)
    keys = list(steel._serialize())
    assert keys[:2] == ["id", "name"] and keys[-1] == "diagram_type" and len(keys) == len(set(keys))
    for _ in range(3):
        assert list(steel._serialize()) == keys


def test_a_base_serialiser_added_or_removed_later_is_used_from_then_on():
    base = objects.LoadingULS.__mro__[1]  # its own serialiser writes no key

    class Mid(base):
        pass

    class Leaf(objects.LoadingULS, Mid):
        pass

    forces = objects.ResultOfInternalForces(N=1.0)
    leaf = Leaf(forces)
    plain = leaf._serialize()
    assert plain == objects.LoadingULS(forces)._serialize()
    Mid._serialize = lambda self: {"from_mid": True}
    assert leaf._serialize() == {"from_mid": True, **plain}
    assert list(leaf._serialize()) == ["from_mid", *plain]
    del Mid._serialize
    assert leaf._serialize() == plain


def test_values_written_when_truthy_are_tested_as_python_does():
    class Falsy:
        def __bool__(self):
            return False

    class Empty:
        def __len__(self):
            return 0

    class Failing:
        def __bool__(self):
            raise RuntimeError("no truth")

    cases = [(None, False), (0, False), (0.0, False), ("", False), ([], False), (False, False), (Falsy(), False),
             (Empty(), False), (1, True), ("x", True), (object(), True), (objects.ExposureClassEc2Carbonation.XC1, True)]
    chlorides = objects.ExposureClassEc2Chlorides.XD1
    for _ in range(3):  # made the long way first, then the short way
        for value, written in cases:
            data = objects.ExposureClassesDataEc2(carbonation=value, chlorides=chlorides)._serialize()
            expected = {"carbonation": value, "chlorides": chlorides} if written else {"chlorides": chlorides}
            assert data == expected and list(data) == list(expected)
            assert not written or data["carbonation"] is value
        with pytest.raises(RuntimeError, match="no truth"):
            objects.ExposureClassesDataEc2(carbonation=Failing())._serialize()
