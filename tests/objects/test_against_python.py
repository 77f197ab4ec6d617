"""The compiled model objects against plain Python classes written from the same description: random sequences of
constructions with odd arguments, attributes replaced or deleted afterwards, creation methods, property reads and
dictionaries, on the module's own classes and on subclasses that override its hooks, give the same results, errors
and instance state."""

import datetime
import enum
import importlib.util
import inspect
import math
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ondrel.external.idea_rcs.objects as compiled


# ---- the oracle: the objects as plain Python, as the benchmarks compare against -----------------

def _plain_python_objects():
    spec = importlib.util.spec_from_file_location("plain_objects",
                                                  Path(__file__).parents[2] / "bench" / "pure" / "objects.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


plain = _plain_python_objects()

CLASSES = ["_OpenElementId", "_ReferenceElement", "ProjectData", "CodeSettings", "CheckMember1D", "ThermalState",
           "ConcDependentParams", "MatReinforcementEc2", "MatConcreteEc2", "CrossSectionParameter",
           "CrossSectionComponent", "_CssComponent", "ReinforcedBar", "Stirrup", "ReinforcedCrossSection",
           "ResultOfInternalForces", "LoadingULS", "LoadingSLS", "FatigueLoading", "StandardCheckSectionExtreme",
           "StandardCheckSection", "CalculationSetup", "ExposureClassesDataEc2", "ConcreteMemberDataEc2",
           # abstract ones: the interpreter's refusal must be the same
           "_OpenObject", "CheckMember", "CrossSection", "CheckSection", "ConcreteMemberData", "_Material"]
ENUMS = sorted(name for name, value in vars(plain).items() if isinstance(value, type) and issubclass(value, enum.Enum)
               and value is not enum.Enum)
PARAMETERS = {name: [p for p in inspect.signature(getattr(plain, name).__init__).parameters.values()
                     if p.name != "self"] for name in CLASSES}
METHODS = {name: [p for p in inspect.signature(getattr(getattr(plain, owner), name)).parameters.values()
                  if p.name != "self"]
           for name, owner in [("create_component", "CrossSectionComponent"), ("create_bar", "ReinforcedCrossSection"),
                               ("create_bar_layer", "ReinforcedCrossSection"),
                               ("create_stirrup", "ReinforcedCrossSection"), ("create_extreme", "CheckSection")]}
READS = ["id", "extremes", "bars", "stirrups", "points", "coordinates", "diameter", "material_id", "shear_check",
         "torsion_check", "mandrel_diameter_factor", "anchorage_length", "description", "distance", "name"]
ATTRIBUTES = sorted({f"_{p.name.rstrip('_')}" for ps in PARAMETERS.values() for p in ps if p.kind != p.VAR_KEYWORD}
                    | {"_parameters", "_components", "_class", "_type", "_extremes", "_bars", "_stirrups"}
                    | set(READS) | {"national_annex", "date", "theta", "other", "__dict__"})


# ---- odd values, described so that each side builds its own -------------------------------------

class Text(str):
    def __str__(self):
        return "text:" + str.__str__(self)

    def __repr__(self):
        return "Text()"


class Whole(int):
    def __eq__(self, other):
        return isinstance(other, int) and int(self) + 1 == other

    __hash__ = int.__hash__

    def __format__(self, spec):
        return f"whole{spec}"


class Real(float):
    def __repr__(self):
        return "Real()"

    def __format__(self, spec):
        return f"real{spec}"


class Falsy:
    def __bool__(self):
        return False

    def __repr__(self):
        return "Falsy()"


class Truthless:
    def __bool__(self):
        raise ArithmeticError("no truth value")

    def __repr__(self):
        return "Truthless()"


class Hollow:
    """A stand-in for a material: something with an id, or with an id that cannot be read."""

    def __init__(self, id_):
        self._id = id_

    @property
    def id(self):
        if self._id == "unreadable":
            raise LookupError("no id")
        return self._id

    def __repr__(self):
        return f"Hollow({self._id!r})"


class Date:
    """A date whose text is its own."""

    def strftime(self, format_):
        return f"date:{format_}"

    def __repr__(self):
        return "Date()"


simple = st.one_of(st.none(), st.booleans(), st.integers(-3, 5), st.integers(min_value=2**62, max_value=2**130),
                   st.floats(), st.text(max_size=3), st.sampled_from(["", "\ud800", "x" * 200]))
odd = st.one_of(simple.map(lambda v: ("text", str(v))), st.integers().map(lambda v: ("whole", v)),
                st.floats(allow_nan=False).map(lambda v: ("real", v)), st.just(("falsy",)), st.just(("truthless",)),
                st.sampled_from([0, 7, "7", None, "unreadable"]).map(lambda v: ("hollow", v)), st.just(("date",)),
                st.just(("today",)), st.sampled_from(ENUMS).flatmap(
                    lambda name: st.sampled_from([m.name for m in getattr(plain, name)]).map(
                        lambda member: ("member", name, member))),
                st.integers(0, 7).map(lambda i: ("object", i)))
atoms = st.one_of(simple, odd)
points = st.lists(st.tuples(st.floats(-1, 1), st.floats(-1, 1)), max_size=4)
nested = st.one_of(points.map(lambda v: ("list", v)), st.lists(atoms, max_size=4).map(lambda v: ("list", v)),
                   st.lists(st.one_of(points, st.lists(atoms, max_size=3)), max_size=3).map(lambda v: ("list", v)),
                   st.lists(st.one_of(st.tuples(st.floats(-1, 1), st.floats(-1, 1)),
                                      st.tuples(st.tuples(st.floats(-1, 1), st.floats(-1, 1)),
                                                st.tuples(st.floats(-1, 1), st.floats(-1, 1)))),
                            max_size=4).map(lambda v: ("list", v)),
                   st.tuples(atoms, atoms).map(lambda v: ("tuple", v)))
values = st.one_of(atoms, nested)


FITTING = {  # values that let a call get past its first argument, next to odd ones
    "material": st.sampled_from([0, 7, "7", None, "unreadable"]).map(lambda v: ("hollow", v)),
    "number_of_bars": st.integers(-1, 4),
    "description": st.sampled_from(["", "E", None, ("falsy",), ("text", "T")]),
}
for name in ("outline", "points", "coordinates", "origin"):
    FITTING[name] = st.one_of(points.map(lambda v: ("list", v)), points.map(lambda v: ("list", v)), nested)
for name in ("delta_y", "delta_z", "diameter", "distance"):
    FITTING[name] = st.one_of(st.none(), st.floats(-1, 1), st.integers(-2, 2))


def fitting(annotation):
    """Values of the kind a parameter is annotated with: members of its own enumeration, numbers, objects made
    earlier in the sequence."""
    if annotation in ENUMS:
        return st.sampled_from([("member", annotation, m.name) for m in getattr(plain, annotation)])
    if annotation in ("float", "int", "Literal[50, 75, 100]"):
        return st.one_of(st.floats(-1e3, 1e3), st.integers(-5, 100), st.sampled_from([0.0, -0.0, 50, 75, 100]))
    if annotation == "bool":
        return st.sampled_from([True, False, None, 0])
    if annotation in ("str", "datetime.date"):
        return st.sampled_from(["", "name", ("text", "T"), ("today",), ("date",)])
    if annotation.startswith(("Sequence", "Tuple", "Optional")):
        return nested
    if annotation.startswith("List"):
        return st.lists(st.integers(0, 7).map(lambda i: ("object", i)), max_size=3).map(lambda v: ("list", v))
    return st.integers(0, 7).map(lambda i: ("object", i))


def arguments(names, annotations=None, keyword_only=()):
    """Arguments for a call naming `names`: each given positionally, by keyword, left out or replaced, and
    sometimes an argument too many or an unknown keyword."""
    how = st.sampled_from(["positional"] * 10 + ["keyword"] * 9 + ["left out"])
    by_keyword = st.sampled_from(["positional"] + ["keyword"] * 18 + ["left out"])

    def argument(name, annotation):
        kind = FITTING[name] if name in FITTING else fitting(annotation) if annotation else values
        return st.tuples(by_keyword if name in keyword_only else how, st.one_of(kind, kind, values))

    return st.tuples(st.tuples(*map(argument, names, annotations or [None] * len(names))),
                     st.sampled_from([None] * 18 + ["surplus", "unknown"]))


def construction(name):
    return arguments([p.name for p in PARAMETERS[name]], [str(p.annotation) for p in PARAMETERS[name]],
                     [p.name for p in PARAMETERS[name] if p.kind == p.KEYWORD_ONLY]).map(
        lambda a: ("new", name, a))


SUBCLASS_HOOKS = ["_serialize adds", "_serialize replaces", "__init__ stores first", "class attributes",
                  "properties", "properties that change as they are read", "__getattribute__ wraps",
                  "__setattr__ wraps"]


def changing(name):
    """A property whose value changes as it is read: every third read of the object's fields gives None."""
    def get(self):
        reads = vars(self)["reads"] = vars(self).get("reads", 0) + 1
        return None if reads % 3 == 0 else vars(self).get("stored" + name, "unset")

    def set_(self, value):
        vars(self)["stored" + name] = value

    return property(get, set_)


operations = st.one_of(
    st.sampled_from(CLASSES).flatmap(construction),
    st.tuples(st.just("subclass"), st.sampled_from(CLASSES[:CLASSES.index("_OpenObject")]),
              st.sampled_from(SUBCLASS_HOOKS)).flatmap(
        lambda s: construction(s[1]).map(lambda c: ("new subclass", s[1], c[2], s[2]))),
    st.tuples(st.just("set"), st.integers(0, 7), st.one_of(st.sampled_from(ATTRIBUTES), st.integers(0, 20)), values),
    st.tuples(st.just("delete"), st.integers(0, 7), st.one_of(st.sampled_from(ATTRIBUTES), st.integers(0, 20))),
    st.tuples(st.just("read"), st.integers(0, 7), st.sampled_from(READS)),
    st.tuples(st.just("serialize"), st.integers(0, 7)),
    st.tuples(st.just("adopt children"), st.integers(0, 7)),
    st.sampled_from(sorted(METHODS)).flatmap(
        lambda m: st.tuples(st.just("method"), st.integers(0, 7), st.just(m),
                            arguments([p.name for p in METHODS[m]],
                                      keyword_only=[p.name for p in METHODS[m] if p.kind == p.KEYWORD_ONLY]))),
)


# ---- running a sequence on both --------------------------------------------------------------------

class Side:
    """One module's classes, and the objects a sequence has made with them."""

    def __init__(self, module):
        self.module, self.objects, self.subclasses = module, [], {}

    def value(self, described):
        if not isinstance(described, tuple) or not described or not isinstance(described[0], str):
            return described
        kind, *rest = described
        if kind == "text":
            return Text(rest[0])
        if kind == "whole":
            return Whole(rest[0])
        if kind == "real":
            return Real(rest[0])
        if kind == "falsy":
            return Falsy()
        if kind == "truthless":
            return Truthless()
        if kind == "hollow":
            return Hollow(rest[0])
        if kind == "date":
            return Date()
        if kind == "today":
            return datetime.date(2024, 2, 29)
        if kind == "member":
            return getattr(getattr(self.module, rest[0]), rest[1])
        if kind == "object":
            return self.objects[rest[0] % len(self.objects)] if self.objects else None
        if kind == "list":
            return [self.value(v) for v in rest[0]]
        if kind == "tuple":
            return tuple(self.value(v) for v in rest[0])
        return described

    def call_arguments(self, names, described):
        given, extra = described
        args, kwargs, positional = [], {}, True
        for name, (how, value) in zip(names, given):
            if how == "positional" and positional:
                args.append(self.value(value))
            elif how in ("keyword", "positional"):
                positional = False
                kwargs[name] = self.value(value)
            else:
                positional = False
        if extra == "surplus":
            args.append(None)
        elif extra == "unknown":
            kwargs["unknown"] = 1
        return args, kwargs

    def subclass(self, base_name, hook):
        key = (base_name, hook)
        if key not in self.subclasses:
            base = getattr(self.module, base_name)
            if hook == "_serialize adds":
                def _serialize(self):
                    return {**super(cls, self)._serialize(), "extra": type(self).__name__}
                namespace = {"_serialize": _serialize}
            elif hook == "_serialize replaces":
                namespace = {"_serialize": lambda self: {"own": sorted(vars(self))}}
            elif hook == "__init__ stores first":
                def __init__(self, *args, **kwargs):
                    self._first = len(args)
                    super(cls, self).__init__(*args, **kwargs)
                namespace = {"__init__": __init__}
            elif hook == "class attributes":
                namespace = {f"_{p.name.rstrip('_')}": "from the class" for p in PARAMETERS[base_name]}
            elif hook == "properties":  # data descriptors win over the instance's own attributes
                namespace = {f"_{p.name.rstrip('_')}": property(lambda self: "from the property", lambda self, v: None)
                             for p in PARAMETERS[base_name][::2]}
            elif hook == "properties that change as they are read":
                namespace = {name: changing(name) for p in PARAMETERS[base_name] if p.kind != p.VAR_KEYWORD
                             for name in (p.name.rstrip("_"), "_" + p.name.rstrip("_"))}
            elif hook == "__getattribute__ wraps":
                def __getattribute__(self, name):
                    value = object.__getattribute__(self, name)
                    return ("read", value) if name[:1] == "_" and name[:2] != "__" and not callable(value) else value
                namespace = {"__getattribute__": __getattribute__}
            else:
                namespace = {"__setattr__": lambda self, name, value: object.__setattr__(self, name, ("set", value))}
            cls = type(f"{base_name}Of{hook.split()[0].strip('_').title()}", (base,), namespace)
            self.subclasses[key] = cls
        return self.subclasses[key]

    def construct(self, cls, names, described):
        args, kwargs = self.call_arguments(names, described)
        self.objects.append(cls(*args, **kwargs))

    def step(self, step):
        kind = step[0]
        if kind == "new":
            cls = getattr(self.module, step[1])
            return lambda: self.construct(cls, [p.name for p in PARAMETERS[step[1]]], step[2])
        if kind == "new subclass":
            cls = self.subclass(step[1], step[3])
            return lambda: self.construct(cls, [p.name for p in PARAMETERS[step[1]]], step[2])
        target = self.objects[-1 - step[1] % len(self.objects)]  # counted back: mostly the latest
        if kind in ("read", "method"):  # mostly an object that has the property or method
            having = [o for o in self.objects if hasattr(type(o), step[2])] or self.objects
            target = having[-1 - step[1] % len(having)]
        if kind in ("set", "delete") and isinstance(step[2], int):  # one of the attributes the object has
            own = list(getattr(target, "__dict__", None) or ["other"])
            step = (*step[:2], own[step[2] % len(own)], *step[3:])
        if kind == "set":
            return lambda: setattr(target, step[2], self.value(step[3]))
        if kind == "delete":
            return lambda: delattr(target, step[2])
        if kind == "read":
            return lambda: getattr(target, step[2])
        if kind == "serialize":
            return lambda: target._serialize()
        if kind == "adopt children":  # the bars, stirrups, extremes and components a container made
            def adopt():
                for name in ("bars", "stirrups", "extremes", "_components"):
                    children = getattr(target, name, None)
                    if type(children) is list:
                        self.objects.extend(children)
            return adopt
        if kind == "method":
            def call():
                args, kwargs = self.call_arguments([p.name for p in METHODS[step[2]]], step[3])
                return getattr(target, step[2])(*args, **kwargs)
            return call
        raise AssertionError(kind)


def comparable(value, side, depth=0):
    """A value in a form both sides can be compared by: model objects by the place in the sequence that made them,
    or, for objects made inside the module, by their class and state."""
    if depth > 6:
        return "deep"
    if isinstance(value, dict):
        return "dict", [(comparable(k, side, depth + 1), comparable(v, side, depth + 1)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [comparable(v, side, depth + 1) for v in value]
    if isinstance(value, enum.Enum):
        return "member", type(value).__name__, value.name, type(value).__module__ == side.module.__name__
    if any(value is o for o in side.objects):
        return "object", next(i for i, o in enumerate(side.objects) if o is value)
    if isinstance(value, float) and math.isnan(value):
        return type(value).__name__, "nan"
    if type(value).__module__ == side.module.__name__ or type(value) in side.subclasses.values():
        return "made", type(value).__name__, comparable(getattr(value, "__dict__", None), side, depth + 1)
    return type(value).__name__, repr(value)


def outcome(call, side):
    """What a call gives: a result, or an error's type and text (a module name in the text is the side's own)."""
    try:
        result = call()
    except RecursionError:
        raise
    except Exception as error:
        return "raised", type(error).__name__, str(error).replace(side.module.__name__, "<module>")
    return "returned", comparable(result, side)


def run(steps, module):
    side = Side(module)
    reference = module._ReferenceElement(1, "MatConcrete")
    forces = module.ResultOfInternalForces(1.0, My=-2.5)
    side.objects += [reference, module.CrossSectionComponent(2, "section"),
                     module.ReinforcedCrossSection(3, "reinforced", reference),
                     module.StandardCheckSection(4, "check", reference, reference), forces, module.LoadingULS(forces),
                     module.ConcreteMemberDataEc2(reference, module.MemberType.BEAM, module.TwoWaySlabType.SLAB)]
    seen = [outcome(side.step(step), side) for step in steps]
    # at the end, everything each object shows: its state, its dictionary and its properties
    for o in side.objects:
        seen.append(comparable(getattr(o, "__dict__", None), side))
        seen.append(outcome(lambda: o._serialize(), side))
        seen.extend(outcome(lambda: getattr(o, name), side) for name in READS if hasattr(type(o), name))
    return seen


# Sequences where the two once differed, kept as they were found.
FOUND = {
    # a layer goes into the section's bars one bar at a time through append(), as create_bar and create_stirrup do
    "bar layer appended bar by bar": [
        ("set", 4, "_bars", ("tuple", [])),
        ("method", 0, "create_bar_layer", ((("keyword", ("tuple", [0.0, 0.0])), ("keyword", 0.016),
                                            ("keyword", ("hollow", 2)), ("keyword", 3), ("keyword", 0.2),
                                            ("left out", None)), None))],
    # an optional key is decided and written from one read of its field: a field read as set and then as None
    # wrote None, and extremes read as a list and then as None failed
    "optional fields read once": [
        ("new subclass", "Stirrup", ((("positional", ("list", [(0.0, 0.0)])), *[("positional", 1)] * 7), None),
         "properties that change as they are read"),
        ("new subclass", "CalculationSetup", ((("keyword", False),) * 12, None),
         "properties that change as they are read"),
        ("new subclass", "StandardCheckSection", ((*[("positional", 1)] * 4, ("positional", ("list", [1, 2]))), None),
         "properties that change as they are read")],
}


@pytest.mark.parametrize("steps", FOUND.values(), ids=FOUND)
def test_sequences_once_different_give_what_the_python_classes_give(steps):
    assert run(steps, compiled) == run(steps, plain)


@settings(max_examples=100, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.tuples(*map(construction, CLASSES)), st.lists(operations, max_size=25))
def test_random_calls_give_what_the_python_classes_give(every_class, steps):
    steps = [*every_class, *steps]
    expected = run(steps, plain)
    assert run(steps, compiled) == expected
