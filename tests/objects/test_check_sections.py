"""Check sections and extremes: default extreme descriptions, the owned list of extremes, the
(class name, extreme) pairs a section writes, keyword-only extremes and what inspect sees."""

import abc
import inspect

import pytest

from ondrel.external.idea_rcs import objects as o

LOADINGS = ["accidental", "fatigue", "frequent", "fundamental", "characteristic", "quasi_permanent"]
EXTREME_KEYS = ["description"] + LOADINGS
EXTREME_ATTRIBUTES = ["description"] + ["_" + name for name in LOADINGS]


class SubExtreme(o.StandardCheckSectionExtreme):
    pass


class OwnExtreme(o.CheckSectionExtreme):
    def __init__(self, description):
        super().__init__(description=description)


def section(description="Sec", extremes=None):
    return o.StandardCheckSection(4, description, "member ref", "reinf ref", extremes)


def descriptions(s):
    return [e.description for e in s.extremes]


def test_default_descriptions_count_the_extremes_the_section_holds():
    s = section(extremes=[OwnExtreme("a"), OwnExtreme("b")])
    uls = o.LoadingULS(o.ResultOfInternalForces())
    s.create_extreme(fundamental=uls)
    s.create_extreme(description="", fundamental=uls)
    s.create_extreme(description="Wind")
    s.create_extreme(description=None)
    for _ in range(6):
        s.create_extreme()
    assert descriptions(s) == ["a", "b", "Sec - E 3", "Sec - E 4", "Wind", "Sec - E 6"] + [
        f"Sec - E {i}" for i in range(7, 13)]


class Formatted:
    def __format__(self, spec):
        return f"formatted[{spec}]"

    def __str__(self):
        return "str"


class Text(str):
    def __format__(self, spec):
        return "subclass"


@pytest.mark.parametrize("section_description, expected", [
    ("Sec", "Sec - E 1"), (7, "7 - E 1"), (1.5, "1.5 - E 1"), (None, "None - E 1"), (Formatted(), "formatted[] - E 1"),
    (Text("plain"), "subclass - E 1"), ("", " - E 1"), ("Řez β", "Řez β - E 1"), ("𝔖 ü", "𝔖 ü - E 1"),
])
def test_a_section_description_that_is_not_text_is_formatted_with_the_default_format(section_description, expected):
    s = section(section_description)
    s.create_extreme()
    assert descriptions(s) == [expected]
    assert type(descriptions(s)[0]) is str


def test_create_extreme_stores_the_loadings_in_a_standard_extreme():
    loadings = {name: object() for name in LOADINGS}
    s = section()
    assert s.create_extreme(**loadings) is None
    s.create_extreme()
    first, second = s.extremes
    assert type(first) is o.StandardCheckSectionExtreme
    assert list(vars(first)) == EXTREME_ATTRIBUTES
    data = first._serialize()
    assert list(data) == EXTREME_KEYS and data["description"] == "Sec - E 1"
    assert all(data[name] is value for name, value in loadings.items())
    assert second._serialize() == dict.fromkeys(EXTREME_KEYS) | {"description": "Sec - E 2"}


def test_an_extreme_made_directly_matches_one_made_by_the_section():
    uls = o.LoadingULS(o.ResultOfInternalForces())
    direct = o.StandardCheckSectionExtreme(fundamental=uls, description="Sec - E 1")
    s = section()
    s.create_extreme(fundamental=uls)
    assert vars(direct) == vars(s.extremes[0]) and list(vars(direct)) == EXTREME_ATTRIBUTES
    direct.description = "renamed"
    assert direct._serialize()["description"] == "renamed"


def test_create_extreme_calls_the_class_bound_in_the_module(monkeypatch):
    s = section()
    monkeypatch.setattr(o, "StandardCheckSectionExtreme", SubExtreme)
    s.create_extreme(description="sub")
    monkeypatch.undo()
    s.create_extreme()
    assert [type(e) for e in s.extremes] == [SubExtreme, o.StandardCheckSectionExtreme]
    assert [list(vars(e)) for e in s.extremes] == [EXTREME_ATTRIBUTES] * 2


@pytest.mark.parametrize("cls", [o.StandardCheckSectionExtreme, o.CheckSectionExtreme])
def test_create_extreme_runs_a_replaced_constructor(monkeypatch, cls):
    calls = []
    original = cls.__init__

    def recording(self, **keywords):
        calls.append(keywords)
        original(self, **keywords)

    monkeypatch.setattr(cls, "__init__", recording)
    s = section()
    s.create_extreme(frequent=1)
    assert calls == [dict.fromkeys(LOADINGS) | {"frequent": 1, "description": "Sec - E 1"}]
    assert list(vars(s.extremes[0])) == EXTREME_ATTRIBUTES


def test_create_extreme_fails_when_the_section_has_no_list_to_append_to():
    s = section()
    del s._extremes
    with pytest.raises(AttributeError, match="_extremes"):
        s.create_extreme(description="x")
    s._extremes = ()
    with pytest.raises(AttributeError, match="append"):
        s.create_extreme()


def test_serialisation_writes_extremes_only_when_there_are_some():
    s = section()
    assert s._serialize() == {"id": 4, "description": "Sec", "check_member": "member ref",
                              "reinf_section": "reinf ref"}
    own = OwnExtreme("own")
    s = section(extremes=[own, SubExtreme(description="sub")])
    s.create_extreme()
    first, second = s._serialize(), s._serialize()
    assert list(first) == ["id", "description", "check_member", "reinf_section", "extremes"]
    assert first["extremes"] == [("OwnExtreme", own), ("SubExtreme", s.extremes[1]),
                                 ("StandardCheckSectionExtreme", s.extremes[2])]
    assert all(type(pair) is tuple for pair in first["extremes"])
    assert first["extremes"] is not second["extremes"] and first["extremes"] == second["extremes"]
    first["extremes"].clear()
    assert len(s.extremes) == 3


def test_the_class_name_is_read_when_serialising():
    class Local(o.StandardCheckSectionExtreme):
        pass

    s = section(extremes=[Local(description="x")])
    Local.__name__ = "Renamed"
    assert s._serialize()["extremes"][0][0] == "Renamed"


def test_the_section_owns_its_list_of_extremes():
    given = [OwnExtreme("a")]
    s = section(extremes=given)
    given.append(OwnExtreme("b"))
    s.extremes.append(OwnExtreme("c"))
    assert descriptions(s) == ["a"] and s.extremes is not s.extremes
    assert section(extremes=(e for e in given)).extremes == given
    assert section(extremes=())._extremes == [] and section()._extremes == []
    with pytest.raises(TypeError, match="not iterable"):
        section(extremes=5)
    with pytest.raises(AttributeError):
        s.extremes = []


@pytest.mark.parametrize("call, message", [
    (lambda: o.StandardCheckSectionExtreme(None, description="x"),
     "StandardCheckSectionExtreme.__init__() takes 1 positional argument but 2 positional arguments "
     "(and 1 keyword-only argument) were given"),
    (lambda: o.StandardCheckSectionExtreme(fundamental=None),
     "StandardCheckSectionExtreme.__init__() missing 1 required keyword-only argument: 'description'"),
    (lambda: section().create_extreme("Sec"),
     "CheckSection.create_extreme() takes 1 positional argument but 2 were given"),
    (lambda: section().create_extreme(name="x"),
     "CheckSection.create_extreme() got an unexpected keyword argument 'name'"),
    (lambda: o.CheckSectionExtreme(description="x"),
     "Can't instantiate abstract class CheckSectionExtreme without an implementation for abstract method '__init__'"),
    (lambda: o.CheckSection(1, "d", None, None),
     "Can't instantiate abstract class CheckSection without an implementation for abstract method '__init__'"),
    (lambda: o.StandardCheckSection(1, "d", None),
     "StandardCheckSection.__init__() missing 1 required positional argument: 'reinf_section'"),
])
def test_bad_calls_fail_with_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == message


LOADING_ANNOTATIONS = {"accidental": "LoadingULS", "fatigue": "FatigueLoading", "frequent": "LoadingSLS",
                       "fundamental": "LoadingULS", "characteristic": "LoadingSLS", "quasi_permanent": "LoadingSLS"}


def _params(names, annotations=LOADING_ANNOTATIONS):
    return ", ".join(f"{n}: '{annotations[n]}' = None" for n in names)


@pytest.mark.parametrize("function, signature", [
    (o.CheckSectionExtreme.__init__, f"(self, {_params(LOADINGS)}, *, description: 'str')"),
    (o.StandardCheckSectionExtreme.__init__,
     f"(self, *, {_params(['accidental', 'frequent', 'fundamental', 'characteristic', 'quasi_permanent', 'fatigue'])}"
     ", description: 'str')"),
    (o.CheckSection.create_extreme, f"(self, *, description: 'str' = None, {_params(LOADINGS)}) -> 'None'"),
    (o.CheckSection.__init__, "(self, id_: 'int', description: 'str', check_member: '_ReferenceElement', "
                              "reinf_section: '_ReferenceElement', extremes: 'List[CheckSectionExtreme]' = None)"),
    (o.StandardCheckSection.__init__, "(self, id_: 'int', description: 'str', check_member: '_ReferenceElement', "
                                      "reinf_section: '_ReferenceElement', extremes: 'List[CheckSectionExtreme]' = None)"),
    (o.CheckSection.extremes.fget, "(self) -> 'List[CheckSectionExtreme]'"),
    (o.CheckSection._serialize, "(self) -> 'dict'"),
    (o.CheckSectionExtreme._serialize, "(self) -> 'dict'"),
])
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
    resolved = inspect.signature(function, eval_str=True)
    assert all(not isinstance(p.annotation, str) for p in resolved.parameters.values())


def test_classes_and_docstrings():
    assert o.CheckSection.extremes.fget.__annotations__["return"] == "List[CheckSectionExtreme]"
    assert inspect.signature(o.CheckSection.__init__, eval_str=True).parameters["id_"].annotation is int
    assert (o.CheckSectionExtreme.__bases__, o.StandardCheckSectionExtreme.__bases__) == (
        (o._OpenObject,), (o.CheckSectionExtreme,))
    assert (o.CheckSection.__bases__, o.StandardCheckSection.__bases__) == (
        (o._OpenElementId, o.ABC), (o.CheckSection,))
    assert o.CheckSectionExtreme.__doc__ == " Abstract base class of all check section extremes. "
    assert o.CheckSection.__doc__ == " Abstract base class of all check sections. "
    assert o.StandardCheckSection.__doc__ is None and o.StandardCheckSectionExtreme.__doc__ is None
    assert o.CheckSectionExtreme.__init__.__isabstractmethod__ and o.CheckSection.__init__.__isabstractmethod__
    assert o.StandardCheckSectionExtreme.__init__.__doc__ == (
        "\n        Do not use this __init__ directly, but create the object by :meth:`CheckSection.create_extreme`."
        "\n        ")
    assert o.StandardCheckSection.__init__.__doc__ == (
        "\n        Do not use this __init__ directly, but create the object by "
        ":meth:`~.idea_rcs.OpenModel.add_check_section`.\n        ")
    doc = o.CheckSection.create_extreme.__doc__.split("\n")
    assert doc[:2] == ["Create an extreme case with corresponding internal forces on the section for checking.", ""]
    assert [line.split(":")[1] for line in doc[2:-1]] == [f"param {name}" for name in EXTREME_KEYS]
    assert doc[2].endswith(" Description of the extreme (default: '{section_name} - E {i}'). ::version(v14.6.0)")
    assert all(line.startswith("        :param ") for line in doc[2:-1]) and doc[-1] == " " * 8
    assert section().id == 4 and list(vars(section())) == [
        "_id", "_description", "_extremes", "_check_member", "_reinf_section"]


def test_create_extreme_honours_later_changes_to_the_extreme_classes(monkeypatch):
    s = section()
    s.create_extreme(fundamental=1)
    # A property of a stored name, added to the base after extremes were made.
    seen = []
    monkeypatch.setattr(o.CheckSectionExtreme, "_fundamental",
                        property(lambda self: "read", lambda self, value: seen.append(value)), raising=False)
    s.create_extreme(fundamental=2)
    assert seen == [2] and s.extremes[1]._fundamental == "read" and vars(s.extremes[0])["_fundamental"] == 1
    monkeypatch.undo()
    s.create_extreme(fundamental=3)
    assert vars(s.extremes[2])["_fundamental"] == 3

    class Counting(abc.ABCMeta):
        calls = 0

        def __call__(cls, *args, **kwargs):
            Counting.calls += 1
            return super().__call__(*args, **kwargs)

    class Counted(o.StandardCheckSectionExtreme, metaclass=Counting):
        pass

    monkeypatch.setattr(o, "StandardCheckSectionExtreme", Counted)
    s.create_extreme(fundamental=4)
    s.create_extreme(fundamental=5)
    assert Counting.calls == 2 and [type(e) for e in s.extremes[3:]] == [Counted, Counted]
    assert [vars(e).get("_fundamental") for e in s.extremes] == [1, None, 3, 4, 5]
