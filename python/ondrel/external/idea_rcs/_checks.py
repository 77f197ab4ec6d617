"""The checks of an OpenModel: one pass over the model that returns every finding at once.

Errors are what IDEA would read as something else than the user meant (a reference to another
model's steel, a misspelt dimension, a stirrup of one point); warnings are what is possible but
most likely a slip (a bar diameter of 20 m, a humidity of 0.65 %). The writer's own findings (a
NaN, an enumeration member of the wrong kind) join these in ``OpenModel.check()``.
"""
from __future__ import annotations

import datetime
import difflib
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterator, Literal

from . import _geometry, objects
from ._geometry import is_number, is_point

if TYPE_CHECKING:
    from ._openmodel import OpenModel

Severity = Literal["error", "warning"]


@dataclass(frozen=True)
class ModelIssue:
    """A finding of :meth:`OpenModel.check`.

    :param severity: "error" (the model is not written) or "warning" (written, with a ``ModelWarning``)
    :param object: the model object concerned (None for the model as a whole)
    :param field: the name of the argument or dictionary key concerned, or None
    :param message: what is wrong, naming the object, with units
    """
    severity: Severity
    object: Any
    field: str | None
    message: str

    def __str__(self) -> str:
        return f"{self.severity}: {self.message}"


class ModelWarning(UserWarning):
    """A finding that does not stop the model from being written, but most likely is a slip."""


class ModelError(ValueError):
    """The model cannot be written; ``issues`` holds every error found."""

    def __init__(self, issues: list[ModelIssue]) -> None:
        self.issues = list(issues)
        count = len(self.issues)
        listed = "".join(f"\n  - {issue.message}" for issue in self.issues)
        super().__init__(f"the model cannot be written ({count} error{'s' if count != 1 else ''}):{listed}")


# -- ids that lead back to their element ---------------------------------------------------------

class ElementId(int):
    """The id an OpenModel factory gives an element: an int like any other that also knows its element.

    ``create_bar``, ``create_stirrup`` and ``create_component`` copy ``material.id`` into the
    reference they make, so a reference made from this id leads back to the very object, and the
    checks can tell this model's steel from another model's steel or from a concrete with the
    same number, and the drawing finds the cross-section of a reinforced cross-section. A bar
    thus keeps its steel alive, as a reinforced cross-section keeps its cross-section.
    """

    element: object | None = None

    def bind(self, element: object) -> None:
        self.element = element

    def __reduce__(self) -> tuple[Any, ...]:
        # Copies and pickles of a model keep their ids traced: the element is copied with them.
        element = self.element
        return (_bound_id, (int(self), element)) if element is not None else (int, (int(self),))


def _bound_id(value: int, element: object) -> ElementId:
    id_ = ElementId(value)
    id_.bind(element)
    return id_


def referenced(reference: object) -> object | None:
    """The element a reference leads to, when it was made from an id of an OpenModel factory."""
    if not isinstance(reference, objects._ReferenceElement):
        return None
    id_ = reference.id
    return id_.element if isinstance(id_, ElementId) else None


# -- thresholds: beyond these a value most likely is in another unit -----------------------------

SECTION_SIZE_LIMIT = 20.0      # m: a section dimension or coordinate beyond this was given in mm
BAR_DIAMETER_LIMIT = 0.1       # m: reinforcing bars end at 50 mm
STIRRUP_SPACING_LIMIT = 2.0    # m
AGGREGATE_SIZE_LIMIT = 0.1     # m
STRENGTH_LIMIT = 1000.0        # MPa: beyond this a strength was given in Pa (or kN/m²)
MODULUS_LIMIT = 1.0e6          # MPa
STRUT_ANGLE_RANGE = (math.degrees(math.atan(1 / 2.5)), 45.0)  # EN 1992-1-1 6.2.3 (2): 1 <= cot θ <= 2.5
FATIGUE_CYCLES_LIMIT = 1.0e4   # millions of cycles
HUMIDITY_RANGE = (40.0, 100.0)  # %, the range of EN 1992-1-1 Annex B

KIND_NAMES = {
    "MatConcrete": "concrete material",
    "MatReinforcement": "reinforcement material",
    "CrossSection": "cross-section",
    "ReinforcedCrossSection": "reinforced cross-section",
    "CheckMember": "check member",
    "CheckSection": "check section",
}
COLLECTIONS = {
    "MatConcrete": "concrete_materials",
    "MatReinforcement": "reinforcement_materials",
    "CrossSection": "cross_sections",
    "ReinforcedCrossSection": "reinforced_cross_sections",
    "CheckMember": "check_members",
    "CheckSection": "check_sections",
}
FACTORIES = {
    "MatConcrete": "create_matconcrete_ec2",
    "MatReinforcement": "create_matreinforcement_ec2",
    "CrossSection": "create_cross_section_parameter or create_cross_section_component",
    "ReinforcedCrossSection": "create_reinforced_cross_section",
    "CheckMember": "create_check_member1d",
    "CheckSection": "add_check_section",
}
LOADINGS = ("fundamental", "accidental", "characteristic", "quasi_permanent", "frequent", "fatigue")


def xml_safe(text: str) -> bool:
    """Whether XML 1.0 can carry every character of ``text``."""
    return all(ch in "\t\n\r" or "\x20" <= ch <= "\ud7ff" or "\ue000" <= ch <= "\ufffd" or ch >= "\U00010000"
               for ch in text)


def _read(obj: object) -> dict[str, Any] | None:
    """The object's dictionary; None when it cannot be read (the writer names why)."""
    try:
        data = obj._serialize()  # type: ignore[attr-defined]
    except Exception:
        return None
    return data if isinstance(data, dict) else None


def _m(value: float) -> str:
    return f"{value:.4g}"


def _at(p: _geometry.Point) -> str:
    return f"({_m(p[0])}, {_m(p[1])}) m"


def _got(value: object) -> str:
    if isinstance(value, str):
        return f"the text {value!r}"
    return f"{type(value).__name__} {value!r}"


class _Checker:
    def __init__(self, model: OpenModel) -> None:
        self.model = model
        self.issues: list[ModelIssue] = []
        self.kinds: dict[int, str] = {}  # id(element) -> its kind, for every element of this model
        for kind, collection in COLLECTIONS.items():
            for element in getattr(model, collection):
                self.kinds[id(element)] = kind

    def error(self, obj: object, field: str | None, message: str) -> None:
        self.issues.append(ModelIssue("error", obj, field, message))

    def warning(self, obj: object, field: str | None, message: str) -> None:
        self.issues.append(ModelIssue("warning", obj, field, message))

    # -- names for people --------------------------------------------------------------------

    def describe(self, element: object, kind: str | None = None) -> str:
        data = _read(element) or {}
        kind = kind or self.kinds.get(id(element)) or _kind_of(element)
        name = data.get("description") if kind == "CheckSection" else data.get("name")
        noun = KIND_NAMES.get(kind or "", type(element).__name__)
        if isinstance(name, str):
            return f"{noun} {name!r} (id {data.get('id')})"
        return f"{noun} id {data.get('id')}"

    # -- references --------------------------------------------------------------------------

    def reference(self, owner: object, label: str, field: str, reference: object, kind: str) -> object | None:
        """The element of this model of ``kind`` that ``reference`` leads to, or None after an error."""
        if not isinstance(reference, objects._ReferenceElement):
            return None  # the writer names a field that holds no reference
        data = _read(reference) or {}
        if data.get("type_name") != kind:
            return None  # the writer names a reference of the wrong type name
        number = data.get("id")
        element = referenced(reference)
        wanted = KIND_NAMES[kind]
        if element is None:
            if number in [(_read(e) or {}).get("id") for e in getattr(self.model, COLLECTIONS[kind])]:
                self.error(owner, field, f"{label}: '{field}' refers to {kind} id {number} by number only, so it "
                                         f"cannot be told which object it means; give the {wanted} made by "
                                         f"{FACTORIES[kind]} of this model")
            else:
                self.error(owner, field, f"{label}: '{field}' refers to {kind} id {number}, which is not in "
                                         f"this model")
            return None
        found = self.kinds.get(id(element))
        if found == kind:
            if (_read(element) or {}).get("id") != number:
                self.error(owner, field, f"{label}: '{field}' refers to the {self.describe(element)} by its former "
                                         f"id {number}")
                return None
            return element
        if found is not None:
            self.error(owner, field, f"{label}: '{field}' is the {self.describe(element)}, not a {wanted}")
        else:
            actual = _kind_of(element)
            what = f"the {self.describe(element, actual)}" if actual else f"a {type(element).__name__}"
            self.error(owner, field, f"{label}: '{field}' is {what} of another OpenModel; give the {wanted} "
                                     f"made by {FACTORIES[kind]} of this model")
        return None

    # -- the pass ----------------------------------------------------------------------------

    def run(self) -> list[ModelIssue]:
        for concrete in self.model.concrete_materials:
            self.material(concrete, concrete=True)
        for steel in self.model.reinforcement_materials:
            self.material(steel, concrete=False)
        outlines: dict[int, _geometry.Outline | None] = {}
        for section in self.model.cross_sections:
            outlines[id(section)] = self.cross_section(section)
        for reinforced in self.model.reinforced_cross_sections:
            self.reinforced_section(reinforced, outlines)
        for check in self.model.check_sections:
            self.check_section(check)
        self.member_data()
        self.project_data()
        self.code_settings()
        return self.issues

    def material(self, material: object, concrete: bool) -> None:
        data = _read(material)
        if data is None:
            return
        label = self.describe(material)
        strengths = ("fck",) if concrete else ("fyk", "ftk")
        for key in (*strengths, "e_modulus", "g_modulus", "unit_mass"):
            value = data.get(key)
            if is_number(value) and value <= 0:
                self.error(material, key, f"{label}: '{key}' must be positive, got {_m(value)}")
        for key in strengths:
            value = data.get(key)
            if is_number(value) and value > STRENGTH_LIMIT:
                self.warning(material, key, f"{label}: '{key}' {_m(value)} MPa looks like Pa; strengths are in MPa")
        for key in ("e_modulus", "g_modulus"):
            value = data.get(key)
            if is_number(value) and value > MODULUS_LIMIT:
                self.warning(material, key, f"{label}: '{key}' {_m(value)} MPa looks like Pa; moduli are in MPa")
        stone = data.get("stone_diameter")
        if concrete and is_number(stone):
            if stone <= 0:
                self.error(material, "stone_diameter", f"{label}: 'stone_diameter' must be positive, got {_m(stone)} m")
            elif stone > AGGREGATE_SIZE_LIMIT:
                self.warning(material, "stone_diameter", f"{label}: aggregate size {_m(stone)} m looks like "
                                                         f"millimetres; it is in metres (16 mm is 0.016)")

    def cross_section(self, section: object) -> _geometry.Outline | None:
        data = _read(section)
        if data is None:
            return None
        label = self.describe(section, "CrossSection")
        if isinstance(section, objects.CrossSectionParameter):
            self.reference(section, label, "material", data.get("material"), "MatConcrete")
            self.parameters(section, label, data.get("cross_section_type"), data.get("parameters"))
        elif isinstance(section, objects.CrossSectionComponent):
            components = data.get("components") or ()
            if not components:
                self.error(section, "components", f"{label} has no component: add one with create_component")
            for index, component in enumerate(components, 1):
                parts = _read(component)
                if parts is None:
                    continue
                where = f"component {index} of {label}"
                self.reference(component, where, "material", parts.get("material"), "MatConcrete")
                self.coordinates(component, where, "outline", parts.get("outline"))
                for opening in parts.get("openings") or ():
                    self.coordinates(component, where, "openings", opening)
        return _geometry.outline_of(section)

    def coordinates(self, owner: object, label: str, field: str, points: Any) -> None:
        for entry in points if hasattr(points, "__len__") and not isinstance(points, (str, bytes)) else ():
            for p in _entry_points(entry):
                if max(abs(p[0]), abs(p[1])) > SECTION_SIZE_LIMIT:
                    self.warning(owner, field, f"{label}: the point {_at(p)} of '{field}' looks like "
                                               f"millimetres; coordinates are in metres")
                    return

    def parameters(self, section: object, label: str, shape: object, parameters: object) -> None:
        if not isinstance(shape, objects.CrossSectionType) or not isinstance(parameters, dict):
            return  # the writer names these
        known = _geometry.SHAPE_PARAMETERS.get(shape.name)
        if known is None:
            return  # a shape whose parameters we do not know is written as given
        required, optional = known
        for name in parameters:
            if name not in required + optional:
                close = difflib.get_close_matches(name, required + optional, n=1) or \
                    [a for a in required + optional if a.lower() == str(name).lower()]
                hint = f"; did you mean '{close[0]}'?" if close else ""
                self.error(section, name, f"{label}: {shape.name} has no parameter '{name}' (its parameters: "
                                          f"{', '.join(required + optional)}){hint}")
        for name in required:
            if name not in parameters:
                self.error(section, name, f"{label}: the {shape.name} parameter '{name}' is missing")
        for name, value in parameters.items():
            if name not in required + optional:
                continue
            if name in _geometry.TEXT_PARAMETERS:
                if not isinstance(value, str) or not value:
                    self.error(section, name, f"{label}: '{name}' must be the name of a library section, got "
                                              f"{_got(value)}")
            elif not is_number(value):
                self.error(section, name, f"{label}: '{name}' must be a number of metres, got {_got(value)}")
            elif value < 0 or (name in required and value == 0):
                self.error(section, name, f"{label}: '{name}' must be positive, got {_m(value)} m")
            elif value > SECTION_SIZE_LIMIT:
                self.warning(section, name, f"{label}: '{name}' {_m(value)} m looks like millimetres; the "
                                            f"dimensions are in metres ({_m(value)} mm is {_m(value / 1000)})")
        if shape.name in ("TG", "TGREV") and all(is_number(parameters.get(n)) for n in required):
            if parameters["TopFlangeWidth"] >= parameters["Height"]:
                self.error(section, "TopFlangeWidth", f"{label}: the flange depth 'TopFlangeWidth' "
                                                      f"{_m(parameters['TopFlangeWidth'])} m must be less than "
                                                      f"'Height' {_m(parameters['Height'])} m")
            if parameters["WallWidth"] > parameters["Width"]:
                self.error(section, "WallWidth", f"{label}: the web width 'WallWidth' {_m(parameters['WallWidth'])} m "
                                                 f"is more than the flange width 'Width' {_m(parameters['Width'])} m")

    def reinforced_section(self, reinforced: object, outlines: dict[int, _geometry.Outline | None]) -> None:
        data = _read(reinforced)
        if data is None:
            return
        label = self.describe(reinforced, "ReinforcedCrossSection")
        section = self.reference(reinforced, label, "cross_section", data.get("cross_section"), "CrossSection")
        outline = outlines.get(id(section)) if section is not None else None
        concrete = f"the concrete outline of {self.describe(section, 'CrossSection')}" if section is not None else ""
        for index, bar in enumerate(data.get("bars") or (), 1):
            self.bar(bar, f"bar {index} of {label}", outline, concrete)
        for index, stirrup in enumerate(data.get("stirrups") or (), 1):
            self.stirrup(stirrup, f"stirrup {index} of {label}", outline, concrete)

    def diameter(self, owner: object, label: str, value: Any) -> bool:
        """Whether ``value`` is a plausible diameter [m]; names it when it is not."""
        if not is_number(value):
            return False  # the writer names it
        if value <= 0:
            self.error(owner, "diameter", f"{label}: the diameter must be positive, got {_m(value)} m")
        elif value > BAR_DIAMETER_LIMIT:
            self.warning(owner, "diameter", f"{label}: a diameter of {_m(value)} m is larger than any reinforcing "
                                            f"bar; diameters are in metres ({_m(value)} mm is {_m(value / 1000)})")
        else:
            return True
        return False

    def bar(self, bar: object, label: str, outline: _geometry.Outline | None, concrete: str) -> None:
        data = _read(bar)
        if data is None:
            return
        self.reference(bar, label, "material", data.get("material"), "MatReinforcement")
        diameter_ok = self.diameter(bar, label, data.get("diameter"))
        centre = data.get("coordinates")
        if not is_point(centre):
            return
        p = _geometry.point(centre)
        at = f"{label} at {_at(p)}"
        if outline is None:
            if max(abs(p[0]), abs(p[1])) > SECTION_SIZE_LIMIT:
                self.warning(bar, "coordinates", f"{at} looks like millimetres; coordinates are in metres")
            return
        if not outline.contains(p):
            self.warning(bar, "coordinates", f"{at} lies outside {concrete}{_where(outline, p)}")
        elif diameter_ok:
            radius = data["diameter"] / 2.0
            rim = [(p[0] + radius * math.cos(a), p[1] + radius * math.sin(a))
                   for a in (i * math.tau / 16 for i in range(16))]
            if not all(outline.contains(q) for q in rim):
                self.warning(bar, "coordinates", f"{at} reaches out of {concrete}: its diameter "
                                                 f"{_m(data['diameter'])} m does not fit in the concrete there")

    def stirrup(self, stirrup: object, label: str, outline: _geometry.Outline | None, concrete: str) -> None:
        data = _read(stirrup)
        if data is None:
            return
        self.reference(stirrup, label, "material", data.get("material"), "MatReinforcement")
        self.diameter(stirrup, label, data.get("diameter"))
        distance = data.get("distance")
        if is_number(distance):
            if distance <= 0:
                self.error(stirrup, "distance", f"{label}: the spacing 'distance' must be positive, got "
                                                f"{_m(distance)} m")
            elif distance > STIRRUP_SPACING_LIMIT:
                self.warning(stirrup, "distance", f"{label}: a spacing of {_m(distance)} m looks like millimetres; "
                                                  f"'distance' is in metres ({_m(distance)} mm is "
                                                  f"{_m(distance / 1000)})")
        anchorage = data.get("anchorage_length")
        if is_number(anchorage) and anchorage < 0:
            self.error(stirrup, "anchorage_length", f"{label}: 'anchorage_length' must not be negative, got "
                                                    f"{_m(anchorage)} m")
        points = data.get("points")
        if not isinstance(points, list):
            return
        if len(points) < 2:
            self.error(stirrup, "points", f"{label} has {len(points)} point{'s' if len(points) != 1 else ''}; a "
                                          f"stirrup needs at least two")
            return
        vertices = [p for entry in points for p in _entry_points(entry)]
        if outline is None:
            far = next((p for p in vertices if max(abs(p[0]), abs(p[1])) > SECTION_SIZE_LIMIT), None)
            if far is not None:
                self.warning(stirrup, "points", f"{label}: the point {_at(far)} looks like millimetres; "
                                                f"coordinates are in metres")
            return
        outside = [p for p in vertices if not outline.contains(p)]
        if outside:
            listed = ", ".join(_at(p).removesuffix(" m") for p in outside[:3]) + (" ..." if len(outside) > 3 else "")
            self.warning(stirrup, "points", f"{label}: {len(outside)} of its points lie outside {concrete}: "
                                            f"{listed} m")

    def check_section(self, check: object) -> None:
        data = _read(check)
        if data is None:
            return
        label = self.describe(check, "CheckSection")
        self.reference(check, label, "check_member", data.get("check_member"), "CheckMember")
        self.reference(check, label, "reinf_section", data.get("reinf_section"), "ReinforcedCrossSection")
        for index, pair in enumerate(data.get("extremes") or (), 1):
            extreme = pair[1] if isinstance(pair, tuple) and len(pair) == 2 else None
            values = _read(extreme) if extreme is not None else None
            if values is None:
                continue
            if all(values.get(key) is None for key in LOADINGS):
                description = values.get("description")
                name = f"extreme {description!r}" if isinstance(description, str) else f"extreme {index}"
                self.warning(extreme, None, f"{name} of {label} has no loading, so IDEA has nothing to check there; "
                                            f"give at least one of {', '.join(LOADINGS)}")

    def member_data(self) -> None:
        seen: dict[int, int] = {}
        for index, data_object in enumerate(self.model.member_data, 1):
            data = _read(data_object)
            if data is None:
                continue
            label = f"member data {index}"
            member = self.reference(data_object, label, "element", data.get("element"), "CheckMember")
            if member is not None:
                label = f"member data {index} (of {self.describe(member)})"
                if id(member) in seen:
                    self.error(data_object, "element", f"{label}: the {self.describe(member)} has member data twice "
                                                       f"(member data {seen[id(member)]} and {index}); IDEA keeps "
                                                       f"one set per member")
                else:
                    seen[id(member)] = index
            humidity = data.get("relative_humidity")
            if is_number(humidity):
                if 0 < humidity <= 1:
                    self.warning(data_object, "relative_humidity", f"{label}: a relative humidity of {_m(humidity)} % "
                                                                   f"looks like a fraction; it is in % (65 for 65 %)")
                elif not HUMIDITY_RANGE[0] <= humidity <= HUMIDITY_RANGE[1]:
                    self.warning(data_object, "relative_humidity",
                                 f"{label}: a relative humidity of {_m(humidity)} % lies outside "
                                 f"{HUMIDITY_RANGE[0]:g} to {HUMIDITY_RANGE[1]:g} %, the range of EN 1992-1-1 Annex B")
            creep = data.get("creep_coefficient")
            if is_number(creep) and creep < 0:
                self.warning(data_object, "creep_coefficient", f"{label}: a creep coefficient of {_m(creep)} is "
                                                               f"negative")

    def project_data(self) -> None:
        project = self.model.project_data
        if project is None:
            return
        date = getattr(project, "date", None)
        if date is not None and not isinstance(date, datetime.date):
            self.error(project, "date", f"project data: 'date' must be a datetime.date, e.g. "
                                        f"datetime.date(2026, 12, 8), got {_got(date)}")
        elif isinstance(date, datetime.datetime) and date.time() != datetime.time():
            self.error(project, "date", f"project data: 'date' {date} has a time of day, which the file does not "
                                        f"keep (it holds the day); give a datetime.date")

    def code_settings(self) -> None:
        settings = self.model.code_settings
        if settings is None:
            return
        angles = {}
        for name in ("theta", "theta_min", "theta_max"):
            value = getattr(settings, name, None)
            if value is None:
                continue
            if not is_number(value):
                self.error(settings, name, f"code settings: '{name}' must be a number of degrees, got {_got(value)}")
                continue
            angles[name] = value
            low, high = STRUT_ANGLE_RANGE
            if 0 < value < 1.6:
                self.warning(settings, name, f"code settings: a strut angle '{name}' of {_m(value)}° looks like "
                                             f"radians; the angles are in degrees ({_m(value)} rad is "
                                             f"{_m(math.degrees(value))}°)")
            elif not low - 1e-9 <= value <= high + 1e-9:
                self.warning(settings, name, f"code settings: a strut angle '{name}' of {_m(value)}° lies outside "
                                             f"{low:.1f}° to {high:g}°, the range of EN 1992-1-1 6.2.3 (2) "
                                             f"(1 <= cot θ <= 2.5)")
        if "theta_min" in angles and "theta_max" in angles and angles["theta_min"] > angles["theta_max"]:
            self.warning(settings, "theta_min", f"code settings: 'theta_min' {_m(angles['theta_min'])}° is more than "
                                                f"'theta_max' {_m(angles['theta_max'])}°")
        cycles = getattr(settings, "n_cycles_fatigue", None)
        if is_number(cycles) and cycles > FATIGUE_CYCLES_LIMIT:
            self.warning(settings, "n_cycles_fatigue", f"code settings: 'n_cycles_fatigue' {_m(cycles)} looks like a "
                                                       f"count; it is in millions of cycles (2 for 2 000 000)")


def _kind_of(element: object) -> str | None:
    for kind in KIND_NAMES:
        if isinstance(element, getattr(objects, kind)):
            return kind
    return None


def _entry_points(entry: Any) -> list[_geometry.Point]:
    """The points a polyline entry names: a vertex, or the end and the point on the arc."""
    if is_point(entry):
        return [_geometry.point(entry)]
    if _geometry.is_arc(entry):
        return [_geometry.point(entry[0]), _geometry.point(entry[1])]
    return []


def _where(outline: _geometry.Outline, p: _geometry.Point) -> str:
    y_min, z_min, y_max, z_max = outline.bounds()
    if y_min <= p[0] <= y_max and z_min <= p[1] <= z_max:
        return ""
    return f", which spans y {_m(y_min)} to {_m(y_max)} m and z {_m(z_min)} to {_m(z_max)} m"


def check_model(model: OpenModel) -> list[ModelIssue]:
    """Every finding about ``model`` that the writer does not make itself, in model order."""
    return _Checker(model).run()


def merge(findings: list[ModelIssue], writer_findings: list[ModelIssue]) -> list[ModelIssue]:
    """The findings with those of the writer that say nothing new.

    The writer names a value or an object it cannot write; where the checks already named an
    error of that same field, or of that object when the writer could not read it at all, the
    writer's finding repeats it.
    """
    named = {(id(issue.object), issue.field) for issue in findings if issue.severity == "error"}
    objects_named = {key[0] for key in named}
    return findings + [issue for issue in writer_findings
                       if (id(issue.object), issue.field) not in named
                       and not (issue.field is None and id(issue.object) in objects_named)]


def errors(findings: list[ModelIssue]) -> Iterator[ModelIssue]:
    return (issue for issue in findings if issue.severity == "error")
