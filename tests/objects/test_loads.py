"""Internal forces and loadings: value holders that write every key, None included, as given."""

import inspect

import pytest

from ondrel.external.idea_rcs import objects as o

FORCES = ["N", "Qy", "Qz", "Mx", "My", "Mz"]
ULS = ["internal_forces", "internal_forces_second_order", "internal_forces_begin", "internal_forces_end",
       "internal_forces_imperfection"]
SLS = ["internal_forces", "internal_forces_imperfection"]
FATIGUE = ["max_loading", "min_loading"]
TABLES = [(o.ResultOfInternalForces, FORCES), (o.LoadingULS, ULS), (o.LoadingSLS, SLS), (o.FatigueLoading, FATIGUE)]


@pytest.mark.parametrize("cls, keys", TABLES)
def test_every_argument_is_stored_and_written_as_given_in_table_order(cls, keys):
    values = [object() for _ in keys]
    loading = cls(*values)
    first, second = loading._serialize(), loading._serialize()
    assert list(first) == keys
    assert all(first[k] is v and getattr(loading, "_" + k) is v for k, v in zip(keys, values))
    assert first is not second and first == second
    first.clear()
    assert list(loading._serialize()) == keys


def test_forces_default_to_float_zero_and_keep_what_is_given():
    assert [(v, type(v)) for v in o.ResultOfInternalForces()._serialize().values()] == [(0.0, float)] * 6
    forces = o.ResultOfInternalForces(1, My=2.5)._serialize()
    assert forces == {"N": 1, "Qy": 0.0, "Qz": 0.0, "Mx": 0.0, "My": 2.5, "Mz": 0.0}
    assert type(forces["N"]) is int


@pytest.mark.parametrize("cls, written", [(o.LoadingULS, 5), (o.LoadingSLS, 2)])
def test_loadings_write_unset_forces_as_none(cls, written):
    forces = o.ResultOfInternalForces()
    data = cls(forces)._serialize()
    assert len(data) == written and data["internal_forces"] is forces
    assert [v for k, v in data.items() if k != "internal_forces"] == [None] * (written - 1)


def test_nested_objects_are_shared_not_copied():
    forces = o.ResultOfInternalForces(5.0)
    a, b = o.LoadingULS(forces), o.LoadingSLS(forces, forces)
    fatigue = o.FatigueLoading(a, a)
    assert a._serialize()["internal_forces"] is b._serialize()["internal_forces_imperfection"] is forces
    assert fatigue._serialize() == {"max_loading": a, "min_loading": a}
    assert forces._serialize()["N"] == 5.0


@pytest.mark.parametrize("call, message", [
    (lambda: o.FatigueLoading(1), "FatigueLoading.__init__() missing 1 required positional argument: 'min_loading'"),
    (lambda: o.LoadingSLS(), "LoadingSLS.__init__() missing 1 required positional argument: 'internal_forces'"),
    (lambda: o.LoadingSLS(1, 2, 3), "LoadingSLS.__init__() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: o.ResultOfInternalForces(Nx=1), "ResultOfInternalForces.__init__() got an unexpected keyword argument 'Nx'"),
])
def test_bad_calls_fail_with_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == message


@pytest.mark.parametrize("cls, parameters, summary", [
    (o.ResultOfInternalForces, ", ".join(f"{n}: 'float' = 0.0" for n in FORCES),
     "Result of internal forces at a certain location."),
    (o.LoadingULS, "internal_forces: 'ResultOfInternalForces', " + ", ".join(
        f"{n}: 'ResultOfInternalForces' = None" for n in ULS[1:]), "Loading ULS."),
    (o.LoadingSLS, "internal_forces: 'ResultOfInternalForces', "
                   "internal_forces_imperfection: 'ResultOfInternalForces' = None", "Loading SLS."),
    (o.FatigueLoading, "max_loading: 'LoadingULS', min_loading: 'LoadingULS'", "Fatigue loading."),
])
def test_what_inspect_sees(cls, parameters, summary, check_param_doc):
    assert str(inspect.signature(cls.__init__)) == f"(self, {parameters}) -> 'None'"
    resolved = inspect.signature(cls.__init__, eval_str=True)
    assert {p.annotation for name, p in resolved.parameters.items() if name != "self"} == {
        o.ResultOfInternalForces: {float}, o.FatigueLoading: {o.LoadingULS}}.get(cls, {o.ResultOfInternalForces})
    check_param_doc(cls.__init__, summary)
    assert "(default: 0.0)." in o.ResultOfInternalForces.__init__.__doc__.split("\n")[2]
    assert cls.__bases__ == (o._OpenObject,) and cls.__doc__ is None
    assert (cls.__module__, cls.__qualname__) == ("ondrel.external.idea_rcs.objects", cls.__name__)
    assert str(inspect.signature(cls._serialize)) == "(self) -> 'dict'"
