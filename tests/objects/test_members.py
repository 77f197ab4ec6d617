"""Check members and the thermal state of a material."""

import inspect

import pytest

import ondrel.external.idea_rcs.objects as objects
from ondrel.external.idea_rcs.objects import CheckMember, CheckMember1D, ThermalState, ThermalStateType

THERMAL_KEYS = ["expansion", "conductivity", "specific_heat", "stress_strain", "strain"]


def test_thermal_state_type_values_and_annotations():
    assert [(m.name, m.value) for m in ThermalStateType] == [("NONE", 0), ("CODE", 1), ("USER", 5)]
    assert ThermalStateType.__annotations__ == dict.fromkeys(["NONE", "CODE", "USER"], "'ThermalStateType'")
    with pytest.raises(ValueError):
        ThermalStateType(2)


def test_check_member_is_abstract_and_its_1d_form_writes_id_then_name():
    with pytest.raises(TypeError, match="abstract"):
        CheckMember(1)
    assert CheckMember.__bases__ == (objects._OpenElementId, objects.ABC)
    assert CheckMember.__doc__ == " Abstract base class of all check members. "
    member = CheckMember1D(1, "Beam")
    assert list(member._serialize().items()) == [("id", 1), ("name", "Beam")]
    member.name = None  # a public attribute, read when serialised
    assert member._serialize() == {"id": 1, "name": None}
    assert vars(member) == {"_id": 1, "name": None}
    assert str(inspect.signature(CheckMember1D, eval_str=True)) == "(id_: int, name: str)"
    assert CheckMember1D.__init__.__doc__ == (
        "\n        Do not use this __init__ directly, but create the object by "
        ":meth:`~.idea_rcs.OpenModel.create_check_member1d`.\n        ")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
        CheckMember1D(1)


def test_thermal_state_defaults_are_the_none_member_itself():
    params = list(inspect.signature(ThermalState).parameters.values())
    assert [p.name for p in params] == THERMAL_KEYS
    assert all(p.default is ThermalStateType.NONE and p.annotation == "ThermalStateType" for p in params)
    assert ThermalState.__init__.__annotations__ == dict.fromkeys(THERMAL_KEYS, "ThermalStateType")
    assert ThermalState.__init__.__doc__.startswith(
        " Collection of thermal states for expansion, conductivity, specific heat, stress-strain and strain.\n\n"
        "        :param expansion: state of thermal expansion curvature.\n")
    dictionary = ThermalState()._serialize()
    assert list(dictionary) == THERMAL_KEYS
    assert all(v is ThermalStateType.NONE for v in dictionary.values())


@pytest.mark.parametrize("args, kwargs", [((), {"stress_strain": ThermalStateType.USER}),
                                          ((None, None, None, ThermalStateType.USER), {})])
def test_thermal_state_stores_what_it_is_given(args, kwargs):
    dictionary = ThermalState(*args, **kwargs)._serialize()
    assert dictionary["stress_strain"] is ThermalStateType.USER and dictionary["stress_strain"].value == 5
    assert dictionary["strain"] is ThermalStateType.NONE
    assert ThermalState()._serialize() is not ThermalState()._serialize()
