"""Materials: their constructors, the dictionaries they write and their enumerations."""

import inspect

import pytest

import ondrel.external.idea_rcs.objects as objects
from ondrel.external.idea_rcs.objects import (ConcDependentParams, MatConcrete, MatConcreteEc2, MatReinforcement,
                                              MatReinforcementEc2, ThermalState, ThermalStateType)

MATERIAL = ["id", "name", "e_modulus", "g_modulus", "poisson", "unit_mass", "specific_heat", "thermal_expansion",
            "thermal_conductivity", "is_default", "order_in_code", "thermal_state"]
STEEL = MATERIAL + ["bar_surface", "fyk", "ftk_by_fyk", "epsuk", "ftk", "class", "type", "fabrication", "diagram_type"]
CONCRETE = MATERIAL + ["fck", "stone_diameter", "cement_class", "aggregate_type", "diagram_type", "silica_fume",
                       "plain_concrete_diagram", "dep_params"]


def values(count, thermal_state=None):
    """Distinct values per argument; the twelfth is the thermal state."""
    return [f"v{i}" for i in range(11)] + [thermal_state or ThermalState()] + [f"v{i}" for i in range(12, count)]


@pytest.mark.parametrize("cls, required, keys, factory", [
    (MatReinforcementEc2, 21, STEEL, "create_matreinforcement_ec2"),
    (MatConcreteEc2, 19, CONCRETE, "create_matconcrete_ec2")])
def test_materials_take_and_write_every_argument_in_order(cls, required, keys, factory):
    params = list(inspect.signature(cls, eval_str=True).parameters.values())
    assert [p.name.rstrip("_") for p in params] == keys
    assert [p.default is p.empty for p in params] == [True] * required + [False] * (len(keys) - required)
    assert params[11].annotation is ThermalState and "return" not in cls.__init__.__annotations__
    assert cls.__init__.__doc__ == ("\n        Do not use this __init__ directly, but create the object by "
                                    f":meth:`~.idea_rcs.OpenModel.{factory}`.\n        ")
    args = values(len(keys))
    material = cls(**{p.name: a for p, a in zip(params, args)})
    assert list(material._serialize()) == keys and material.id == "v0"
    assert all(got is want for got, want in zip(material._serialize().values(), args))
    assert list(vars(material)) == ["_" + k for k in keys]  # `class_` is kept in `_class`


def test_concrete_dependent_parameters_default_to_none_and_are_written():
    assert MatConcreteEc2(*values(19))._serialize()["dep_params"] is None
    dependent = ConcDependentParams(*range(12))
    assert MatConcreteEc2(*values(19), dependent)._serialize()["dep_params"] is dependent
    assert inspect.signature(MatConcreteEc2, eval_str=True).parameters["dep_params"].annotation is ConcDependentParams


def test_shared_thermal_state_is_the_same_object_in_both_materials():
    shared = ThermalState(expansion=ThermalStateType.CODE)
    steel, concrete = MatReinforcementEc2(*values(21, shared)), MatConcreteEc2(*values(19, shared))
    assert steel._serialize()["thermal_state"] is shared is concrete._serialize()["thermal_state"]
    assert steel._serialize() is not steel._serialize()


@pytest.mark.parametrize("cls, bases, doc", [
    (objects._Material, (objects._OpenElementId, objects.ABC), " Abstract base class of all materials. "),
    (MatReinforcement, (objects._Material, objects.ABC), " Abstract base class of all material reinforcements. "),
    (MatConcrete, (objects._Material, objects.ABC), " Abstract base class of all concrete materials. ")])
def test_abstract_bases_refuse_to_instantiate(cls, bases, doc):
    assert cls.__bases__ == bases and cls.__doc__ == doc
    with pytest.raises(TypeError, match="abstract"):
        cls(*values(13))


def test_base_signatures_chain():
    names = [list(inspect.signature(c).parameters) for c in (objects._Material, MatReinforcement, MatConcrete)]
    material = ["id_"] + MATERIAL[1:]
    assert names == [material, material + ["bar_surface"], material]
    assert str(inspect.signature(objects._Material)).endswith("thermal_state: 'ThermalState') -> 'None'")
    assert "_serialize" not in vars(MatConcrete) and MatReinforcementEc2.__doc__ is MatConcreteEc2.__doc__ is None


@pytest.mark.parametrize("cls, args, kwargs, message", [
    (MatReinforcementEc2, values(20), {}, "missing 1 required positional argument: 'diagram_type'"),
    (MatReinforcementEc2, values(22), {}, "takes 22 positional arguments but 23 were given"),
    (MatConcreteEc2, values(19), {"colour": 1}, "got an unexpected keyword argument 'colour'")])
def test_bad_calls_fail_with_type_error(cls, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        cls(*args, **kwargs)


def test_dependent_parameters_use_openmodel_spellings():
    dependent = ConcDependentParams(*range(12))
    assert list(dependent._serialize().items()) == list(zip(
        ["Ecm", "Epsc1", "Epsc2", "Epsc3", "Epscu1", "Epscu2", "Epscu3", "Fctm", "Fctk_0_05", "Fctk_0_95", "NFactor",
         "Fcm"], range(12)))
    assert list(vars(dependent)) == ["_" + p for p in inspect.signature(ConcDependentParams).parameters]
    assert list(vars(dependent))[-4:] == ["_F_ctk_0_05", "_F_ctk_0_95", "_n_factor", "_F_cm"]
    doc = ConcDependentParams.__init__.__doc__
    assert doc.startswith(" Collection of all MatConcreteEc2 dependent parameters.\n\n        :param E_cm: ")
    assert "        :param n_factor: Coefficient n-factor - necessary parabolic part of stress-strain diagram - n [-]\n" in doc


@pytest.mark.parametrize("name, members", [
    ("ReinfClass", ["A", "B", "C"]), ("ReinfType", ["BARS", "DECOILED_RODS", "WIRE_FABRICS", "LATTICE_GIRDERS"]),
    ("BarSurface", ["SMOOTH", "RIBBED"]), ("ReinfDiagramType", ["BILINEAR_INCLINED", "BILINEAR_NOT_INCLINED", "USER"]),
    ("ReinfFabrication", ["HOT_ROLLED", "COLD_WORKED"]), ("ConcDiagramType", ["BILINEAR", "PARABOLIC", "USER"]),
    ("ConcAggregateType", ["QUARTZITE", "LIMESTONE", "SANDSTONE", "BASALT"]), ("ConcCementClass", ["S", "R", "N"])])
def test_enumerations(name, members):
    enumeration = getattr(objects, name)
    assert [(m.name, m.value) for m in enumeration] == [(m, i) for i, m in enumerate(members)]
    assert enumeration.__annotations__ == dict.fromkeys(members, f"'{name}'")
    assert enumeration.__bases__ == (objects.Enum,) and name in objects.__all__


def test_build_order():
    built = ["CheckMember", "CheckMember1D", "ThermalStateType", "ThermalState", "_Material", "ReinfClass", "ReinfType",
             "BarSurface", "ReinfDiagramType", "ReinfFabrication", "MatReinforcement", "MatReinforcementEc2",
             "ConcDiagramType", "ConcAggregateType", "ConcCementClass", "MatConcrete", "ConcDependentParams",
             "MatConcreteEc2"]
    assert [n for n in vars(objects) if n in built] == built and "_Material" not in objects.__all__
