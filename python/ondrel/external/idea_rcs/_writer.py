"""Turns the objects of an OpenModel into the XML document that IDEA StatiCa RCS imports.

The writer walks the ``_serialize()`` dictionaries of the model objects. What each dictionary
key becomes in IDEA's document is data: ``ELEMENTS`` lists, per IDEA type and in IDEA's
element order, which key feeds which element and how its value is written. The whole
document is built in memory first, and every value that cannot be written is named (as a
``ModelIssue``), field by field, so that one pass finds them all.
"""
from __future__ import annotations

import datetime
import functools
import math
import numbers
import sys
from decimal import Decimal
from enum import Enum
from typing import Any, Callable, NamedTuple, TypeGuard, Union

from . import objects
from ._checks import COLLECTIONS, ModelIssue, xml_safe
from ._geometry import is_pair


# An element: its tag, its xsi:type, and its text, its list of child elements, or None when empty.
Node = tuple[str, Union[str, None], Any]


class Field(NamedTuple):
    """One element of an IDEA type.

    ``key`` is the dictionary key that supplies the value ("" for the whole dictionary, None
    for a constant); ``kind`` says how the value is written; ``arg`` qualifies the kind (an
    enumeration, a nested type, a constant text). An absent value (key missing or None) is
    written as ``default`` when one is given, is left out when ``optional``, and is an
    error otherwise.
    """
    element: str  # "" when the nested object's elements go straight into the parent
    key: str | None
    kind: str
    arg: Any = None
    default: str | None = None
    optional: bool = False


def _material_base(*extra: Field) -> tuple[Field, ...]:
    """The elements that every IDEA material starts with, then ``extra``."""
    return (
        Field("Id", "id", "id"),
        Field("Name", "name", "text", optional=True),
        Field("LoadFromLibrary", None, "const", "false"),
        Field("E", "e_modulus", "mpa"),
        Field("G", "g_modulus", "mpa"),
        Field("Poisson", "poisson", "number"),
        Field("UnitMass", "unit_mass", "number"),
        Field("SpecificHeat", "specific_heat", "number"),
        Field("ThermalExpansion", "thermal_expansion", "number"),
        Field("ThermalConductivity", "thermal_conductivity", "number"),
        Field("IsDefaultMaterial", "is_default", "bool"),
        Field("OrderInCode", "order_in_code", "int"),
        Field("", "thermal_state", "inline", "ThermalState"),
        *extra,
    )


def _cross_section_base(*extra: Field) -> tuple[Field, ...]:
    return (
        Field("Id", "id", "id"),
        Field("Name", "name", "text", optional=True),
        Field("CrossSectionRotation", None, "const", "0"),
        Field("IsInPrincipal", None, "const", "false"),
        *extra,
    )


_EXPOSURE_KEYS = ("carbonation", "chlorides", "chlorides_from_sea", "freeze_attack", "chemical_attack")


def _exposure(element: str, key: str, enumeration: str, idea_default: str) -> tuple[Field, Field]:
    """An exposure class: its check switch, then the class (IDEA's default class when unset)."""
    return (
        Field(element + "Check", key, "is_set"),
        Field(element, key, "enum", enumeration, default=idea_default),
    )


# Dictionary keys to IDEA elements, per IDEA type, in IDEA's element order.
ELEMENTS = {
    "MatConcreteEc2": _material_base(
        Field("CalculateDependentValues", "dep_params", "is_none"),
        Field("Fck", "fck", "mpa"),
        Field("", "dep_params", "inline", "ConcDependentParams", optional=True),
        Field("StoneDiameter", "stone_diameter", "number"),
        Field("CementClass", "cement_class", "enum", "ConcCementClass"),
        Field("AggregateType", "aggregate_type", "enum", "ConcAggregateType"),
        Field("DiagramType", "diagram_type", "enum", "ConcDiagramType"),
        Field("SilicaFume", "silica_fume", "bool"),
        Field("PlainConcreteDiagram", "plain_concrete_diagram", "bool"),
    ),
    "ThermalState": (
        Field("StateOfThermalExpansion", "expansion", "enum", "ThermalStateType"),
        Field("StateOfThermalConductivity", "conductivity", "enum", "ThermalStateType"),
        Field("StateOfThermalSpecificHeat", "specific_heat", "enum", "ThermalStateType"),
        Field("StateOfThermalStressStrain", "stress_strain", "enum", "ThermalStateType"),
        Field("StateOfThermalStrain", "strain", "enum", "ThermalStateType"),
    ),
    "ConcDependentParams": (
        Field("Ecm", "Ecm", "mpa"),
        Field("Epsc1", "Epsc1", "number"),
        Field("Epsc2", "Epsc2", "number"),
        Field("Epsc3", "Epsc3", "number"),
        Field("Epscu1", "Epscu1", "number"),
        Field("Epscu2", "Epscu2", "number"),
        Field("Epscu3", "Epscu3", "number"),
        Field("Fctm", "Fctm", "mpa"),
        Field("Fctk_0_05", "Fctk_0_05", "mpa"),
        Field("Fctk_0_95", "Fctk_0_95", "mpa"),
        Field("NFactor", "NFactor", "number"),
        Field("Fcm", "Fcm", "mpa"),
    ),
    "MatReinforcementEc2": _material_base(
        Field("BarSurface", "bar_surface", "enum", "BarSurface"),
        Field("Fyk", "fyk", "mpa"),
        Field("CoeffFtkByFyk", "ftk_by_fyk", "number"),
        Field("Epsuk", "epsuk", "number"),
        Field("Ftk", "ftk", "mpa"),
        Field("Class", "class", "enum", "ReinfClass"),
        Field("Type", "type", "enum", "ReinfType"),
        Field("Fabrication", "fabrication", "enum", "ReinfFabrication"),
        Field("DiagramType", "diagram_type", "enum", "ReinfDiagramType"),
    ),
    "CrossSectionParameter": _cross_section_base(
        Field("CrossSectionType", "cross_section_type", "enum", "CrossSectionType"),
        Field("Parameters", "parameters", "parameters"),
        Field("Material", "material", "ref", "MatConcrete"),
    ),
    "CrossSectionComponent": _cross_section_base(
        Field("Components", "components", "list", ("CssComponent", "_CssComponent"), default=""),
    ),
    "CssComponent": (
        Field("Id", "id", "id"),
        Field("Material", "material", "ref", "MatConcrete"),
        Field("Geometry", "", "region", ("outline", "openings")),
        Field("Phase", None, "const", "0"),
    ),
    "ReinforcedCrossSection": (
        Field("Id", "id", "id"),
        Field("Name", "name", "text", optional=True),
        Field("CrossSection", "cross_section", "ref", "CrossSection"),
        Field("Bars", "bars", "list", ("ReinforcedBar", "ReinforcedBar"), default=""),
        Field("Stirrups", "stirrups", "list", ("Stirrup", "Stirrup"), default=""),
        Field("TendonBars", None, "const", ""),
        Field("TendonDucts", None, "const", ""),
    ),
    "ReinforcedBar": (
        Field("Point", "coordinates", "point"),
        Field("Diameter", "diameter", "number"),
        Field("Material", "material", "ref", "MatReinforcement"),
    ),
    "Stirrup": (
        Field("Geometry", "points", "polyline"),
        Field("Diameter", "diameter", "number"),
        Field("Material", "material", "ref", "MatReinforcement"),
        Field("AnchorageLenght", "anchorage_length", "number", optional=True),  # IDEA's spelling
        Field("DiameterOfMandrel", "mandrel_diameter_factor", "number", optional=True),
        Field("IsClosed", "points", "is_closed"),
        Field("Distance", "distance", "number"),
        Field("ShearCheck", "shear_check", "bool", optional=True),
        Field("TorsionCheck", "torsion_check", "bool", optional=True),
    ),
    "CheckMember1D": (
        Field("Id", "id", "id"),
        Field("Name", "name", "text", optional=True),
    ),
    "ConcreteMemberDataEc2": (
        Field("Element", "element", "ref", "CheckMember"),
        Field("MemberType", "member_type", "enum", "MemberType"),
        Field("TwoWaySlabType", "two_way_slab_type", "enum", "TwoWaySlabType"),
        Field("CalculationSetup", "calculation_setup", "object", "CalculationSetup"),
        Field("ExposureClassesData", "exposure_class_data", "object", "ExposureClassesDataEc2"),
        Field("RelativeHumidity", "relative_humidity", "percent", optional=True),
        Field("CreepCoeffInfinityValue", "creep_coefficient", "user_input", optional=True),
        Field("CreepCoeffInfinity", "creep_coefficient", "number", optional=True),
        Field("CoeffKxForWmax", "coeff_kx_for_wmax", "number", optional=True),
    ),
    "CalculationSetup": (
        Field("UlsResponse", "uls_response", "bool", optional=True),
        Field("UlsDiagram", "uls_diagram", "bool", optional=True),
        Field("UlsShear", "uls_shear", "bool", optional=True),
        Field("UlsTorsion", "uls_torsion", "bool", optional=True),
        Field("UlsInteraction", "uls_interaction", "bool", optional=True),
        Field("SlsCrack", "sls_crack", "bool", optional=True),
        Field("SlsStressLimitation", "sls_stress_limitation", "bool", optional=True),
        Field("Detailing", "detailing", "bool", optional=True),
        Field("MNKappaDiagram", "m_n_kappa_diagram", "bool", optional=True),
        Field("Fatigue", "fatigue", "bool", optional=True),
        Field("CrossSectionCharacteristics", "cross_section_characteristics", "bool", optional=True),
        Field("SlsStiffnesses", "sls_stiffnesses", "bool", optional=True),
    ),
    "ExposureClassesDataEc2": (
        Field("NoCorrosionCheck", "", "no_exposure", _EXPOSURE_KEYS),
        *_exposure("Carbonation", "carbonation", "ExposureClassEc2Carbonation", "XC3"),
        *_exposure("Chlorides", "chlorides", "ExposureClassEc2Chlorides", "XD1"),
        *_exposure("ChloridesFromSea", "chlorides_from_sea", "ExposureClassEc2ChloridesFromSea", "XS1"),
        *_exposure("FreezeAttack", "freeze_attack", "ExposureClassEc2FreezeAttack", "XF1"),
        *_exposure("ChemicalAttack", "chemical_attack", "ExposureClassEc2ChemicalAttack", "XA1"),
    ),
    "StandardCheckSection": (
        Field("Id", "id", "id"),
        Field("Description", "description", "text", optional=True),
        Field("CheckMember", "check_member", "ref", "CheckMember"),
        Field("ReinfSection", "reinf_section", "ref", "ReinforcedCrossSection"),
        Field("Extremes", "extremes", "extremes", default=""),
    ),
    "StandardCheckSectionExtreme": (
        Field("Description", "description", "text", optional=True),
        Field("Fundamental", "fundamental", "object", "LoadingULS", optional=True),
        Field("Accidental", "accidental", "object", "LoadingULS", optional=True),
        Field("Characteristic", "characteristic", "object", "LoadingSLS", optional=True),
        Field("QuasiPermanent", "quasi_permanent", "object", "LoadingSLS", optional=True),
        Field("Frequent", "frequent", "object", "LoadingSLS", optional=True),
        Field("Fatigue", "fatigue", "object", "FatigueLoading", optional=True),
    ),
    "LoadingULS": (
        Field("InternalForces", "internal_forces", "object", "ResultOfInternalForces"),
        Field("InternalForcesBegin", "internal_forces_begin", "object", "ResultOfInternalForces", optional=True),
        Field("InternalForcesEnd", "internal_forces_end", "object", "ResultOfInternalForces", optional=True),
        Field("InternalForces2ndOrder", "internal_forces_second_order", "object", "ResultOfInternalForces",
              optional=True),
        Field("InternalForcesImperfection", "internal_forces_imperfection", "object", "ResultOfInternalForces",
              optional=True),
    ),
    "LoadingSLS": (
        Field("InternalForces", "internal_forces", "object", "ResultOfInternalForces"),
        Field("InternalForcesImperfection", "internal_forces_imperfection", "object", "ResultOfInternalForces",
              optional=True),
    ),
    "FatigueLoading": (
        Field("MaxLoading", "max_loading", "object", "LoadingULS"),
        Field("MinLoading", "min_loading", "object", "LoadingULS"),
    ),
    "ResultOfInternalForces": (
        Field("N", "N", "number"),
        Field("Qy", "Qy", "number"),
        Field("Qz", "Qz", "number"),
        Field("Mx", "Mx", "number"),
        Field("My", "My", "number"),
        Field("Mz", "Mz", "number"),
    ),
    # Read from the dictionary of ProjectData.
    "ProjectData": (
        Field("Name", "name", "text", optional=True),
        Field("Description", "description", "text", optional=True),
        Field("Number", "number", "text", optional=True),
        Field("Author", "author", "text", optional=True),
        Field("Date", "date", "date"),
        Field("CodeDependentData", "", "group", "ProjectDataEc"),
    ),
    "ProjectDataEc": (
        Field("AnnexCode", "national_annex", "enum", "NationalAnnex", default="NoAnnex"),
        Field("FatigueCheck", "fatigue_check", "bool", default="false"),
        Field("FatigueAnnexNN", None, "const", "false"),
    ),
    "ProjectDataConcreteEc2": (
        Field("DesignWorkingLife", "design_working_life", "working_life", default="50"),
        Field("CodeEN1992_2", None, "const", "false"),
        Field("CodeEN1992_3", None, "const", "false"),
    ),
    # Read from the dictionary of CodeSettings, with the national annex of ProjectData added.
    "ConcreteSetupEc2": (
        Field("Id", None, "const", "0"),
        Field("SetupValues", "", "setup_values"),
        Field("Annex", "national_annex", "enum", "NationalAnnex", default="NoAnnex"),
    ),
}

# Code settings become IDEA setup values: key, SetupValueEc2 id, value type, enumeration.
# Enumeration members are written by their number; the angles are radians already.
SETUP_VALUES = (
    ("evaluation_interaction_diagram", 9, "SetupValueInt", "EvaluationInteractionDiagram"),
    ("theta", 25, "SetupValueDouble", None),
    ("theta_min", 26, "SetupValueDouble", None),
    ("theta_max", 27, "SetupValueDouble", None),
    ("n_cycles_fatigue", 130, "SetupValueDouble", None),
    ("no_resistance_concrete_tension_1d", 148, "SetupValueInt", "NoResistanceConcreteTension1d"),
    ("type_sls_calculation", 202, "SetupValueInt", "TypeSLSCalculation"),
)

# The children of the root, in IDEA's order. A tuple names a list of the model: the model's
# collection, the item element, and whether items carry xsi:type; None is an empty list.
DOCUMENT: tuple[tuple[str, Any], ...] = (
    ("Version", "version"),
    ("Point3D", None),
    ("LineSegment3D", None),
    ("ArcSegment3D", None),
    ("PolyLine3D", None),
    ("Region3D", None),
    ("MatConcrete", ("concrete_materials", "MatConcrete", True)),
    ("MatReinforcement", ("reinforcement_materials", "MatReinforcement", True)),
    ("MatSteel", None),
    ("MatPrestressSteel", None),
    ("CrossSection", ("cross_sections", "CrossSection", True)),
    ("ReinforcedCrossSection", ("reinforced_cross_sections", "ReinforcedCrossSection", False)),
    ("HingeElement1D", None),
    ("Opening", None),
    ("DappedEnd", None),
    ("PatchDevice", None),
    ("Element1D", None),
    ("Beam", None),
    ("Member1D", None),
    ("Element2D", None),
    ("Wall", None),
    ("Member2D", None),
    ("RigidLink", None),
    ("PointOnLine3D", None),
    ("PointSupportNode", None),
    ("LineSupportSegment", None),
    ("LoadsInPoint", None),
    ("LoadsOnLine", None),
    ("StrainLoadsOnLine", None),
    ("PointLoadsOnLine", None),
    ("LoadsOnSurface", None),
    ("Settlements", None),
    ("TemperatureLoadsOnLine", None),
    ("LoadGroup", None),
    ("LoadCase", None),
    ("CombiInput", None),
    ("Attribute", ("member_data", "OpenAttribute", True)),
    ("ConnectionPoint", None),
    ("Connections", None),
    ("Reinforcement", None),
    ("ISDModel", None),
    ("InitialImperfectionOfPoint", None),
    ("Tendon", None),
    ("ResultClass", None),
    ("DesignMember", None),
    ("SubStructure", None),
    ("ProjectData", "project_data"),
    ("CheckMember", ("check_members", "CheckMember", True)),
    ("ConcreteCheckSection", ("check_sections", "CheckSection", True)),
    ("ConcreteSetup", "concrete_setup"),
    ("ProjectDataConcrete", "project_data_concrete"),
    ("RebarShape", None),
    ("RebarGeneral", None),
    ("RebarSingle", None),
    ("RebarStirrups", None),
    ("Taper", None),
    ("Span", None),
)

VERSION = "2"

# Enumeration members to IDEA's names.
ENUM_NAMES = {
    "ConcCementClass": {"S": "S", "R": "R", "N": "N"},
    "ConcAggregateType": {"QUARTZITE": "Quartzite", "LIMESTONE": "Limestone", "SANDSTONE": "Sandstone",
                          "BASALT": "Basalt"},
    "ConcDiagramType": {"BILINEAR": "Bilinear", "PARABOLIC": "Parabolic", "USER": "DefinedByUser"},
    "BarSurface": {"SMOOTH": "Smooth", "RIBBED": "Ribbed"},
    "ReinfClass": {"A": "A", "B": "B", "C": "C"},
    "ReinfType": {"BARS": "Bars", "DECOILED_RODS": "DecoiledRods", "WIRE_FABRICS": "WireFabrics",
                  "LATTICE_GIRDERS": "LatticeGirders"},
    "ReinfFabrication": {"HOT_ROLLED": "HotRolled", "COLD_WORKED": "ColdWorked"},
    # IDEA's own spelling ("Biliner", "WithOut").
    "ReinfDiagramType": {"BILINEAR_INCLINED": "BilinerWithAnInclinedTopBranch",
                         "BILINEAR_NOT_INCLINED": "BilinerWithOutAnInclinedTopBranch",
                         "USER": "DefinedByUser"},
    "ThermalStateType": {"NONE": "None", "CODE": "Code", "USER": "User"},
    "NationalAnnex": {"NO_ANNEX": "NoAnnex", "DUTCH": "Dutch", "BELGIUM": "Belgian"},
    "MemberType": {"UNDEFINED": "NoDefined", "BEAM": "Beam", "COLUMN": "Column", "BEAM_SLAB": "BeamSlab",
                   "HOLLOW_CORE_SLAB": "HollowCoreSlab", "TWO_WAY_SLAB": "TwoWaySlab", "PLATE": "Plate",
                   "WALL": "Wall"},
    "TwoWaySlabType": {"SLAB": "Slab", "WALL": "Wall", "DEEP_BEAM": "DeepBeam", "SHELL_AS_PLATE": "ShellAsPlate",
                       "SHELL_AS_WALL": "ShellAsWall"},
    "ExposureClassEc2Carbonation": {"XC1": "XC1", "XC2": "XC2", "XC3": "XC3", "XC4": "XC4"},
    "ExposureClassEc2Chlorides": {"XD1": "XD1", "XD2": "XD2", "XD3": "XD3"},
    "ExposureClassEc2ChloridesFromSea": {"XS1": "XS1", "XS2": "XS2", "XS3": "XS3"},
    "ExposureClassEc2FreezeAttack": {"XF1": "XF1", "XF2": "XF2", "XF3": "XF3", "XF4": "XF4"},
    "ExposureClassEc2ChemicalAttack": {"XA1": "XA1", "XA2": "XA2", "XA3": "XA3"},
    "CrossSectionType": {
        "ONE_COMPONENT_CSS": "OneComponentCss",
        "ROLLED_I": "RolledI",
        "ROLLED_ANGLE": "RolledAngle",
        "ROLLED_T": "RolledT",
        "ROLLED_U": "RolledU",
        "ROLLED_CHS": "RolledCHS",
        "ROLLED_RHS": "RolledRHS",
        "ROLLED_DOUBLE_UO": "RolledDoubleUo",
        "ROLLED_DOUBLE_UC": "RolledDoubleUc",
        "ROLLED_DOUBLE_LT": "RolledDoubleLt",
        "ROLLED_DOUBLE_LU": "RolledDoubleLu",
        "ROLLED_TI": "RolledTI",
        "ROLLED_I_PAR": "RolledIPar",
        "ROLLED_U_PAR": "RolledUPar",
        "ROLLED_L_PAR": "RolledLPar",
        "BOX_FL": "BoxFl",
        "BOX_WEB": "BoxWeb",
        "BOX_2I": "Box2I",
        "BOX_2U": "Box2U",
        "BOX_2U_2PI": "Box2U2PI",
        "BOX_2L": "Box2L",
        "BOX_4L": "Box4L",
        "IW": "Iw",
        "IWN": "Iwn",
        "TW": "Tw",
        "O": "O",
        "RECT": "Rect",
        "IGN": "Ign",
        "IGH": "Igh",
        "TG": "Tg",
        "LG": "Lg",
        "LG_MIRRORED": "LgMirrored",
        "UG": "Ug",
        "CHS_G": "CHSg",
        "ZG": "Zg",
        "RHS_G": "RHSg",
        "OVAL": "Oval",
        "GENERAL": "General",
        "ROLLED_2I": "Rolled2I",
        "TRAPEZOID": "Trapezoid",
        "TTFH": "Ttfh",
        "TWH": "Twh",
        "TGREV": "Tgrev",
        "TTFHREV": "Ttfhrev",
        "TWHREV": "Twhrev",
        "TCHAMFER_1": "Tchamfer1",
        "TCHAMFER_2": "Tchamfer2",
        "TT": "TT",
        "TT1": "TT1",
        "SG": "Sg",
        "GENERAL_STEEL": "GeneralSteel",
        "GENERAL_CONCRETE": "GeneralConcrete",
        "COMPOSITE_BEAM_BOX": "CompositeBeamBox",
        "COMPOSITE_BEAM_BOX_1": "CompositeBeamBox1",
        "COMPOSITE_BEAM_IGEN_T": "CompositeBeamIgenT",
        "COMPOSITE_BEAM_L_LEFT": "CompositeBeamLLeft",
        "COMPOSITE_BEAM_PLATE": "CompositeBeamPlate",
        "COMPOSITE_BEAM_R_RES_T": "CompositeBeamRResT",
        "COMPOSITE_BEAM_R_RES_T_1": "CompositeBeamRResT1",
        "COMPOSITE_BEAM_R_T": "CompositeBeamRT",
        "COMPOSITE_BEAM_SHAPE_CHAMF": "CompositeBeamShapeChamf",
        "COMPOSITE_BEAM_SHAPE_CHAMF_ASYM": "CompositeBeamShapeChamfAssym",
        "COMPOSITE_BEAM_SHAPE_IGEN": "CompositeBeamShapeIgen",
        "COMPOSITE_BEAM_SHAPE_I_T": "CompositeBeamShapeIT",
        "COMPOSITE_BEAM_SHAPE_I_T_ASYM": "CompositeBeamShapeITAssym",
        "COMPOSITE_BEAM_T_LEFT": "CompositeBeamTLeft",
        "COMPOSITE_BEAM_TRAPEZOID": "CompositeBeamTrapezoid",
        "COMPOSITE_BEAM_TRES_T": "CompositeBeamTresT",
        "COMPOSITE_BEAM_TREV": "CompositeBeamTrev",
        "COMPOSITE_BEAM_TREV_RES_I": "CompositeBeamTrevResI",
        "COMPOSITE_BEAM_TREV_RES_I_1": "CompositeBeamTrevResI1",
        "COMPOSITE_BEAM_TREV_RES_R": "CompositeBeamTrevResR",
        "COMPOSITE_BEAM_TREV_RES_R_1": "CompositeBeamTrevResR1",
        "COMPOSITE_BEAM_TREV_T": "CompositeBeamTrevT",
        "COMPOSITE_BEAM_SHAPE_T_T": "CompositeBeamShapeTT",
        "BEAM_SHAPE_I_HAUNCH_CHAMFER": "BeamShapeIHaunchChamfer",
        "BEAM_SHAPE_I_HAUNCH_CHAMFER_ASYM": "BeamShapeIHaunchChamferAssym",
        "BEAM_SHAPE_REV_U": "BeamShapeRevU",
        "BEAM_SHAPE_BOX": "BeamShapeBox",
        "BEAM_SHAPE_BOX_1": "BeamShapeBox1",
        "BEAM_SHAPE_TREV_CHAMFER_HAUNCH_S": "BeamShapeTrevChamferHaunchS",
        "BEAM_SHAPE_TREV_CHAMFER_HAUNCH_D": "BeamShapeTrevChamferHaunchD",
        "BEAM_SHAPE_IREV_DEGEN": "BeamShapeIrevDegen",
        "BEAM_SHAPE_IREV_DEGEN_ADD": "BeamShapeIrevDegenAdd",
        "BEAM_SHAPE_TREV_DEGEN": "BeamShapeTrevDegen",
        "BEAM_SHAPE_TREV_DEGEN_ADD": "BeamShapeTrevDegenAdd",
        "BEAM_SHAPE_Z_DEGEN": "BeamShapeZDegen",
        "BEAM_SHAPE_I_Z_DEGEN": "BeamShapeIZDegen",
        "BEAM_SHAPE_L_DEGEN": "BeamShapeLDegen",
        "CHS_PAR": "CHSPar",
        "UNIQUE_NAME": "UniqueName",
    },
}

Kind = Callable[[Field, Any, str, str], list[Node]]

# Stresses are given in MPa and written in Pa; the relative humidity is given in % and
# written as a fraction.
_SCALE = {"number": 0, "mpa": 6, "percent": -2}
# Kinds that decide themselves what an absent value means.
_SELF_DEFAULTING = {"const", "is_none", "is_set", "no_exposure", "date", "group", "setup_values"}
_ID_KINDS = COLLECTIONS  # reference type name -> the model collection within which its ids are unique
# IDEA's whole numbers (ids, the order in the code) are .NET ints.
INT_RANGE = range(-2**31, 2**31)


@functools.cache
def keys_read(idea_type: str) -> frozenset[str]:
    """Every dictionary key that the elements of ``idea_type`` read."""
    keys: set[str] = set()
    for field in ELEMENTS[idea_type]:
        if field.key:
            keys.add(field.key)
        elif field.kind == "group":
            keys |= keys_read(field.arg)
        elif field.kind == "setup_values":
            keys |= {key for key, *_ in SETUP_VALUES}
        elif field.key == "":
            keys |= set(field.arg)
    return frozenset(keys)


def format_number(value: int | float) -> str:
    """A number in the invariant, round-trip form that IDEA (.NET) writes: 0.7, 1E-05, 30000000."""
    if isinstance(value, int):
        return str(value)
    value = float(value)
    if value.is_integer() and abs(value) < 1e16:
        return f"{value:.0f}"
    return repr(value).replace("e", "E")


def _scaled(value: int | float, exponent: int) -> int | float:
    """``value`` × 10**exponent, rounded once from its shortest decimal form (2.9 MPa gives 2900000 Pa)."""
    if exponent == 0:
        return value
    exact = Decimal(value) if isinstance(value, int) else Decimal(repr(value))
    return float(exact.scaleb(exponent))


def _as_double(value: numbers.Real | int) -> float:
    """The double that equals ``value`` (IDEA reads every number as one); the ValueError says why none does."""
    try:
        double = float(value)
    except OverflowError:
        double = math.inf
    if not math.isfinite(double):
        raise ValueError("is beyond the range of a double, which IDEA reads")
    ratio = getattr(value, "as_integer_ratio", None)
    if (double.as_integer_ratio() != ratio()) if ratio is not None else (double != value):
        raise ValueError(f"has no exact double; IDEA would read {format_number(double)}")
    return double


def _is_nan_or_infinite(value: numbers.Real) -> bool:
    try:
        return not math.isfinite(value)
    except OverflowError:  # a finite number beyond a double, e.g. Fraction(10**400)
        return False


def _escape(text: str) -> str:
    # A carriage return as such would be read back as a line feed (XML's line-end rule).
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\r", "&#13;")


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:30]}... ({len(text)} characters)"


def _is_number(value: object) -> bool:
    """Integers and floats, also those of numerical libraries; booleans are not numbers here."""
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _is_id(value: Any) -> TypeGuard[int]:
    return isinstance(value, int) and not isinstance(value, bool) and 1 <= value < INT_RANGE.stop


class _Writer:
    """Builds the element tree of one document and names every value it cannot write."""

    def __init__(self, collections: dict[str, list[Any]], project_data: Any, code_settings: Any) -> None:
        self._collections = collections
        self._project_data = project_data
        self._code_settings = code_settings
        self._owner: Any = None  # the object whose fields are being written
        self.issues: list[ModelIssue] = []
        self._named: set[tuple[int, str | None, str]] = set()

    def _fail(self, obj: Any, field: str | None, error: ValueError | str) -> None:
        key = (id(obj), field, str(error))
        if key not in self._named:  # two elements made of one value name its fault once
            self._named.add(key)
            self.issues.append(ModelIssue("error", obj, field, str(error)))

    def _unread(self, obj: Any, data: dict[str, Any], label: str, *idea_types: str) -> None:
        """Names every key of ``data`` that no element of ``idea_types`` reads: it would be lost."""
        read = frozenset().union(*(keys_read(idea_type) for idea_type in idea_types))
        for key in data:
            if key not in read:
                self._fail(obj, key, f"{label}: {key!r} has no element in IDEA's {idea_types[0]}, so it would be "
                                     f"lost")

    # -- entry point ----------------------------------------------------------------------

    def document(self) -> Node:
        self._check_ids()
        project = self._settings_dict(self._project_data, "ProjectData", "project_data", "project data")
        self._unread(self._project_data, project, "project data", "ProjectData", "ProjectDataConcreteEc2")
        setup = self._settings_dict(self._code_settings, "CodeSettings", "code_settings", "code settings")
        self._unread(self._code_settings, setup, "code settings", "ConcreteSetupEc2")
        setup_with_annex = {**setup, "national_annex": project.get("national_annex")}
        children: list[Node] = []
        for element, source in DOCUMENT:
            if source is None:
                children.append((element, None, None))
            elif source == "version":
                children.append((element, None, VERSION))
            elif source == "project_data":
                children.append((element, None,
                                 self._fields("ProjectData", project, "project data", self._project_data)))
            elif source == "concrete_setup":
                children.append((element, "ConcreteSetupEc2", self._fields(
                    "ConcreteSetupEc2", setup_with_annex, "code settings", self._code_settings)))
            elif source == "project_data_concrete":
                children.append((element, "ProjectDataConcreteEc2",
                                 self._fields("ProjectDataConcreteEc2", project, "project data", self._project_data)))
            else:
                collection, item, typed = source
                items: list[Node] = []
                for index, obj in enumerate(self._collections[collection], 1):
                    label = self._label(obj, index)
                    try:
                        idea_type = self._idea_type(obj)
                        data = self._serialize(obj, label)
                    except ValueError as error:
                        self._fail(obj, None, error)
                        continue
                    self._unread(obj, data, label, idea_type)
                    items.append((item, idea_type if typed else None, self._fields(idea_type, data, label, obj)))
                children.append((element, None, items))
        return ("OpenModel", None, children)

    # -- model-wide checks ----------------------------------------------------------------

    def _check_ids(self) -> None:
        for type_name, collection in _ID_KINDS.items():
            seen: dict[int, str] = {}
            for index, obj in enumerate(self._collections[collection], 1):
                id_ = getattr(obj, "id", None)
                label = f"{type(obj).__name__} #{index}"
                if not _is_id(id_):
                    self._fail(obj, "id", f"{label}: 'id' must be a positive integer up to 2147483647, got {id_!r}")
                elif id_ in seen:
                    self._fail(obj, "id", f"{type_name} id {id_} is used twice ({seen[id_]} and {label})")
                else:
                    seen[id_] = label

    def _settings_dict(self, obj: Any, class_name: str, attribute: str, label: str) -> dict[str, Any]:
        if obj is None:
            obj = getattr(objects, class_name)()
        try:
            if not isinstance(obj, getattr(objects, class_name)):
                raise ValueError(f"OpenModel: '{attribute}' must be a {class_name}, got {type(obj).__name__}")
            return self._serialize(obj, label)
        except ValueError as error:
            self._fail(obj, None, error)
            return {}

    # -- objects --------------------------------------------------------------------------

    @staticmethod
    def _idea_type(obj: object) -> str:
        """The IDEA type of an object: its class, or the nearest base class IDEA knows."""
        for cls in type(obj).__mro__:
            name = cls.__name__.lstrip("_")
            if name in ELEMENTS:
                return name
        raise ValueError(f"{type(obj).__name__} objects cannot be written to an IDEA OpenModel")

    @staticmethod
    def _label(obj: object, index: int) -> str:
        id_ = getattr(obj, "id", None)
        if isinstance(id_, int) and not isinstance(id_, bool):
            return f"{type(obj).__name__} (id {id_})"
        return f"{type(obj).__name__} #{index}"

    @staticmethod
    def _serialize(obj: Any, label: str) -> dict[str, Any]:
        try:
            data = obj._serialize()
        except Exception as error:  # a value the object itself cannot handle, e.g. a date without strftime
            raise ValueError(f"{label} cannot be read: {type(error).__name__}: {error}") from None
        if not isinstance(data, dict):
            raise ValueError(f"{label}: _serialize() gave {type(data).__name__}, not a dictionary")
        return data

    def _nested(self, value: Any, class_name: str, where: str) -> dict[str, Any]:
        """The dictionary of a nested object, whose every key its IDEA type must read."""
        cls = getattr(objects, class_name)
        if not isinstance(value, cls):
            raise ValueError(f"{where} must be a {class_name}, got {type(value).__name__}")
        data = self._serialize(value, where)
        self._unread(value, data, where, self._idea_type(value))
        return data

    def _fields(self, idea_type: str, data: dict[str, Any], label: str, obj: Any) -> list[Node]:
        """The elements of ``obj`` (whose dictionary is ``data``); a field that cannot be written is named."""
        outer, self._owner = self._owner, obj
        try:
            nodes: list[Node] = []
            for field in ELEMENTS[idea_type]:
                try:
                    nodes.extend(self._field(field, data, label))
                except ValueError as error:
                    self._fail(obj, field.key or None, error)
            return nodes
        finally:
            self._owner = outer

    def _field(self, field: Field, data: dict[str, Any], label: str) -> list[Node]:
        """The nodes of one field; an absent value is its default, nothing, or an error."""
        if field.key is None:
            value = None
        elif field.key == "":
            value = data
        else:
            value = data.get(field.key)
        where = f"{label}: '{field.key}'"
        if value is None and field.kind not in _SELF_DEFAULTING:
            if field.default is not None:
                return [(field.element, None, field.default)]
            if not field.optional:
                raise ValueError(f"{where} has no value")
            return []
        write: Kind = getattr(self, "_kind_" + field.kind)
        return write(field, value, where, label)

    # -- kinds: each returns the nodes of one field ---------------------------------------

    def _kind_const(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [(field.element, None, field.arg)]

    def _kind_id(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not _is_id(value):
            raise ValueError(f"{where} must be a positive integer up to 2147483647, got {value!r}")
        return [(field.element, None, str(value))]

    def _kind_text(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not isinstance(value, str):
            raise ValueError(f"{where} must be a text, got {type(value).__name__}")
        if not xml_safe(value):
            raise ValueError(f"{where} holds a character that XML cannot carry: {value!r}")
        return [(field.element, None, value)]

    def _number(self, value: Any, where: str, exponent: int = 0) -> str:
        """The text of a number × 10**exponent, which IDEA reads back as the very value."""
        if not _is_number(value):
            raise ValueError(f"{where} must be a number, got {type(value).__name__} {value!r}")
        whole = int(value) if isinstance(value, numbers.Integral) else None
        if whole is None and _is_nan_or_infinite(value):
            raise ValueError(f"{where} must be a finite number, got {value!r}")
        try:
            double = _as_double(whole if whole is not None else value)
        except ValueError as error:
            raise ValueError(f"{where} {_shown(value)} {error}") from None
        exact = whole if whole is not None else double
        if exponent == 0:
            return format_number(exact)
        scaled = _scaled(exact, exponent)
        if not math.isfinite(scaled) or (exact != 0 and abs(scaled) < sys.float_info.min):
            raise ValueError(f"{where} {_shown(value)} leaves the range of a double once converted to IDEA's unit "
                             f"(× 1E{exponent:+03d})")
        return format_number(scaled)

    def _kind_number(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [(field.element, None, self._number(value, where, _SCALE[field.kind]))]

    _kind_mpa = _kind_percent = _kind_number

    def _kind_int(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not isinstance(value, numbers.Integral) or isinstance(value, bool):
            raise ValueError(f"{where} must be an integer, got {value!r}")
        if int(value) not in INT_RANGE:
            raise ValueError(f"{where} {int(value)} is beyond IDEA's integers ({INT_RANGE.start} to "
                             f"{INT_RANGE.stop - 1})")
        return [(field.element, None, str(int(value)))]

    def _kind_working_life(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not isinstance(value, numbers.Integral) or isinstance(value, bool) or int(value) not in (50, 75, 100):
            raise ValueError(f"{where} must be 50, 75 or 100 (years), got {value!r}")
        return [(field.element, None, str(int(value)))]

    def _kind_bool(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not isinstance(value, bool):
            raise ValueError(f"{where} must be True or False, got {value!r}")
        return [(field.element, None, "true" if value else "false")]

    def _enum_member(self, value: Any, enumeration: str, where: str) -> Any:
        if not isinstance(value, getattr(objects, enumeration)):
            got = f"{type(value).__name__}.{value.name}" if isinstance(value, Enum) else repr(value)
            raise ValueError(f"{where} must be a {enumeration} member, got {got}")
        return value

    def _kind_enum(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        member = self._enum_member(value, field.arg, where)
        return [(field.element, None, ENUM_NAMES[field.arg][member.name])]

    def _kind_ref(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not isinstance(value, objects._ReferenceElement):
            raise ValueError(f"{where} must be a reference to a {field.arg}, got {type(value).__name__}")
        reference = self._serialize(value, where)
        type_name, id_ = reference.get("type_name"), reference.get("id")
        if type_name != field.arg:
            raise ValueError(f"{where} must refer to a {field.arg}, but refers to a {type_name!r}")
        if not _is_id(id_):
            raise ValueError(f"{where} must refer to a positive integer id up to 2147483647, got {id_!r}")
        # Which element the reference leads to is the model checks' concern (they trace it by identity).
        return [(field.element, None, [("TypeName", None, type_name), ("Id", None, str(id_))])]

    def _kind_object(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        data = self._nested(value, field.arg, where)
        return [(field.element, None, self._fields(field.arg, data, f"{label} > {field.key}", value))]

    def _kind_inline(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        data = self._nested(value, field.arg, where)
        return self._fields(field.arg, data, f"{label} > {field.key}", value)

    def _kind_group(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [(field.element, None, self._fields(field.arg, value, label, self._owner))]

    def _kind_list(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        item_element, class_name = field.arg
        items = []
        for index, obj in enumerate(value, 1):
            item_label = f"{label} > {field.key}[{index}]"
            try:
                data = self._nested(obj, class_name, item_label)
                idea_type = self._idea_type(obj)
            except ValueError as error:
                self._fail(obj, None, error)
                continue
            items.append((item_element, None, self._fields(idea_type, data, item_label, obj)))
        return [(field.element, None, items)]

    def _kind_extremes(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        items = []
        for index, pair in enumerate(value, 1):
            item_label = f"{label} > extremes[{index}]"
            if not (isinstance(pair, tuple) and len(pair) == 2):
                raise ValueError(f"{item_label} must be a (class name, extreme) pair, got {pair!r}")
            extreme = pair[1]
            try:
                data = self._nested(extreme, "CheckSectionExtreme", item_label)
                idea_type = self._idea_type(extreme)
            except ValueError as error:
                self._fail(extreme, None, error)
                continue
            items.append(("CheckSectionExtreme", idea_type, self._fields(idea_type, data, item_label, extreme)))
        return [(field.element, None, items)]

    def _kind_is_none(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [(field.element, None, "true" if value is None else "false")]

    def _kind_is_set(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [(field.element, None, "false" if value is None else "true")]

    def _kind_no_exposure(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        exposed = any(value.get(key) is not None for key in field.arg)
        return [(field.element, None, "false" if exposed else "true")]

    def _kind_user_input(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [(field.element, None, "UserInput")]

    def _kind_date(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if value is None:
            value = datetime.date.today().isoformat()
        try:
            datetime.date.fromisoformat(value)
        except (TypeError, ValueError):
            raise ValueError(f"{where} must be a date as YYYY-MM-DD, got {value!r}") from None
        return [(field.element, None, f"{value}T00:00:00")]

    def _kind_parameters(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        if not isinstance(value, dict):
            raise ValueError(f"{where} must be a dictionary of parameters, got {type(value).__name__}")
        items = []
        for name, parameter in value.items():
            item_where = f"{label}: parameter {name!r}"
            try:  # each parameter is named on its own, as the checks name it
                if not isinstance(name, str) or not name or not xml_safe(name):
                    raise ValueError(f"{item_where}: the name must be a non-empty text")
                if isinstance(parameter, bool):
                    idea_type, text = "ParameterBool", "true" if parameter else "false"
                elif isinstance(parameter, str):
                    idea_type, text = "ParameterString", self._kind_text(field, parameter, item_where, label)[0][2]
                else:
                    idea_type, text = "ParameterDouble", self._number(parameter, item_where)
            except ValueError as error:
                self._fail(self._owner, name, error)
                continue
            items.append(("Parameter", idea_type, [("Name", None, name), ("Value", None, text)]))
        return [(field.element, None, items)]

    def _point(self, point: Any, where: str) -> tuple[str, str]:
        if not is_pair(point):
            raise ValueError(f"{where} must be a (y, z) pair, got {point!r}")
        return (self._number(point[0], where), self._number(point[1], where))

    @staticmethod
    def _point_node(element: str, point: tuple[str, str]) -> Node:
        return (element, None, [("X", None, point[0]), ("Y", None, point[1])])

    def _kind_point(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [self._point_node(field.element, self._point(value, where))]

    def _segments(self, points: Any, where: str) -> tuple[tuple[str, str], list[Node], tuple[str, str] | None]:
        """The start point, then the (y, z) vertices and ((y_end, z_end), (y_on_arc, z_on_arc)) arcs
        as IDEA segments, and the end point of the last segment."""
        if points is None or isinstance(points, (str, bytes)) or not hasattr(points, "__len__") or len(points) == 0:
            raise ValueError(f"{where} must be a non-empty list of points")
        start = self._point(points[0], f"{where}[1]")
        end = None
        segments: list[Node] = []
        for index, entry in enumerate(points[1:], 2):
            entry_where = f"{where}[{index}]"
            if is_pair(entry) and is_pair(entry[0]) and is_pair(entry[1]):
                end, on_arc = self._point(entry[0], entry_where), self._point(entry[1], entry_where)
                segments.append(("Segment2D", "ArcSegment2D",
                                 [self._point_node("EndPoint", end), self._point_node("Point", on_arc)]))
            else:
                end = self._point(entry, entry_where)
                segments.append(("Segment2D", "LineSegment2D", [self._point_node("EndPoint", end)]))
        return start, segments, end

    def _polyline(self, element: str, points: Any, where: str, close: bool) -> Node:
        start, segments, end = self._segments(points, where)
        if close and end != start:
            segments.append(("Segment2D", "LineSegment2D", [self._point_node("EndPoint", start)]))
        return (element, None, [self._point_node("StartPoint", start), ("Segments", None, segments)])

    def _kind_polyline(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        return [self._polyline(field.element, value, where, close=False)]

    def _kind_is_closed(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        start, _, end = self._segments(value, where)
        return [(field.element, None, "true" if end == start else "false")]

    def _kind_region(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        outline_key, openings_key = field.arg
        outline = self._polyline("Outline", value.get(outline_key), f"{label}: '{outline_key}'", close=True)
        openings = value.get(openings_key)
        if openings is not None and (isinstance(openings, (str, bytes)) or not hasattr(openings, "__iter__")):
            raise ValueError(f"{label}: '{openings_key}' must be a list of openings, each a list of points, got "
                             f"{openings!r}")
        openings = [self._polyline("Openings", opening, f"{label}: '{openings_key}'[{index}]", close=True)
                    for index, opening in enumerate(openings if openings is not None else (), 1)]
        return [(field.element, None, [outline, *openings])]

    def _kind_setup_values(self, field: Field, value: Any, where: str, label: str) -> list[Node]:
        items = []
        for key, setup_id, idea_type, enumeration in SETUP_VALUES:
            setting = value.get(key)
            if setting is None:
                continue
            setting_where = f"{label}: '{key}'"
            if enumeration:
                text = str(self._enum_member(setting, enumeration, setting_where).value)
            else:
                text = self._number(setting, setting_where)
            items.append(("SetupValue", idea_type, [("Id", None, str(setup_id)), ("Value", None, text)]))
        return [(field.element, None, items)]


def _render(node: Node, depth: int, out: list[str]) -> None:
    tag, idea_type, content = node
    pad = "  " * depth
    start = f'{tag} xsi:type="{idea_type}"' if idea_type else tag
    if isinstance(content, list) and content:
        out.append(f"{pad}<{start}>")
        for child in content:
            _render(child, depth + 1, out)
        out.append(f"{pad}</{tag}>")
    elif isinstance(content, str) and content:
        out.append(f"{pad}<{start}>{_escape(content)}</{tag}>")
    else:
        out.append(f"{pad}<{start} />")


def build(collections: dict[str, list[Any]], project_data: Any, code_settings: Any) -> tuple[Node, list[ModelIssue]]:
    """The element tree of the OpenModel document of the given model collections, and every value
    that could not be written in it (the tree is complete only when there is none)."""
    writer = _Writer(collections, project_data, code_settings)
    root = writer.document()
    return root, writer.issues


def render(root: Node) -> str:
    """The text of a document built by :func:`build`."""
    out = ['<?xml version="1.0" encoding="utf-8"?>',
           '<OpenModel xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
           'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">']
    for child in root[2]:
        _render(child, 1, out)
    out.append("</OpenModel>")
    return "\n".join(out)
