"""Calculation setup and concrete member data: the enumerations, switches written only when set,
exposure classes written when truthy against numbers written when not None, fresh default objects,
and the module's export list and build order."""

import enum
import inspect

import pytest

from ondrel.external.idea_rcs import objects as o

SWITCHES = ["uls_response", "uls_diagram", "uls_shear", "uls_torsion", "uls_interaction", "sls_crack",
            "sls_stress_limitation", "sls_stiffnesses", "detailing", "m_n_kappa_diagram", "fatigue",
            "cross_section_characteristics"]
EXPOSURES = ["carbonation", "chlorides", "chlorides_from_sea", "freeze_attack", "chemical_attack"]
NUMBERS = ["coeff_kx_for_wmax", "creep_coefficient", "relative_humidity"]
MEMBER_KEYS = ["element", "member_type", "two_way_slab_type", "calculation_setup", "exposure_class_data"]


@pytest.mark.parametrize("cls, members", [
    (o.MemberType, {"UNDEFINED": 0, "BEAM": 1, "COLUMN": 2, "BEAM_SLAB": 4, "HOLLOW_CORE_SLAB": 8,
                    "TWO_WAY_SLAB": 16, "PLATE": 32, "WALL": 64}),
    (o.TwoWaySlabType, {"SLAB": 0, "WALL": 1, "DEEP_BEAM": 2, "SHELL_AS_PLATE": 3, "SHELL_AS_WALL": 4}),
    (o.ExposureClassEc2Carbonation, {"XC1": 1, "XC2": 2, "XC3": 3, "XC4": 4}),
    (o.ExposureClassEc2Chlorides, {"XD1": 1, "XD2": 2, "XD3": 3}),
    (o.ExposureClassEc2ChloridesFromSea, {"XS1": 1, "XS2": 2, "XS3": 3}),
    (o.ExposureClassEc2FreezeAttack, {"XF1": 1, "XF2": 2, "XF3": 3, "XF4": 4}),
    (o.ExposureClassEc2ChemicalAttack, {"XA1": 1, "XA2": 2, "XA3": 3}),
])
def test_enumerations(cls, members):
    assert {m.name: m.value for m in cls} == members and list(cls.__members__) == list(members)
    assert cls.__bases__ == (enum.Enum,) and cls.__module__ == "ondrel.external.idea_rcs.objects"
    assert cls.__annotations__ == dict.fromkeys(members, f"'{cls.__name__}'")
    with pytest.raises(ValueError):
        cls(max(members.values()) + 1)


def test_member_types_do_not_combine():
    with pytest.raises(ValueError):
        o.MemberType(3)


def test_calculation_setup_writes_only_the_switches_that_are_set():
    assert o.CalculationSetup()._serialize() == {}
    assert list(o.CalculationSetup(fatigue=True, uls_shear=False)._serialize().items()) == [
        ("uls_shear", False), ("fatigue", True)]
    every = o.CalculationSetup(**{name: i % 2 == 0 for i, name in reversed(list(enumerate(SWITCHES)))})
    assert list(every._serialize()) == SWITCHES
    assert o.CalculationSetup(detailing=0)._serialize() == {"detailing": 0}
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        o.CalculationSetup(True)


def member(*args, **kwargs):
    return o.ConcreteMemberDataEc2(o._ReferenceElement(1, "CheckMember"), o.MemberType.BEAM, o.TwoWaySlabType.SLAB,
                                   *args, **kwargs)


# The two optional-key tests: exposure classes are written when truthy, the numbers when not None.
@pytest.mark.parametrize("value", [0, 0.0, False, ""])
def test_a_falsy_exposure_class_is_left_out_but_a_falsy_number_is_written(value):
    exposures = o.ExposureClassesDataEc2(**dict.fromkeys(EXPOSURES, value))
    assert exposures._serialize() == {}
    data = member(**dict.fromkeys(NUMBERS, value))._serialize()
    assert list(data) == MEMBER_KEYS + NUMBERS and all(data[k] is value for k in NUMBERS)
    defaults = member(value, exposure_class_data=value)
    assert type(defaults._calculation_setup) is o.CalculationSetup
    assert type(defaults._exposure_class_data) is o.ExposureClassesDataEc2


def test_exposure_classes_that_are_set_are_written_in_table_order():
    exposures = o.ExposureClassesDataEc2(freeze_attack=o.ExposureClassEc2FreezeAttack.XF1,
                                         carbonation=o.ExposureClassEc2Carbonation.XC3)
    assert list(exposures._serialize().items()) == [
        ("carbonation", o.ExposureClassEc2Carbonation.XC3), ("freeze_attack", o.ExposureClassEc2FreezeAttack.XF1)]
    assert o.ExposureClassesDataEc2()._serialize() == {}
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        o.ExposureClassesDataEc2(o.ExposureClassEc2Carbonation.XC1)


def test_member_data_without_options_holds_fresh_empty_defaults():
    first, second = member(), member()
    data = first._serialize()
    assert list(data) == MEMBER_KEYS
    assert data["member_type"] is o.MemberType.BEAM and data["two_way_slab_type"] is o.TwoWaySlabType.SLAB
    assert type(data["calculation_setup"]) is o.CalculationSetup and data["calculation_setup"]._serialize() == {}
    assert type(data["exposure_class_data"]) is o.ExposureClassesDataEc2
    assert data["exposure_class_data"]._serialize() == {}
    assert first._calculation_setup is not second._calculation_setup
    assert first._exposure_class_data is not second._exposure_class_data
    assert first._serialize()["calculation_setup"] is first._calculation_setup


def test_member_data_keeps_what_it_is_given_positionally_and_writes_numbers_in_order():
    setup, exposures = o.CalculationSetup(detailing=False), o.ExposureClassesDataEc2()
    data = member(setup, None, exposures, 0.0, 80)._serialize()
    assert data["calculation_setup"] is setup and data["exposure_class_data"] is exposures
    assert list(data.items())[-2:] == [("creep_coefficient", 0.0), ("relative_humidity", 80)]
    assert list(vars(member(setup, 1.5, exposures, 2, 3))) == [
        "_element", "_member_type", "_two_way_slab_type", "_calculation_setup", "_coeff_kx_for_wmax",
        "_exposure_class_data", "_creep_coefficient", "_relative_humidity"]


@pytest.mark.parametrize("call, message", [
    (lambda: member(None, None, None, None, None, None),
     "ConcreteMemberDataEc2.__init__() takes from 4 to 9 positional arguments but 10 were given"),
    (lambda: o.ConcreteMemberDataEc2(None, None),
     "ConcreteMemberDataEc2.__init__() missing 1 required positional argument: 'two_way_slab_type'"),
    (lambda: o.ConcreteMemberData(None, None, None),
     "Can't instantiate abstract class ConcreteMemberData without an implementation for abstract method '__init__'"),
])
def test_bad_calls_fail_with_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == message


@pytest.mark.parametrize("function, signature", [
    (o.CalculationSetup.__init__, "(self, *, " + ", ".join(f"{n}: 'bool' = None" for n in SWITCHES) + ") -> 'None'"),
    (o.ExposureClassesDataEc2.__init__,
     "(self, *, carbonation: 'ExposureClassEc2Carbonation' = None, chlorides: 'ExposureClassEc2Chlorides' = None, "
     "chlorides_from_sea: 'ExposureClassEc2ChloridesFromSea' = None, "
     "freeze_attack: 'ExposureClassEc2FreezeAttack' = None, chemical_attack: 'ExposureClassEc2ChemicalAttack' = None) -> 'None'"),
    (o.ConcreteMemberData.__init__,
     "(self, element: '_ReferenceElement', member_type: 'MemberType', two_way_slab_type: 'TwoWaySlabType', "
     "calculation_setup: 'CalculationSetup' = None) -> 'None'"),
    (o.ConcreteMemberDataEc2.__init__,
     "(self, element: '_ReferenceElement', member_type: 'MemberType', two_way_slab_type: 'TwoWaySlabType', "
     "calculation_setup: 'CalculationSetup' = None, coeff_kx_for_wmax: 'float' = None, "
     "exposure_class_data: 'ExposureClassesDataEc2' = None, creep_coefficient: 'float' = None, "
     "relative_humidity: 'float' = None) -> 'None'"),
    (o.ConcreteMemberDataEc2._serialize, "(self) -> 'dict'"),
])
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
    resolved = inspect.signature(function, eval_str=True)
    assert all(not isinstance(p.annotation, str) for p in resolved.parameters.values())


def test_classes_and_docstrings(check_param_doc):
    check_param_doc(o.CalculationSetup.__init__, "Concrete calculation setup.")
    check_param_doc(o.ExposureClassesDataEc2.__init__, "Exposure Classes Ec2.")
    assert ":param m_n_kappa_diagram: M-N-κ diagram (default: False)." in o.CalculationSetup.__init__.__doc__
    assert o.ConcreteMemberDataEc2.__init__.__doc__ == (
        "\n        Do not use this __init__ directly, but create the object by "
        ":meth:`~.idea_rcs.OpenModel.add_member_data_ec2`.\n        ")
    assert o.ConcreteMemberData.__init__.__doc__ is None and o.ConcreteMemberData.__init__.__isabstractmethod__
    assert o.ConcreteMemberData.__bases__ == (o._OpenObject, o.ABC)
    assert o.ConcreteMemberData.__doc__ == " Abstract base class of all concrete member data. "
    assert o.ConcreteMemberDataEc2.__bases__ == (o.ConcreteMemberData,)
    assert o.CalculationSetup.__bases__ == o.ExposureClassesDataEc2.__bases__ == (o._OpenObject,)
    assert [c.__doc__ for c in (o.CalculationSetup, o.ExposureClassesDataEc2, o.ConcreteMemberDataEc2)] == [None] * 3


# Names of loads, check sections and member data, in the order the module builds them.
BUILD_ORDER = [
    "ResultOfInternalForces", "LoadingULS", "LoadingSLS", "FatigueLoading", "CheckSectionExtreme",
    "StandardCheckSectionExtreme", "CheckSection", "StandardCheckSection", "MemberType", "TwoWaySlabType",
    "CalculationSetup", "ConcreteMemberData", "ExposureClassEc2Carbonation", "ExposureClassEc2Chlorides",
    "ExposureClassEc2ChloridesFromSea", "ExposureClassEc2FreezeAttack", "ExposureClassEc2ChemicalAttack",
    "ExposureClassesDataEc2", "ConcreteMemberDataEc2"]


def test_the_module_builds_these_classes_in_order_and_exports_all_but_the_abstract_member_data():
    names = list(vars(o))
    assert [n for n in names if n in BUILD_ORDER] == BUILD_ORDER
    assert names.index("CodeSettings") < names.index("ResultOfInternalForces")
    exported = [n for n in o.__all__ if n in BUILD_ORDER]
    assert exported == sorted(set(BUILD_ORDER) - {"ConcreteMemberData"})
    assert o.__all__ == sorted(o.__all__) and "ConcreteMemberData" not in o.__all__
