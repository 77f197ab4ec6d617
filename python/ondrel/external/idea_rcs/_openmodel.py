"""``OpenModel``: builds an IDEA StatiCa RCS project and writes the file that IDEA imports."""
from __future__ import annotations

import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar, cast

from . import _eurocode
from . import objects
from ._checks import ElementId, ModelError, ModelIssue, ModelWarning

if TYPE_CHECKING:
    from ondrel.core import File

    from ._writer import Node

_Element = TypeVar("_Element")


class OpenModel:
    """An IDEA StatiCa RCS project, made object by object and written as IDEA's OpenModel XML.

    The factory methods create the materials, the check member, the cross-sections, the
    reinforced cross-sections, the check sections and the member data. Each gives its kind
    the ids 1, 2, 3, ..., keeps the new object and returns it, so that bars, stirrups and
    extremes can be added to it. Project data and code settings are attached as attributes::

        model = OpenModel(project_data=ProjectData(name="Beam"))
        concrete = model.create_matconcrete_ec2(ConcreteMaterial.C30_37)
        ...
        model.check()           # every error and warning at once; write() refuses the errors
        model.write("beam.xml")

    Units of the values you pass (the writer converts them to IDEA's SI units):

    - lengths, coordinates, diameters, distances: m
    - strengths, stresses and moduli of elasticity: MPa (written in Pa)
    - strains and ratios: fractions [-] (0.025 is 2.5 %)
    - forces: N; moments: N·m (written as given)
    - density: kg/m³; thermal expansion: 1/K; specific heat: J/(kg·K); conductivity: W/(m·K)
    - relative humidity: % (written as a fraction)
    - strut angles of the code settings: degrees (written in radians)

    :param project_data: the project header (default: an empty ``ProjectData``)
    :param code_settings: the code and calculation settings (default: IDEA's settings)
    """

    def __init__(self, *, project_data: objects.ProjectData | None = None,
                 code_settings: objects.CodeSettings | None = None) -> None:
        self.project_data = project_data
        self.code_settings = code_settings
        self._concrete_materials: list[objects.MatConcreteEc2] = []
        self._reinforcement_materials: list[objects.MatReinforcementEc2] = []
        self._cross_sections: list[objects.CrossSectionParameter | objects.CrossSectionComponent] = []
        self._reinforced_cross_sections: list[objects.ReinforcedCrossSection] = []
        self._check_members: list[objects.CheckMember1D] = []
        self._check_sections: list[objects.StandardCheckSection] = []
        self._member_data: list[objects.ConcreteMemberDataEc2] = []

    # -- what the model holds ------------------------------------------------------------

    @property
    def concrete_materials(self) -> list[objects.MatConcreteEc2]:
        return list(self._concrete_materials)

    @property
    def reinforcement_materials(self) -> list[objects.MatReinforcementEc2]:
        return list(self._reinforcement_materials)

    @property
    def cross_sections(self) -> list[objects.CrossSectionParameter | objects.CrossSectionComponent]:
        return list(self._cross_sections)

    @property
    def reinforced_cross_sections(self) -> list[objects.ReinforcedCrossSection]:
        return list(self._reinforced_cross_sections)

    @property
    def check_members(self) -> list[objects.CheckMember1D]:
        return list(self._check_members)

    @property
    def check_sections(self) -> list[objects.StandardCheckSection]:
        return list(self._check_sections)

    @property
    def member_data(self) -> list[objects.ConcreteMemberDataEc2]:
        return list(self._member_data)

    # -- materials -----------------------------------------------------------------------

    def create_matconcrete_ec2(
        self,
        material: objects.ConcreteMaterial,
        *,
        name: str | None = None,
        e_modulus: float | None = None,
        g_modulus: float | None = None,
        poisson: float | None = None,
        unit_mass: float | None = None,
        specific_heat: float | None = None,
        thermal_expansion: float | None = None,
        thermal_conductivity: float | None = None,
        is_default: bool = False,
        order_in_code: int = 0,
        thermal_state: objects.ThermalState | None = None,
        fck: float | None = None,
        stone_diameter: float | None = None,
        cement_class: objects.ConcCementClass | None = None,
        aggregate_type: objects.ConcAggregateType | None = None,
        diagram_type: objects.ConcDiagramType | None = None,
        silica_fume: bool = False,
        plain_concrete_diagram: bool = False,
        dep_params: objects.ConcDependentParams | None = None,
        **dependent_values: float,
    ) -> objects.MatConcreteEc2:
        """Create a Eurocode 2 concrete from a strength class.

        Every value follows from the class by EN 1992-1-1 unless given here.

        :param material: the strength class, e.g. ``ConcreteMaterial.C30_37``
        :param name: name (default: the class name, e.g. "C30/37")
        :param e_modulus: modulus of elasticity [MPa] (default: Ecm)
        :param g_modulus: shear modulus [MPa] (default: E / (2 (1 + ν)))
        :param poisson: Poisson's ratio [-] (default: 0.2, EN 1992-1-1 3.1.3 (4))
        :param unit_mass: density [kg/m³] (default: 2500)
        :param specific_heat: specific heat [J/(kg·K)] (default: 900, EN 1992-1-2 3.3.2)
        :param thermal_expansion: coefficient of thermal expansion [1/K] (default: 1E-05, EN 1992-1-1 3.1.3 (5))
        :param thermal_conductivity: thermal conductivity [W/(m·K)] (default: 1.95, EN 1992-1-2 3.3.3)
        :param is_default: IDEA's default-material flag (default: False)
        :param order_in_code: IDEA's order in the code's material list (default: 0)
        :param thermal_state: thermal states (default: ``ThermalState()``, all NONE)
        :param fck: characteristic cylinder strength [MPa] (default: from the class)
        :param stone_diameter: aggregate size [m] (default: 0.016)
        :param cement_class: cement class, EN 1992-1-1 3.1.2 (6) (default: ``ConcCementClass.N``)
        :param aggregate_type: aggregate, which scales Ecm by EN 1992-1-1 3.1.3 (2) (default: QUARTZITE)
        :param diagram_type: stress-strain diagram (default: ``ConcDiagramType.PARABOLIC``)
        :param silica_fume: silica fume (default: False)
        :param plain_concrete_diagram: stress-strain diagram with a tension part (default: False)
        :param dep_params: all values of EN 1992-1-1 Table 3.1 at once (default: computed from fck)
        :param dependent_values: single values of Table 3.1 by the names of ``ConcDependentParams``
                                 (E_cm, eps_c1, eps_c2, eps_c3, eps_cu1, eps_cu2, eps_cu3, F_ctm, F_ctk_0_05,
                                 F_ctk_0_95, n_factor, F_cm), replacing the computed ones
        """
        grade = _member(material, "ConcreteMaterial", "material")
        cement_class = cement_class if cement_class is not None else objects.ConcCementClass.N
        aggregate_type = aggregate_type if aggregate_type is not None else objects.ConcAggregateType.QUARTZITE
        aggregate = _member(aggregate_type, "ConcAggregateType", "aggregate_type")
        diagram_type = diagram_type if diagram_type is not None else objects.ConcDiagramType.PARABOLIC
        if fck is None:
            fck = float(objects._MATERIAL_PROPERTIES[grade]["fck"])
        if dep_params is None:
            values = _eurocode.concrete_dependent_values(fck, aggregate.name)
            unknown = set(dependent_values) - set(values)
            if unknown:
                raise TypeError(f"create_matconcrete_ec2() got an unexpected keyword argument '{min(unknown)}'")
            values.update(dependent_values)
            dep_params = objects.ConcDependentParams(**values)
            e_cm = values["E_cm"]
        elif dependent_values:
            raise TypeError("create_matconcrete_ec2() takes either 'dep_params' or single dependent values")
        else:
            e_cm = dep_params._serialize()["Ecm"]
        if e_modulus is None:
            e_modulus = e_cm
        if poisson is None:
            poisson = _eurocode.CONCRETE_POISSON
        concrete = objects.MatConcreteEc2(
            ElementId(len(self._concrete_materials) + 1),
            name if name is not None else objects._MATERIAL_NAMES[grade]["name"],
            e_modulus,
            g_modulus if g_modulus is not None else _eurocode.shear_modulus(e_modulus, poisson),
            poisson,
            unit_mass if unit_mass is not None else _eurocode.CONCRETE_UNIT_MASS,
            specific_heat if specific_heat is not None else _eurocode.CONCRETE_SPECIFIC_HEAT,
            thermal_expansion if thermal_expansion is not None else _eurocode.CONCRETE_THERMAL_EXPANSION,
            thermal_conductivity if thermal_conductivity is not None else _eurocode.CONCRETE_THERMAL_CONDUCTIVITY,
            is_default,
            order_in_code,
            thermal_state if thermal_state is not None else objects.ThermalState(),
            fck,
            stone_diameter if stone_diameter is not None else _eurocode.CONCRETE_STONE_DIAMETER,
            cement_class,
            aggregate_type,
            diagram_type,
            silica_fume,
            plain_concrete_diagram,
            dep_params,
        )
        return self._keep(concrete, self._concrete_materials)

    def create_matreinforcement_ec2(
        self,
        material: objects.ReinforcementMaterial,
        *,
        name: str | None = None,
        e_modulus: float | None = None,
        g_modulus: float | None = None,
        poisson: float | None = None,
        unit_mass: float | None = None,
        specific_heat: float | None = None,
        thermal_expansion: float | None = None,
        thermal_conductivity: float | None = None,
        is_default: bool = False,
        order_in_code: int = 0,
        thermal_state: objects.ThermalState | None = None,
        bar_surface: objects.BarSurface | None = None,
        fyk: float | None = None,
        ftk_by_fyk: float | None = None,
        epsuk: float | None = None,
        ftk: float | None = None,
        class_: objects.ReinfClass | None = None,
        type_: objects.ReinfType | None = None,
        fabrication: objects.ReinfFabrication | None = None,
        diagram_type: objects.ReinfDiagramType | None = None,
    ) -> objects.MatReinforcementEc2:
        """Create a Eurocode 2 reinforcing steel from a grade.

        Every value follows from the grade by EN 1992-1-1 (3.2 and Annex C) unless given here.

        :param material: the grade, e.g. ``ReinforcementMaterial.B_500B``
        :param name: name (default: the grade name, e.g. "B 500B")
        :param e_modulus: modulus of elasticity [MPa] (default: 200000, EN 1992-1-1 3.2.7 (4))
        :param g_modulus: shear modulus [MPa] (default: E / (2 (1 + ν)))
        :param poisson: Poisson's ratio [-] (default: 0.3, EN 1993-1-1 3.2.6)
        :param unit_mass: density [kg/m³] (default: 7850, EN 1992-1-1 3.2.7 (3))
        :param specific_heat: specific heat [J/(kg·K)] (default: 440, EN 1993-1-2 3.4.1.2)
        :param thermal_expansion: coefficient of thermal expansion [1/K] (default: 1E-05)
        :param thermal_conductivity: thermal conductivity [W/(m·K)] (default: 53.3, EN 1993-1-2 3.4.1.3)
        :param is_default: IDEA's default-material flag (default: False)
        :param order_in_code: IDEA's order in the code's material list (default: 0)
        :param thermal_state: thermal states (default: ``ThermalState()``, all NONE)
        :param bar_surface: bar surface (default: ``BarSurface.RIBBED``)
        :param fyk: characteristic yield strength [MPa] (default: from the grade)
        :param ftk_by_fyk: ratio k = ftk / fyk [-] (default: from the ductility class, Annex C)
        :param epsuk: characteristic strain at maximum force [-] (default: from the ductility class,
                      0.025 / 0.05 / 0.075 for A / B / C)
        :param ftk: characteristic tensile strength [MPa] (default: k · fyk)
        :param class_: ductility class (default: the letter of the grade)
        :param type_: product form (default: ``ReinfType.BARS``)
        :param fabrication: fabrication (default: ``ReinfFabrication.HOT_ROLLED``)
        :param diagram_type: stress-strain diagram (default: ``ReinfDiagramType.BILINEAR_INCLINED``)
        """
        grade = _member(material, "ReinforcementMaterial", "material")
        properties = objects._MATERIAL_PROPERTIES[grade]
        grade_name = objects._MATERIAL_NAMES[grade]["name"]
        if fyk is None:
            fyk = float(properties["fyk"])
        if ftk_by_fyk is None:
            ftk_by_fyk = properties["ftk_by_fyk"]
        if epsuk is None:
            epsuk = properties["epsuk"] * _eurocode.GRADE_TABLE_EPSUK_UNIT
        if e_modulus is None:
            e_modulus = _eurocode.STEEL_E_MODULUS
        if poisson is None:
            poisson = _eurocode.STEEL_POISSON
        steel = objects.MatReinforcementEc2(
            ElementId(len(self._reinforcement_materials) + 1),
            name if name is not None else grade_name,
            e_modulus,
            g_modulus if g_modulus is not None else _eurocode.shear_modulus(e_modulus, poisson),
            poisson,
            unit_mass if unit_mass is not None else _eurocode.STEEL_UNIT_MASS,
            specific_heat if specific_heat is not None else _eurocode.STEEL_SPECIFIC_HEAT,
            thermal_expansion if thermal_expansion is not None else _eurocode.STEEL_THERMAL_EXPANSION,
            thermal_conductivity if thermal_conductivity is not None else _eurocode.STEEL_THERMAL_CONDUCTIVITY,
            is_default,
            order_in_code,
            thermal_state if thermal_state is not None else objects.ThermalState(),
            bar_surface if bar_surface is not None else objects.BarSurface.RIBBED,
            fyk,
            ftk_by_fyk,
            epsuk,
            ftk if ftk is not None else ftk_by_fyk * fyk,
            class_ if class_ is not None else objects.ReinfClass[grade_name[-1]],
            type_ if type_ is not None else objects.ReinfType.BARS,
            fabrication if fabrication is not None else objects.ReinfFabrication.HOT_ROLLED,
            diagram_type if diagram_type is not None else objects.ReinfDiagramType.BILINEAR_INCLINED,
        )
        return self._keep(steel, self._reinforcement_materials)

    # -- members and sections ------------------------------------------------------------

    def create_check_member1d(self, name: str | None = None) -> objects.CheckMember1D:
        """Create a one-dimensional check member (IDEA's design member).

        :param name: name of the member (default: none, IDEA names it)
        """
        # The member takes None as "no name": IDEA then names it.
        member = objects.CheckMember1D(ElementId(len(self._check_members) + 1), cast(str, name))
        return self._keep(member, self._check_members)

    def create_cross_section_parameter(self, name: str, cross_section_type: objects.CrossSectionType,
                                       material: objects.MatConcrete,
                                       **parameters: float) -> objects.CrossSectionParameter:
        """Create a parametric cross-section: a shape and its dimensions.

        The parameters take IDEA's names for the shape, in metres, e.g. for
        ``CrossSectionType.RECT`` ``Width`` and ``Height``; for ``TG`` (a T section) ``Height``,
        ``Width`` (flange width), ``TopFlangeWidth`` (flange depth) and ``WallWidth`` (web width);
        for ``O`` (circle) ``D``. Numbers are written as IDEA's ParameterDouble, booleans as
        ParameterBool and texts as ParameterString.

        :param name: name of the cross-section
        :param cross_section_type: the shape
        :param material: concrete made by :meth:`create_matconcrete_ec2`
        :param parameters: the dimensions of the shape [m]
        """
        self._check_own(material, self._concrete_materials, "material", "create_matconcrete_ec2")
        reference = objects._ReferenceElement(material.id, "MatConcrete")
        section = objects.CrossSectionParameter(ElementId(len(self._cross_sections) + 1), name, cross_section_type,
                                                reference, **parameters)
        return self._keep(section, self._cross_sections)

    def create_cross_section_component(self, name: str) -> objects.CrossSectionComponent:
        """Create a cross-section made of polygons; add them with ``create_component``.

        Cross-sections of both kinds share one list in IDEA and so one numbering.

        :param name: name of the cross-section
        """
        section = objects.CrossSectionComponent(ElementId(len(self._cross_sections) + 1), name)
        return self._keep(section, self._cross_sections)

    def create_reinforced_cross_section(
        self,
        name: str,
        cross_section: objects.CrossSection,
        bars: list[objects.ReinforcedBar] | None = None,
        stirrups: list[objects.Stirrup] | None = None,
    ) -> objects.ReinforcedCrossSection:
        """Create a reinforced cross-section on a cross-section; add bars and stirrups to it.

        :param name: name of the reinforced cross-section
        :param cross_section: a cross-section made by this model
        :param bars: bars to start with (default: none)
        :param stirrups: stirrups to start with (default: none)
        """
        self._check_own(cross_section, self._cross_sections, "cross_section",
                        "create_cross_section_parameter or create_cross_section_component")
        reference = objects._ReferenceElement(cross_section.id, "CrossSection")
        section = objects.ReinforcedCrossSection(ElementId(len(self._reinforced_cross_sections) + 1), name,
                                                 reference, bars, stirrups)
        return self._keep(section, self._reinforced_cross_sections)

    def add_check_section(
        self,
        description: str,
        check_member: objects.CheckMember,
        reinf_section: objects.ReinforcedCrossSection,
        extremes: list[objects.CheckSectionExtreme] | None = None,
    ) -> objects.StandardCheckSection:
        """Add a section to check; add its extremes with ``create_extreme``.

        :param description: name of the section, e.g. "S1"; extremes are named after it
        :param check_member: the member made by :meth:`create_check_member1d` on which the section lies
        :param reinf_section: the reinforced cross-section to check
        :param extremes: extremes to start with (default: none)
        """
        self._check_own(check_member, self._check_members, "check_member", "create_check_member1d")
        self._check_own(reinf_section, self._reinforced_cross_sections, "reinf_section",
                        "create_reinforced_cross_section")
        section = objects.StandardCheckSection(
            ElementId(len(self._check_sections) + 1), description,
            objects._ReferenceElement(check_member.id, "CheckMember"),
            objects._ReferenceElement(reinf_section.id, "ReinforcedCrossSection"),
            extremes)
        return self._keep(section, self._check_sections)

    def add_member_data_ec2(
        self,
        member: objects.CheckMember,
        member_type: objects.MemberType,
        two_way_slab_type: objects.TwoWaySlabType,
        calculation_setup: objects.CalculationSetup | None = None,
        coeff_kx_for_wmax: float | None = None,
        exposure_class_data: objects.ExposureClassesDataEc2 | None = None,
        creep_coefficient: float | None = None,
        relative_humidity: float | None = None,
    ) -> objects.ConcreteMemberDataEc2:
        """Add the Eurocode 2 member data of a check member.

        :param member: the member made by :meth:`create_check_member1d`
        :param member_type: kind of member, e.g. ``MemberType.BEAM``
        :param two_way_slab_type: behaviour as two-way slab (IDEA's default: ``SHELL_AS_PLATE``)
        :param calculation_setup: the checks to run (default: IDEA's choice for each)
        :param coeff_kx_for_wmax: coefficient kx for wmax [-], Dutch annex (default: set by IDEA, 1.0)
        :param exposure_class_data: exposure classes (default: none, no corrosion check)
        :param creep_coefficient: final creep coefficient φ(∞, t0) [-] (default: calculated by IDEA)
        :param relative_humidity: relative humidity [%] (default: set by IDEA, 65 %)
        """
        self._check_own(member, self._check_members, "member", "create_check_member1d")
        data = objects.ConcreteMemberDataEc2(objects._ReferenceElement(member.id, "CheckMember"), member_type,
                                             two_way_slab_type, calculation_setup, coeff_kx_for_wmax,
                                             exposure_class_data, creep_coefficient, relative_humidity)
        self._member_data.append(data)
        return data

    # -- checks and output ----------------------------------------------------------------

    def check(self) -> list[ModelIssue]:
        """Every finding about the model at once, errors and warnings, in model order.

        Errors (the model is not written): a reference to an object of another model or of the
        wrong kind (a concrete given as the steel of a bar), shape parameters that the shape does
        not have or misses, sizes that are not positive, stirrups of fewer than two points,
        member data given twice for one member, values of the wrong type, and every value the
        writer cannot write (NaN, an enumeration member of the wrong kind...).
        Warnings: lengths and diameters that look like millimetres, bars and stirrup points
        outside the concrete (or in an opening), extremes with no loading, strut angles and
        humidities outside the code's range or in another unit.
        """
        return self._document()[1]

    def to_xml(self) -> str:
        """The IDEA OpenModel XML of the model, as text.

        The model is checked first (:meth:`check`): errors raise one ``ModelError`` listing them
        all, warnings are issued as ``ModelWarning``.

        :raises ModelError: a ``ValueError`` naming every object and field that cannot be written
        """
        from . import _writer
        root, issues = self._document()
        errors = [issue for issue in issues if issue.severity == "error"]
        if errors:
            raise ModelError(errors)
        for issue in issues:
            warnings.warn(issue.message, ModelWarning, skip_file_prefixes=(os.path.dirname(__file__),))
        return _writer.render(root)

    def to_file(self) -> File:
        """The IDEA OpenModel XML of the model, UTF-8 encoded, in an ``ondrel.core.File``.

        The model is checked as by :meth:`to_xml`.
        """
        from ondrel.core import File
        return File.from_data(self.to_xml().encode("utf-8"))

    def write(self, path: str | os.PathLike[str]) -> Path:
        """Write the IDEA OpenModel XML of the model to ``path`` (UTF-8) and return the path.

        The model is checked as by :meth:`to_xml` before the file is touched, and the file is
        replaced in one step (as by ``File.save``), so a failure never leaves half a file behind.

        :raises ModelError: a ``ValueError`` listing every error of :meth:`check`; nothing is written
        """
        self.to_file().save(path)
        return Path(path)

    def _document(self) -> tuple[Node, list[ModelIssue]]:
        """The document's element tree and every finding; the tree is complete only without errors."""
        from . import _checks, _writer  # the writer and its tables load only when a model is written
        collections: dict[str, list[Any]] = {
            "concrete_materials": self._concrete_materials,
            "reinforcement_materials": self._reinforcement_materials,
            "cross_sections": self._cross_sections,
            "reinforced_cross_sections": self._reinforced_cross_sections,
            "check_members": self._check_members,
            "check_sections": self._check_sections,
            "member_data": self._member_data,
        }
        root, format_issues = _writer.build(collections, self.project_data, self.code_settings)
        return root, _checks.merge(_checks.check_model(self), format_issues)

    # -- helpers -------------------------------------------------------------------------

    @staticmethod
    def _keep(element: _Element, collection: list[Any]) -> _Element:
        """Keep a new element; its id leads back to it from the references made of it."""
        cast(ElementId, cast(Any, element).id).bind(element)
        collection.append(element)
        return element

    @staticmethod
    def _check_own(obj: object, collection: list[Any], argument: str, factory: str) -> None:
        if not any(item is obj for item in collection):
            raise ValueError(f"'{argument}' must be made by {factory} of this model, got {obj!r}")


def _member(value: Any, enumeration: str, argument: str) -> Any:
    if not isinstance(value, getattr(objects, enumeration)):
        raise ValueError(f"'{argument}' must be a {enumeration} member, got {value!r}")
    return value
