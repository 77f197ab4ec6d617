"""Plain-Python equivalent of ``ondrel.external.idea_rcs.objects``.

The benchmarks compare the compiled module against this file, and the host layer's tests
can run against it while the compiled module is being built. It is written the way a
Python developer would write the module by hand: plain classes, attributes set in the
constructors, dictionary literals in ``_serialize``.
"""
from __future__ import annotations

import datetime
import math
from abc import ABC, abstractmethod
from enum import Enum
from typing import List, Tuple, Any, Union, Sequence, Optional, Literal

__all__ = [
    'BarSurface',
    'CalculationSetup',
    'CheckMember',
    'CheckMember1D',
    'CheckSection',
    'CheckSectionExtreme',
    'CodeSettings',
    'ConcAggregateType',
    'ConcCementClass',
    'ConcDependentParams',
    'ConcDiagramType',
    'ConcreteMaterial',
    'ConcreteMemberDataEc2',
    'CrossSection',
    'CrossSectionComponent',
    'CrossSectionParameter',
    'CrossSectionType',
    'EvaluationInteractionDiagram',
    'ExposureClassEc2Carbonation',
    'ExposureClassEc2ChemicalAttack',
    'ExposureClassEc2Chlorides',
    'ExposureClassEc2ChloridesFromSea',
    'ExposureClassEc2FreezeAttack',
    'ExposureClassesDataEc2',
    'FatigueLoading',
    'LoadingSLS',
    'LoadingULS',
    'MatConcrete',
    'MatConcreteEc2',
    'MatReinforcement',
    'MatReinforcementEc2',
    'MemberType',
    'NationalAnnex',
    'NoResistanceConcreteTension1d',
    'ProjectData',
    'ReinfClass',
    'ReinfDiagramType',
    'ReinfFabrication',
    'ReinfType',
    'ReinforcedBar',
    'ReinforcedCrossSection',
    'ReinforcementMaterial',
    'ResultOfInternalForces',
    'StandardCheckSection',
    'StandardCheckSectionExtreme',
    'Stirrup',
    'ThermalState',
    'ThermalStateType',
    'TwoWaySlabType',
    'TypeSLSCalculation',
]


# -- grade tables ------------------------------------------------------------------------

class ConcreteMaterial(Enum):
    C12_15: 'ConcreteMaterial' = 1
    C16_20: 'ConcreteMaterial' = 2
    C20_25: 'ConcreteMaterial' = 3
    C25_30: 'ConcreteMaterial' = 4
    C30_37: 'ConcreteMaterial' = 5
    C35_45: 'ConcreteMaterial' = 6
    C40_50: 'ConcreteMaterial' = 7
    C45_55: 'ConcreteMaterial' = 8
    C50_60: 'ConcreteMaterial' = 9
    C55_67: 'ConcreteMaterial' = 10
    C60_75: 'ConcreteMaterial' = 11
    C70_85: 'ConcreteMaterial' = 12
    C80_95: 'ConcreteMaterial' = 13
    C90_105: 'ConcreteMaterial' = 14
    C100_115: 'ConcreteMaterial' = 15


class ReinforcementMaterial(Enum):
    B_400A: 'ReinforcementMaterial' = 1
    B_500A: 'ReinforcementMaterial' = 2
    B_600A: 'ReinforcementMaterial' = 3
    B_400B: 'ReinforcementMaterial' = 4
    B_500B: 'ReinforcementMaterial' = 5
    B_600B: 'ReinforcementMaterial' = 6
    B_400C: 'ReinforcementMaterial' = 7
    B_500C: 'ReinforcementMaterial' = 8
    B_600C: 'ReinforcementMaterial' = 9
    B_550A: 'ReinforcementMaterial' = 10
    B_550B: 'ReinforcementMaterial' = 11


_MATERIAL_NAMES = {
    ConcreteMaterial.C12_15: {'name': 'C12/15'},
    ConcreteMaterial.C16_20: {'name': 'C16/20'},
    ConcreteMaterial.C20_25: {'name': 'C20/25'},
    ConcreteMaterial.C25_30: {'name': 'C25/30'},
    ConcreteMaterial.C30_37: {'name': 'C30/37'},
    ConcreteMaterial.C35_45: {'name': 'C35/45'},
    ConcreteMaterial.C40_50: {'name': 'C40/50'},
    ConcreteMaterial.C45_55: {'name': 'C45/55'},
    ConcreteMaterial.C50_60: {'name': 'C50/60'},
    ConcreteMaterial.C55_67: {'name': 'C55/67'},
    ConcreteMaterial.C60_75: {'name': 'C60/75'},
    ConcreteMaterial.C70_85: {'name': 'C70/85'},
    ConcreteMaterial.C80_95: {'name': 'C80/95'},
    ConcreteMaterial.C90_105: {'name': 'C90/105'},
    ConcreteMaterial.C100_115: {'name': 'C100/115'},
    ReinforcementMaterial.B_400A: {'name': 'B 400A'},
    ReinforcementMaterial.B_500A: {'name': 'B 500A'},
    ReinforcementMaterial.B_600A: {'name': 'B 600A'},
    ReinforcementMaterial.B_400B: {'name': 'B 400B'},
    ReinforcementMaterial.B_500B: {'name': 'B 500B'},
    ReinforcementMaterial.B_600B: {'name': 'B 600B'},
    ReinforcementMaterial.B_400C: {'name': 'B 400C'},
    ReinforcementMaterial.B_500C: {'name': 'B 500C'},
    ReinforcementMaterial.B_600C: {'name': 'B 600C'},
    ReinforcementMaterial.B_550A: {'name': 'B 550A'},
    ReinforcementMaterial.B_550B: {'name': 'B 550B'},
}

_MATERIAL_PROPERTIES = {
    ConcreteMaterial.C12_15: {'fck': 12.0},
    ConcreteMaterial.C16_20: {'fck': 16.0},
    ConcreteMaterial.C20_25: {'fck': 20.0},
    ConcreteMaterial.C25_30: {'fck': 25.0},
    ConcreteMaterial.C30_37: {'fck': 30.0},
    ConcreteMaterial.C35_45: {'fck': 35.0},
    ConcreteMaterial.C40_50: {'fck': 40.0},
    ConcreteMaterial.C45_55: {'fck': 45.0},
    ConcreteMaterial.C50_60: {'fck': 50.0},
    ConcreteMaterial.C55_67: {'fck': 55.0},
    ConcreteMaterial.C60_75: {'fck': 60.0},
    ConcreteMaterial.C70_85: {'fck': 70.0},
    ConcreteMaterial.C80_95: {'fck': 80.0},
    ConcreteMaterial.C90_105: {'fck': 90.0},
    ConcreteMaterial.C100_115: {'fck': 100.0},
    ReinforcementMaterial.B_400A: {'fyk': 400, 'ftk_by_fyk': 1.05, 'epsuk': 250},
    ReinforcementMaterial.B_500A: {'fyk': 500, 'ftk_by_fyk': 1.05, 'epsuk': 250},
    ReinforcementMaterial.B_600A: {'fyk': 600, 'ftk_by_fyk': 1.05, 'epsuk': 250},
    ReinforcementMaterial.B_400B: {'fyk': 400, 'ftk_by_fyk': 1.08, 'epsuk': 500},
    ReinforcementMaterial.B_500B: {'fyk': 500, 'ftk_by_fyk': 1.08, 'epsuk': 500},
    ReinforcementMaterial.B_600B: {'fyk': 600, 'ftk_by_fyk': 1.08, 'epsuk': 500},
    ReinforcementMaterial.B_400C: {'fyk': 400, 'ftk_by_fyk': 1.15, 'epsuk': 750},
    ReinforcementMaterial.B_500C: {'fyk': 500, 'ftk_by_fyk': 1.15, 'epsuk': 750},
    ReinforcementMaterial.B_600C: {'fyk': 600, 'ftk_by_fyk': 1.15, 'epsuk': 750},
    ReinforcementMaterial.B_550A: {'fyk': 550, 'ftk_by_fyk': 1.05, 'epsuk': 250},
    ReinforcementMaterial.B_550B: {'fyk': 550, 'ftk_by_fyk': 1.08, 'epsuk': 500},
}


# -- roots -------------------------------------------------------------------------------

class _OpenObject(ABC):
    """ Abstract base class of all IDEA OpenModel objects. """

    @abstractmethod
    def __init__(self) -> None:
        pass

    @abstractmethod
    def _serialize(self) -> dict:
        return {}


class _OpenElementId(ABC):

    def __init__(self, id_: int):
        self._id = id_

    @property
    def id(self) -> int:
        return self._id

    def _serialize(self) -> dict:
        return {'id': self._id}


class _ReferenceElement:

    def __init__(self, id_: int, type_name: str):
        self._id = id_
        self._type_name = type_name

    @property
    def id(self) -> int:
        return self._id

    def _serialize(self) -> dict:
        return {'type_name': self._type_name, 'id': self._id}


# -- project data and code settings ------------------------------------------------------

class NationalAnnex(Enum):
    NO_ANNEX: 'NationalAnnex' = 'NoAnnex'
    DUTCH: 'NationalAnnex' = 'Dutch'
    BELGIUM: 'NationalAnnex' = 'Belgian'


class ProjectData(_OpenObject):

    def __init__(self, *, national_annex: NationalAnnex = None, fatigue_check: bool = False, name: str = None,
                 number: str = None, description: str = None, author: str = None, date: datetime.date = None,
                 design_working_life: Literal[50, 75, 100] = None):
        """ Project data.

        :param name: Project name ::version(v14.6.0)
        :param number: Project number ::version(v14.6.0)
        :param description: Project description ::version(v14.6.0)
        :param author: Author ::version(v14.6.0)
        :param date: Date (default: today) ::version(v14.6.0)
        :param national_annex: national annex (default: No national annex (EN))
        :param fatigue_check: functionality - fatigue (default: false)
        :param design_working_life: Design working life (default: 50) ::version(v14.6.0)
        """
        self.national_annex = national_annex
        self.fatigue_check = fatigue_check
        self.name = name
        self.number = number
        self.description = description
        self.author = author
        self.date = date
        self.design_working_life = design_working_life

    def _serialize(self) -> dict:
        project_data = {}
        if (name := self.name) is not None:
            project_data['name'] = name
        if (number := self.number) is not None:
            project_data['number'] = number
        if (description := self.description) is not None:
            project_data['description'] = description
        if (author := self.author) is not None:
            project_data['author'] = author
        if (date := self.date) is not None:
            project_data['date'] = date.strftime('%Y-%m-%d')
        if (national_annex := self.national_annex) is not None:
            project_data['national_annex'] = national_annex
        if (fatigue_check := self.fatigue_check) is not None:
            project_data['fatigue_check'] = fatigue_check
        if (design_working_life := self.design_working_life) is not None:
            project_data['design_working_life'] = design_working_life
        return project_data


class EvaluationInteractionDiagram(Enum):
    NU_MU_MU: 'EvaluationInteractionDiagram' = 0
    NU_M_M: 'EvaluationInteractionDiagram' = 1
    N_MU_MU: 'EvaluationInteractionDiagram' = 2


class NoResistanceConcreteTension1d(Enum):
    EXTREME: 'NoResistanceConcreteTension1d' = 0
    SECTION: 'NoResistanceConcreteTension1d' = 1
    ALWAYS: 'NoResistanceConcreteTension1d' = 2


class TypeSLSCalculation(Enum):
    BOTH: 'TypeSLSCalculation' = 0
    SHORT_TERM: 'TypeSLSCalculation' = 1
    LONG_TERM: 'TypeSLSCalculation' = 2


class CodeSettings(_OpenObject):

    def __init__(self, *, evaluation_interaction_diagram: EvaluationInteractionDiagram = None, theta: float = None,
                 theta_min: float = None, theta_max: float = None, n_cycles_fatigue: float = None,
                 no_resistance_concrete_tension_1d: NoResistanceConcreteTension1d = None,
                 type_sls_calculation: TypeSLSCalculation = None):
        """ Code and calculation settings.

        :param evaluation_interaction_diagram: evaluation of interaction diagram (default: NuMuMu)
        :param theta: angle [deg] between the concrete compression strut and the beam axis perpendicular to the
                      shear force (default: set by IDEA)
        :param theta_min: minimum angle [deg] between the concrete compression strut and the beam axis perpendicular
                          to the shear force (default: set by IDEA)
        :param theta_max: maximum angle [deg] between the concrete compression strut and the beam axis perpendicular
                          to the shear force (default: set by IDEA)
        :param n_cycles_fatigue: number of fatigue cycles (* 10⁶) (default: set by IDEA)
        :param no_resistance_concrete_tension_1d: no resistance of concrete in tension - members 1D (default: Extreme)
        :param type_sls_calculation: type of SLS calculation (default: Both)
        """
        self.evaluation_interaction_diagram = evaluation_interaction_diagram
        self.theta = theta
        self.theta_min = theta_min
        self.theta_max = theta_max
        self.n_cycles_fatigue = n_cycles_fatigue
        self.no_resistance_concrete_tension_1d = no_resistance_concrete_tension_1d
        self.type_sls_calculation = type_sls_calculation

    def _serialize(self) -> dict:
        code_settings = {}
        if (evaluation_interaction_diagram := self.evaluation_interaction_diagram) is not None:
            code_settings['evaluation_interaction_diagram'] = evaluation_interaction_diagram
        if (theta := self.theta) is not None:
            code_settings['theta'] = math.radians(theta)
        if (theta_min := self.theta_min) is not None:
            code_settings['theta_min'] = math.radians(theta_min)
        if (theta_max := self.theta_max) is not None:
            code_settings['theta_max'] = math.radians(theta_max)
        if (n_cycles_fatigue := self.n_cycles_fatigue) is not None:
            code_settings['n_cycles_fatigue'] = n_cycles_fatigue
        if (no_resistance_concrete_tension_1d := self.no_resistance_concrete_tension_1d) is not None:
            code_settings['no_resistance_concrete_tension_1d'] = no_resistance_concrete_tension_1d
        if (type_sls_calculation := self.type_sls_calculation) is not None:
            code_settings['type_sls_calculation'] = type_sls_calculation
        return code_settings


# -- check members and thermal state -----------------------------------------------------

class CheckMember(_OpenElementId, ABC):
    """ Abstract base class of all check members. """

    @abstractmethod
    def __init__(self, id_: int):
        super().__init__(id_)


class CheckMember1D(CheckMember):

    def __init__(self, id_: int, name: str):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.create_check_member1d`.
        """
        super().__init__(id_)
        self.name = name

    def _serialize(self) -> dict:
        return {**super()._serialize(), 'name': self.name}


class ThermalStateType(Enum):
    NONE: 'ThermalStateType' = 0
    CODE: 'ThermalStateType' = 1
    USER: 'ThermalStateType' = 5


class ThermalState(_OpenObject):

    def __init__(self, expansion: ThermalStateType = ThermalStateType.NONE,
                 conductivity: ThermalStateType = ThermalStateType.NONE,
                 specific_heat: ThermalStateType = ThermalStateType.NONE,
                 stress_strain: ThermalStateType = ThermalStateType.NONE,
                 strain: ThermalStateType = ThermalStateType.NONE):
        """ Collection of thermal states for expansion, conductivity, specific heat, stress-strain and strain.

        :param expansion: state of thermal expansion curvature.
        :param conductivity: state of thermal conductivity curvature.
        :param specific_heat: state of thermal specific heat curvature.
        :param stress_strain: state of thermal specific stress-strain curvature.
        :param strain: state of thermal strain curvature.
        """
        self._expansion = expansion
        self._conductivity = conductivity
        self._specific_heat = specific_heat
        self._stress_strain = stress_strain
        self._strain = strain

    def _serialize(self) -> dict:
        return {
            'expansion': self._expansion,
            'conductivity': self._conductivity,
            'specific_heat': self._specific_heat,
            'stress_strain': self._stress_strain,
            'strain': self._strain,
        }


# -- materials ---------------------------------------------------------------------------

class _Material(_OpenElementId, ABC):
    """ Abstract base class of all materials. """

    @abstractmethod
    def __init__(self, id_: int, name: str, e_modulus: float, g_modulus: float, poisson: float, unit_mass: float,
                 specific_heat: float, thermal_expansion: float, thermal_conductivity: float, is_default: bool,
                 order_in_code: int, thermal_state: ThermalState) -> None:
        super().__init__(id_)
        self._name = name
        self._e_modulus = e_modulus
        self._g_modulus = g_modulus
        self._poisson = poisson
        self._unit_mass = unit_mass
        self._specific_heat = specific_heat
        self._thermal_expansion = thermal_expansion
        self._thermal_conductivity = thermal_conductivity
        self._is_default = is_default
        self._order_in_code = order_in_code
        self._thermal_state = thermal_state

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'name': self._name,
            'e_modulus': self._e_modulus,
            'g_modulus': self._g_modulus,
            'poisson': self._poisson,
            'unit_mass': self._unit_mass,
            'specific_heat': self._specific_heat,
            'thermal_expansion': self._thermal_expansion,
            'thermal_conductivity': self._thermal_conductivity,
            'is_default': self._is_default,
            'order_in_code': self._order_in_code,
            'thermal_state': self._thermal_state,
        }


class ReinfClass(Enum):
    A: 'ReinfClass' = 0
    B: 'ReinfClass' = 1
    C: 'ReinfClass' = 2


class ReinfType(Enum):
    BARS: 'ReinfType' = 0
    DECOILED_RODS: 'ReinfType' = 1
    WIRE_FABRICS: 'ReinfType' = 2
    LATTICE_GIRDERS: 'ReinfType' = 3


class BarSurface(Enum):
    SMOOTH: 'BarSurface' = 0
    RIBBED: 'BarSurface' = 1


class ReinfDiagramType(Enum):
    BILINEAR_INCLINED: 'ReinfDiagramType' = 0
    BILINEAR_NOT_INCLINED: 'ReinfDiagramType' = 1
    USER: 'ReinfDiagramType' = 2


class ReinfFabrication(Enum):
    HOT_ROLLED: 'ReinfFabrication' = 0
    COLD_WORKED: 'ReinfFabrication' = 1


class MatReinforcement(_Material, ABC):
    """ Abstract base class of all material reinforcements. """

    @abstractmethod
    def __init__(self, id_: int, name: str, e_modulus: float, g_modulus: float, poisson: float, unit_mass: float,
                 specific_heat: float, thermal_expansion: float, thermal_conductivity: float, is_default: bool,
                 order_in_code: int, thermal_state: ThermalState, bar_surface: BarSurface):
        super().__init__(id_, name, e_modulus, g_modulus, poisson, unit_mass, specific_heat, thermal_expansion,
                         thermal_conductivity, is_default, order_in_code, thermal_state)
        self._bar_surface = bar_surface

    def _serialize(self) -> dict:
        return {**super()._serialize(), 'bar_surface': self._bar_surface}


class MatReinforcementEc2(MatReinforcement):

    def __init__(self, id_: int, name: str, e_modulus: float, g_modulus: float, poisson: float, unit_mass: float,
                 specific_heat: float, thermal_expansion: float, thermal_conductivity: float, is_default: bool,
                 order_in_code: int, thermal_state: ThermalState, bar_surface: BarSurface, fyk: float,
                 ftk_by_fyk: float, epsuk: float, ftk: float, class_: ReinfClass, type_: ReinfType,
                 fabrication: ReinfFabrication, diagram_type: ReinfDiagramType):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`.
        """
        super().__init__(id_, name, e_modulus, g_modulus, poisson, unit_mass, specific_heat, thermal_expansion,
                         thermal_conductivity, is_default, order_in_code, thermal_state, bar_surface)
        self._fyk = fyk
        self._ftk_by_fyk = ftk_by_fyk
        self._epsuk = epsuk
        self._ftk = ftk
        self._class = class_
        self._type = type_
        self._fabrication = fabrication
        self._diagram_type = diagram_type

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'fyk': self._fyk,
            'ftk_by_fyk': self._ftk_by_fyk,
            'epsuk': self._epsuk,
            'ftk': self._ftk,
            'class': self._class,
            'type': self._type,
            'fabrication': self._fabrication,
            'diagram_type': self._diagram_type,
        }


class ConcDiagramType(Enum):
    BILINEAR: 'ConcDiagramType' = 0
    PARABOLIC: 'ConcDiagramType' = 1
    USER: 'ConcDiagramType' = 2


class ConcAggregateType(Enum):
    QUARTZITE: 'ConcAggregateType' = 0
    LIMESTONE: 'ConcAggregateType' = 1
    SANDSTONE: 'ConcAggregateType' = 2
    BASALT: 'ConcAggregateType' = 3


class ConcCementClass(Enum):
    S: 'ConcCementClass' = 0
    R: 'ConcCementClass' = 1
    N: 'ConcCementClass' = 2


class MatConcrete(_Material, ABC):
    """ Abstract base class of all concrete materials. """

    @abstractmethod
    def __init__(self, id_: int, name: str, e_modulus: float, g_modulus: float, poisson: float, unit_mass: float,
                 specific_heat: float, thermal_expansion: float, thermal_conductivity: float, is_default: bool,
                 order_in_code: int, thermal_state: ThermalState):
        super().__init__(id_, name, e_modulus, g_modulus, poisson, unit_mass, specific_heat, thermal_expansion,
                         thermal_conductivity, is_default, order_in_code, thermal_state)


class ConcDependentParams(_OpenObject):

    def __init__(self, E_cm: float, eps_c1: float, eps_c2: float, eps_c3: float, eps_cu1: float, eps_cu2: float,
                 eps_cu3: float, F_ctm: float, F_ctk_0_05: float, F_ctk_0_95: float, n_factor: float, F_cm: float):
        """ Collection of all MatConcreteEc2 dependent parameters.

        :param E_cm: Secant modulus of elasticity of concrete [MPa]
        :param eps_c1: Compressive strain in the concrete - εc1 [-]
        :param eps_c2: Compressive strain in the concrete - εc2 [-]
        :param eps_c3: Compressive strain in the concrete - εc3 [-]
        :param eps_cu1: Ultimate compressive strain in the concrete - εcu1 [-]
        :param eps_cu2: Ultimate compressive strain in the concrete - εcu2 [-]
        :param eps_cu3: Ultimate compressive strain in the concrete - εcu3 [-]
        :param F_ctm: Mean value of axial tensile strength of concrete [MPa]
        :param F_ctk_0_05: Characteristic axial tensile strength of concrete 5% quantile [MPa]
        :param F_ctk_0_95: Characteristic axial tensile strength of concrete 95% quantile [MPa]
        :param n_factor: Coefficient n-factor - necessary parabolic part of stress-strain diagram - n [-]
        :param F_cm: Mean value of concrete cylinder compressive strength [MPa]
        """
        self._E_cm = E_cm
        self._eps_c1 = eps_c1
        self._eps_c2 = eps_c2
        self._eps_c3 = eps_c3
        self._eps_cu1 = eps_cu1
        self._eps_cu2 = eps_cu2
        self._eps_cu3 = eps_cu3
        self._F_ctm = F_ctm
        self._F_ctk_0_05 = F_ctk_0_05
        self._F_ctk_0_95 = F_ctk_0_95
        self._n_factor = n_factor
        self._F_cm = F_cm

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'Ecm': self._E_cm,
            'Epsc1': self._eps_c1,
            'Epsc2': self._eps_c2,
            'Epsc3': self._eps_c3,
            'Epscu1': self._eps_cu1,
            'Epscu2': self._eps_cu2,
            'Epscu3': self._eps_cu3,
            'Fctm': self._F_ctm,
            'Fctk_0_05': self._F_ctk_0_05,
            'Fctk_0_95': self._F_ctk_0_95,
            'NFactor': self._n_factor,
            'Fcm': self._F_cm,
        }


class MatConcreteEc2(MatConcrete):

    def __init__(self, id_: int, name: str, e_modulus: float, g_modulus: float, poisson: float, unit_mass: float,
                 specific_heat: float, thermal_expansion: float, thermal_conductivity: float, is_default: bool,
                 order_in_code: int, thermal_state: ThermalState, fck: float, stone_diameter: float,
                 cement_class: ConcCementClass, aggregate_type: ConcAggregateType, diagram_type: ConcDiagramType,
                 silica_fume: bool, plain_concrete_diagram: bool, dep_params: ConcDependentParams = None):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.create_matconcrete_ec2`.
        """
        super().__init__(id_, name, e_modulus, g_modulus, poisson, unit_mass, specific_heat, thermal_expansion,
                         thermal_conductivity, is_default, order_in_code, thermal_state)
        self._fck = fck
        self._stone_diameter = stone_diameter
        self._cement_class = cement_class
        self._aggregate_type = aggregate_type
        self._diagram_type = diagram_type
        self._silica_fume = silica_fume
        self._plain_concrete_diagram = plain_concrete_diagram
        self._dep_params = dep_params

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'fck': self._fck,
            'stone_diameter': self._stone_diameter,
            'cement_class': self._cement_class,
            'aggregate_type': self._aggregate_type,
            'diagram_type': self._diagram_type,
            'silica_fume': self._silica_fume,
            'plain_concrete_diagram': self._plain_concrete_diagram,
            'dep_params': self._dep_params,
        }


# -- cross-sections ----------------------------------------------------------------------

class CrossSectionType(Enum):
    ONE_COMPONENT_CSS: 'CrossSectionType' = 0
    ROLLED_I: 'CrossSectionType' = 1
    ROLLED_ANGLE: 'CrossSectionType' = 2
    ROLLED_T: 'CrossSectionType' = 3
    ROLLED_U: 'CrossSectionType' = 4
    ROLLED_CHS: 'CrossSectionType' = 5
    ROLLED_RHS: 'CrossSectionType' = 6
    ROLLED_DOUBLE_UO: 'CrossSectionType' = 7
    ROLLED_DOUBLE_UC: 'CrossSectionType' = 8
    ROLLED_DOUBLE_LT: 'CrossSectionType' = 10
    ROLLED_DOUBLE_LU: 'CrossSectionType' = 11
    ROLLED_TI: 'CrossSectionType' = 12
    ROLLED_I_PAR: 'CrossSectionType' = 13
    ROLLED_U_PAR: 'CrossSectionType' = 14
    ROLLED_L_PAR: 'CrossSectionType' = 15
    BOX_FL: 'CrossSectionType' = 16
    BOX_WEB: 'CrossSectionType' = 17
    BOX_2I: 'CrossSectionType' = 18
    BOX_2U: 'CrossSectionType' = 19
    BOX_2U_2PI: 'CrossSectionType' = 20
    BOX_2L: 'CrossSectionType' = 21
    BOX_4L: 'CrossSectionType' = 22
    IW: 'CrossSectionType' = 23
    IWN: 'CrossSectionType' = 24
    TW: 'CrossSectionType' = 25
    O: 'CrossSectionType' = 26
    RECT: 'CrossSectionType' = 27
    IGN: 'CrossSectionType' = 28
    IGH: 'CrossSectionType' = 29
    TG: 'CrossSectionType' = 30
    LG: 'CrossSectionType' = 31
    LG_MIRRORED: 'CrossSectionType' = 32
    UG: 'CrossSectionType' = 33
    CHS_G: 'CrossSectionType' = 34
    ZG: 'CrossSectionType' = 35
    RHS_G: 'CrossSectionType' = 36
    OVAL: 'CrossSectionType' = 37
    GENERAL: 'CrossSectionType' = 38
    ROLLED_2I: 'CrossSectionType' = 39
    TRAPEZOID: 'CrossSectionType' = 40
    TTFH: 'CrossSectionType' = 41
    TWH: 'CrossSectionType' = 42
    TGREV: 'CrossSectionType' = 43
    TTFHREV: 'CrossSectionType' = 44
    TWHREV: 'CrossSectionType' = 45
    TCHAMFER_1: 'CrossSectionType' = 46
    TCHAMFER_2: 'CrossSectionType' = 47
    TT: 'CrossSectionType' = 48
    TT1: 'CrossSectionType' = 49
    SG: 'CrossSectionType' = 50
    GENERAL_STEEL: 'CrossSectionType' = 51
    GENERAL_CONCRETE: 'CrossSectionType' = 52
    COMPOSITE_BEAM_BOX: 'CrossSectionType' = 53
    COMPOSITE_BEAM_BOX_1: 'CrossSectionType' = 54
    COMPOSITE_BEAM_IGEN_T: 'CrossSectionType' = 55
    COMPOSITE_BEAM_L_LEFT: 'CrossSectionType' = 56
    COMPOSITE_BEAM_PLATE: 'CrossSectionType' = 57
    COMPOSITE_BEAM_R_RES_T: 'CrossSectionType' = 58
    COMPOSITE_BEAM_R_RES_T_1: 'CrossSectionType' = 59
    COMPOSITE_BEAM_R_T: 'CrossSectionType' = 60
    COMPOSITE_BEAM_SHAPE_CHAMF: 'CrossSectionType' = 61
    COMPOSITE_BEAM_SHAPE_CHAMF_ASYM: 'CrossSectionType' = 62
    COMPOSITE_BEAM_SHAPE_IGEN: 'CrossSectionType' = 63
    COMPOSITE_BEAM_SHAPE_I_T: 'CrossSectionType' = 64
    COMPOSITE_BEAM_SHAPE_I_T_ASYM: 'CrossSectionType' = 65
    COMPOSITE_BEAM_T_LEFT: 'CrossSectionType' = 66
    COMPOSITE_BEAM_TRAPEZOID: 'CrossSectionType' = 67
    COMPOSITE_BEAM_TRES_T: 'CrossSectionType' = 68
    COMPOSITE_BEAM_TREV: 'CrossSectionType' = 69
    COMPOSITE_BEAM_TREV_RES_I: 'CrossSectionType' = 70
    COMPOSITE_BEAM_TREV_RES_I_1: 'CrossSectionType' = 71
    COMPOSITE_BEAM_TREV_RES_R: 'CrossSectionType' = 72
    COMPOSITE_BEAM_TREV_RES_R_1: 'CrossSectionType' = 73
    COMPOSITE_BEAM_TREV_T: 'CrossSectionType' = 74
    COMPOSITE_BEAM_SHAPE_T_T: 'CrossSectionType' = 75
    BEAM_SHAPE_I_HAUNCH_CHAMFER: 'CrossSectionType' = 76
    BEAM_SHAPE_I_HAUNCH_CHAMFER_ASYM: 'CrossSectionType' = 77
    BEAM_SHAPE_REV_U: 'CrossSectionType' = 78
    BEAM_SHAPE_BOX: 'CrossSectionType' = 79
    BEAM_SHAPE_BOX_1: 'CrossSectionType' = 80
    BEAM_SHAPE_TREV_CHAMFER_HAUNCH_S: 'CrossSectionType' = 81
    BEAM_SHAPE_TREV_CHAMFER_HAUNCH_D: 'CrossSectionType' = 82
    BEAM_SHAPE_IREV_DEGEN: 'CrossSectionType' = 83
    BEAM_SHAPE_IREV_DEGEN_ADD: 'CrossSectionType' = 84
    BEAM_SHAPE_TREV_DEGEN: 'CrossSectionType' = 85
    BEAM_SHAPE_TREV_DEGEN_ADD: 'CrossSectionType' = 86
    BEAM_SHAPE_Z_DEGEN: 'CrossSectionType' = 87
    BEAM_SHAPE_I_Z_DEGEN: 'CrossSectionType' = 88
    BEAM_SHAPE_L_DEGEN: 'CrossSectionType' = 89
    CHS_PAR: 'CrossSectionType' = 101
    UNIQUE_NAME: 'CrossSectionType' = 1001


class CrossSection(_OpenElementId, ABC):
    """ Abstract base class of all cross-sections. """

    @abstractmethod
    def __init__(self, id_: int, name: str):
        super().__init__(id_)
        self._name = name

    def _serialize(self) -> dict:
        return {**super()._serialize(), 'name': self._name}


class CrossSectionParameter(CrossSection):

    def __init__(self, id_: int, name: str, cross_section_type: CrossSectionType, material: _ReferenceElement,
                 **parameters: Any) -> None:
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.create_cross_section_parameter`.
        """
        super().__init__(id_, name)
        self._cross_section_type = cross_section_type
        self._material = material
        self._parameters = parameters

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'cross_section_type': self._cross_section_type,
            'material': self._material,
            'parameters': self._parameters,
        }


class CrossSectionComponent(CrossSection):

    def __init__(self, id_: int, name: str) -> None:
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.create_cross_section_component`.
        """
        super().__init__(id_, name)
        self._components = []

    def create_component(self, outline: Sequence[Tuple[float, float]], material: MatConcrete, *,
                         openings: Sequence[Sequence[Tuple[float, float]]] = None) -> None:
        """ Create a component to build up the cross-section.

        :param outline: vertices (y, z) which define the outline of the section (minimum of 3). The outline is closed
                        automatically.
        :param material: material created by :meth:`~.idea_rcs.OpenModel.create_matconcrete_ec2`
        :param openings: one or more openings, each defined by at least 3 vertices (y, z). An opening is closed
                         automatically.
        """
        material_ref = _ReferenceElement(material.id, 'MatConcrete')
        component_id = len(self._components) + 1
        component = _CssComponent(component_id, material_ref, outline, openings)
        self._components.append(component)

    def _serialize(self) -> dict:
        return {**super()._serialize(), 'components': self._components}


class _CssComponent(_OpenElementId):

    def __init__(self, id_: int, material: _ReferenceElement, outline: Sequence[Tuple[float, float]],
                 openings: Optional[Sequence[Sequence[Tuple[float, float]]]]):
        super().__init__(id_)
        if len(outline) < 3:
            raise ValueError("'outline' of subcomponent of CrossSectionComponent should have at least three points")
        for opening in openings or []:
            if len(opening) < 3:
                raise ValueError(
                    "'openings' of subcomponent of CrossSectionComponent should have at least three points")
        self._material = material
        self._outline = outline
        self._openings = openings

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'material': self._material,
            'outline': self._outline,
            'openings': self._openings,
        }


# -- reinforced cross-section ------------------------------------------------------------

class ReinforcedBar(_OpenObject):

    def __init__(self, coordinates: Tuple[float, float], diameter: float, material: _ReferenceElement):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.ReinforcedCrossSection.create_bar`.
        """
        self._coordinates = coordinates
        self._diameter = diameter
        self._material = material

    @property
    def coordinates(self) -> Tuple[float, float]:
        return self._coordinates

    @property
    def diameter(self) -> float:
        return self._diameter

    @property
    def material_id(self) -> int:
        return self._material.id

    def _serialize(self) -> dict:
        return {
            'coordinates': self._coordinates,
            'diameter': self._diameter,
            'material': self._material,
        }


class Stirrup(_OpenObject):

    def __init__(self, points: Sequence[Union[Tuple[float, float], Tuple[Tuple[float, float], Tuple[float, float]]]],
                 diameter: float, material: _ReferenceElement, distance: float, shear_check: bool = None,
                 torsion_check: bool = None, mandrel_diameter_factor: float = None, anchorage_length: float = None):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.ReinforcedCrossSection.create_stirrup`.
        """
        if not isinstance(points[0][0], (float, int)):
            raise ValueError("First entry of 'points' is the start-point and must be of type Tuple[float, float].")
        self._points = list(points)
        self.diameter = diameter
        self._material = material
        self.distance = distance
        self._shear_check = shear_check
        self._torsion_check = torsion_check
        self._mandrel_diameter_factor = mandrel_diameter_factor
        self._anchorage_length = anchorage_length

    @property
    def points(self) -> Sequence[Union[Tuple[float, float], Tuple[Tuple[float, float], Tuple[float, float]]]]:
        return list(self._points)

    @property
    def material_id(self) -> int:
        return self._material.id

    @property
    def shear_check(self) -> bool:
        return self._shear_check or False

    @property
    def torsion_check(self) -> bool:
        return self._torsion_check or False

    @property
    def mandrel_diameter_factor(self) -> float:
        return self._mandrel_diameter_factor or 1.0

    @property
    def anchorage_length(self) -> float:
        return self._anchorage_length or 0.0

    def _serialize(self) -> dict:
        stirrup = {
            'points': self._points,
            'diameter': self.diameter,
            'material': self._material,
            'distance': self.distance,
        }
        if (shear_check := self._shear_check) is not None:
            stirrup['shear_check'] = shear_check
        if (torsion_check := self._torsion_check) is not None:
            stirrup['torsion_check'] = torsion_check
        if (mandrel_diameter_factor := self._mandrel_diameter_factor) is not None:
            stirrup['mandrel_diameter_factor'] = mandrel_diameter_factor
        if (anchorage_length := self._anchorage_length) is not None:
            stirrup['anchorage_length'] = anchorage_length
        return stirrup


class ReinforcedCrossSection(_OpenElementId):

    def __init__(self, id_: int, name: str, cross_section: _ReferenceElement, bars: List[ReinforcedBar] = None,
                 stirrups: List[Stirrup] = None):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.create_reinforced_cross_section`.
        """
        super().__init__(id_)
        self._name = name
        self._cross_section = cross_section
        self._bars = list(bars) if bars else []
        self._stirrups = list(stirrups) if stirrups else []

    @property
    def bars(self) -> List[ReinforcedBar]:
        return list(self._bars)

    @property
    def stirrups(self) -> List[Stirrup]:
        return list(self._stirrups)

    def create_bar(self, coordinates: Tuple[float, float], diameter: float, material: MatReinforcement) -> None:
        """ Create a reinforced bar on the reinforced cross-section.

        :param coordinates: (X, Y) coordinate of the bar [m]
        :param diameter: Diameter of the bar [m]
        :param material: Reinforcement material, created by
                         :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`
        """
        material_ref = _ReferenceElement(material.id, 'MatReinforcement')
        self._bars.append(ReinforcedBar(coordinates, diameter, material_ref))

    def create_bar_layer(self, *, origin: Tuple[float, float], diameter: float, material: MatReinforcement,
                         number_of_bars: int, delta_y: float = None, delta_z: float = None) -> None:
        """ Create multiple reinforced bars on the reinforced cross-section, positioned on a line.

        :param origin: origin point (Y, Z) [m]
        :param diameter: diameter of the bars [m]
        :param material: reinforcement material, created by
                         :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`
        :param number_of_bars: number of bars (minimum of 2)
        :param delta_y: distance between the origin bar and the last bar in the y direction [m]
        :param delta_z: distance between the origin bar and the last bar in the z direction [m]
        """
        if number_of_bars < 2:
            raise ValueError("'number_of_bars' should be > 1")
        if delta_y is None and delta_z is None:
            raise ValueError("Either 'delta_y' or 'delta_z' should be defined")
        material_ref = _ReferenceElement(material.id, 'MatReinforcement')
        step_y = 0.0 if delta_y is None else delta_y / (number_of_bars - 1)
        step_z = 0.0 if delta_z is None else delta_z / (number_of_bars - 1)
        layer = [ReinforcedBar((origin[0] + step_y * i, origin[1] + step_z * i), diameter, material_ref)
                 for i in range(number_of_bars)]
        for bar in layer:  # the whole layer is built first: a layer that fails half-way adds no bar
            self._bars.append(bar)

    def create_stirrup(self,
                       points: Sequence[Union[Tuple[float, float], Tuple[Tuple[float, float], Tuple[float, float]]]],
                       diameter: float, material: MatReinforcement, distance: float, shear_check: bool = None,
                       torsion_check: bool = None, mandrel_diameter_factor: float = None,
                       anchorage_length: float = None) -> None:
        """ Create a stirrup on the reinforced cross-section.

        :param points: (X, Y) coordinates [m] of the stirrup vertices, connected by straight line segments. An arc
                       segment is written as ((X_end, Y_end), (X_on_arc, Y_on_arc)).
        :param diameter: diameter of the stirrup [m]
        :param material: reinforcement material, created by
                         :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`
        :param distance: longitudinal distance between stirrups [m]
        :param shear_check: take stirrup into account in shear check (default: False)
        :param torsion_check: take stirrup into account in torsion check (default: False)
        :param mandrel_diameter_factor: inner diameter of mandrel as multiple of stirrup diameter [-] (default: 1.0)
        :param anchorage_length: anchorage length [m] (default: 0.0)
        """
        material_ref = _ReferenceElement(material.id, 'MatReinforcement')
        stirrup = Stirrup(points, diameter, material_ref, distance, shear_check, torsion_check,
                          mandrel_diameter_factor, anchorage_length)
        self._stirrups.append(stirrup)

    def _serialize(self) -> dict:
        reinforced_section = {
            **super()._serialize(),
            'name': self._name,
            'cross_section': self._cross_section,
        }
        if bars := self._bars:
            reinforced_section['bars'] = bars
        if stirrups := self._stirrups:
            reinforced_section['stirrups'] = stirrups
        return reinforced_section


# -- internal forces and loadings --------------------------------------------------------

class ResultOfInternalForces(_OpenObject):

    def __init__(self, N: float = 0.0, Qy: float = 0.0, Qz: float = 0.0, Mx: float = 0.0, My: float = 0.0,
                 Mz: float = 0.0) -> None:
        """Result of internal forces at a certain location.

        :param N: Normal force (default: 0.0).
        :param Qy: Shear force in y direction (default: 0.0).
        :param Qz: Shear force in z direction (default: 0.0).
        :param Mx: Bending moment around x-axis (default: 0.0).
        :param My: Bending moment around y-axis (default: 0.0).
        :param Mz: Bending moment around z-axis (default: 0.0).
        """
        self._N = N
        self._Qy = Qy
        self._Qz = Qz
        self._Mx = Mx
        self._My = My
        self._Mz = Mz

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'N': self._N,
            'Qy': self._Qy,
            'Qz': self._Qz,
            'Mx': self._Mx,
            'My': self._My,
            'Mz': self._Mz,
        }


class LoadingULS(_OpenObject):

    def __init__(self, internal_forces: ResultOfInternalForces,
                 internal_forces_second_order: ResultOfInternalForces = None,
                 internal_forces_begin: ResultOfInternalForces = None,
                 internal_forces_end: ResultOfInternalForces = None,
                 internal_forces_imperfection: ResultOfInternalForces = None) -> None:
        """Loading ULS.

        :param internal_forces: Internal force in section.
        :param internal_forces_second_order: Internal forces of 2nd order effect.
        :param internal_forces_begin: Internal forces at the beginning.
        :param internal_forces_end: Internal forces at the end.
        :param internal_forces_imperfection: Internal forces of imperfection effect.
        """
        self._internal_forces = internal_forces
        self._internal_forces_second_order = internal_forces_second_order
        self._internal_forces_begin = internal_forces_begin
        self._internal_forces_end = internal_forces_end
        self._internal_forces_imperfection = internal_forces_imperfection

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'internal_forces': self._internal_forces,
            'internal_forces_second_order': self._internal_forces_second_order,
            'internal_forces_begin': self._internal_forces_begin,
            'internal_forces_end': self._internal_forces_end,
            'internal_forces_imperfection': self._internal_forces_imperfection,
        }


class LoadingSLS(_OpenObject):

    def __init__(self, internal_forces: ResultOfInternalForces,
                 internal_forces_imperfection: ResultOfInternalForces = None) -> None:
        """Loading SLS.

        :param internal_forces: Internal force in section.
        :param internal_forces_imperfection: Internal forces of imperfection effect.
        """
        self._internal_forces = internal_forces
        self._internal_forces_imperfection = internal_forces_imperfection

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'internal_forces': self._internal_forces,
            'internal_forces_imperfection': self._internal_forces_imperfection,
        }


class FatigueLoading(_OpenObject):

    def __init__(self, max_loading: LoadingULS, min_loading: LoadingULS) -> None:
        """Fatigue loading.

        :param max_loading: Max. cyclic loading.
        :param min_loading: Min. cyclic loading.
        """
        self._max_loading = max_loading
        self._min_loading = min_loading

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'max_loading': self._max_loading,
            'min_loading': self._min_loading,
        }


# -- check sections and extremes ---------------------------------------------------------

class CheckSectionExtreme(_OpenObject):
    """ Abstract base class of all check section extremes. """

    @abstractmethod
    def __init__(self, accidental: LoadingULS = None, fatigue: FatigueLoading = None, frequent: LoadingSLS = None,
                 fundamental: LoadingULS = None, characteristic: LoadingSLS = None,
                 quasi_permanent: LoadingSLS = None, *, description: str):
        self.description = description
        self._accidental = accidental
        self._fatigue = fatigue
        self._frequent = frequent
        self._fundamental = fundamental
        self._characteristic = characteristic
        self._quasi_permanent = quasi_permanent

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'description': self.description,
            'accidental': self._accidental,
            'fatigue': self._fatigue,
            'frequent': self._frequent,
            'fundamental': self._fundamental,
            'characteristic': self._characteristic,
            'quasi_permanent': self._quasi_permanent,
        }


class StandardCheckSectionExtreme(CheckSectionExtreme):

    def __init__(self, *, accidental: LoadingULS = None, frequent: LoadingSLS = None, fundamental: LoadingULS = None,
                 characteristic: LoadingSLS = None, quasi_permanent: LoadingSLS = None,
                 fatigue: FatigueLoading = None, description: str):
        """
        Do not use this __init__ directly, but create the object by :meth:`CheckSection.create_extreme`.
        """
        super().__init__(accidental=accidental, fatigue=fatigue, frequent=frequent, fundamental=fundamental,
                         characteristic=characteristic, quasi_permanent=quasi_permanent, description=description)


class CheckSection(_OpenElementId, ABC):
    """ Abstract base class of all check sections. """

    @abstractmethod
    def __init__(self, id_: int, description: str, check_member: _ReferenceElement,
                 reinf_section: _ReferenceElement, extremes: List[CheckSectionExtreme] = None):
        super().__init__(id_)
        self._description = description
        self._extremes = list(extremes) if extremes else []
        self._check_member = check_member
        self._reinf_section = reinf_section

    @property
    def extremes(self) -> List[CheckSectionExtreme]:
        return list(self._extremes)

    def create_extreme(self, *, description: str = None, accidental: LoadingULS = None,
                       fatigue: FatigueLoading = None, frequent: LoadingSLS = None, fundamental: LoadingULS = None,
                       characteristic: LoadingSLS = None, quasi_permanent: LoadingSLS = None) -> None:
        """Create an extreme case with corresponding internal forces on the section for checking.

        :param description: Description of the extreme (default: '{section_name} - E {i}'). ::version(v14.6.0)
        :param accidental: Accidental loading.
        :param fatigue: Fatigue loading.
        :param frequent: Frequent loading.
        :param fundamental: Fundamental loading.
        :param characteristic: Characteristic loading.
        :param quasi_permanent: Quasi-Permanent loading.
        """
        if not description:
            description = f'{self._description} - E {len(self._extremes) + 1}'
        extreme = StandardCheckSectionExtreme(accidental=accidental, fatigue=fatigue, frequent=frequent,
                                              fundamental=fundamental, characteristic=characteristic,
                                              quasi_permanent=quasi_permanent, description=description)
        self._extremes.append(extreme)

    def _serialize(self) -> dict:
        check_section = {
            **super()._serialize(),
            'description': self._description,
            'check_member': self._check_member,
            'reinf_section': self._reinf_section,
        }
        if extremes := self._extremes:
            check_section['extremes'] = [(type(extreme).__name__, extreme) for extreme in extremes]
        return check_section


class StandardCheckSection(CheckSection):

    def __init__(self, id_: int, description: str, check_member: _ReferenceElement,
                 reinf_section: _ReferenceElement, extremes: List[CheckSectionExtreme] = None):
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.add_check_section`.
        """
        super().__init__(id_, description, check_member, reinf_section, extremes)


# -- calculation setup and member data ---------------------------------------------------

class MemberType(Enum):
    UNDEFINED: 'MemberType' = 0
    BEAM: 'MemberType' = 1
    COLUMN: 'MemberType' = 2
    BEAM_SLAB: 'MemberType' = 4
    HOLLOW_CORE_SLAB: 'MemberType' = 8
    TWO_WAY_SLAB: 'MemberType' = 16
    PLATE: 'MemberType' = 32
    WALL: 'MemberType' = 64


class TwoWaySlabType(Enum):
    SLAB: 'TwoWaySlabType' = 0
    WALL: 'TwoWaySlabType' = 1
    DEEP_BEAM: 'TwoWaySlabType' = 2
    SHELL_AS_PLATE: 'TwoWaySlabType' = 3
    SHELL_AS_WALL: 'TwoWaySlabType' = 4


class CalculationSetup(_OpenObject):

    def __init__(self, *, uls_response: bool = None, uls_diagram: bool = None, uls_shear: bool = None,
                 uls_torsion: bool = None, uls_interaction: bool = None, sls_crack: bool = None,
                 sls_stress_limitation: bool = None, sls_stiffnesses: bool = None, detailing: bool = None,
                 m_n_kappa_diagram: bool = None, fatigue: bool = None,
                 cross_section_characteristics: bool = None) -> None:
        """Concrete calculation setup.

        :param uls_response: Response N-M(-M) (default: False).
        :param uls_diagram: Capacity N-M(-M) (default: True).
        :param uls_shear: Shear (default: True).
        :param uls_torsion: Torsion (default: True).
        :param uls_interaction: Interaction (default: True).
        :param sls_crack: Crack width (default: True).
        :param sls_stress_limitation: Stress limitation (default: True).
        :param sls_stiffnesses: Stiffnesses (default: False).
        :param detailing: Detailing (default: True).
        :param m_n_kappa_diagram: M-N-κ diagram (default: False).
        :param fatigue: Fatigue (default: True).
        :param cross_section_characteristics: Cross-section characteristics (default: IDEA-RCS default).
        """
        self._uls_response = uls_response
        self._uls_diagram = uls_diagram
        self._uls_shear = uls_shear
        self._uls_torsion = uls_torsion
        self._uls_interaction = uls_interaction
        self._sls_crack = sls_crack
        self._sls_stress_limitation = sls_stress_limitation
        self._sls_stiffnesses = sls_stiffnesses
        self._detailing = detailing
        self._m_n_kappa_diagram = m_n_kappa_diagram
        self._fatigue = fatigue
        self._cross_section_characteristics = cross_section_characteristics

    def _serialize(self) -> dict:
        setup = {}
        if (uls_response := self._uls_response) is not None:
            setup['uls_response'] = uls_response
        if (uls_diagram := self._uls_diagram) is not None:
            setup['uls_diagram'] = uls_diagram
        if (uls_shear := self._uls_shear) is not None:
            setup['uls_shear'] = uls_shear
        if (uls_torsion := self._uls_torsion) is not None:
            setup['uls_torsion'] = uls_torsion
        if (uls_interaction := self._uls_interaction) is not None:
            setup['uls_interaction'] = uls_interaction
        if (sls_crack := self._sls_crack) is not None:
            setup['sls_crack'] = sls_crack
        if (sls_stress_limitation := self._sls_stress_limitation) is not None:
            setup['sls_stress_limitation'] = sls_stress_limitation
        if (sls_stiffnesses := self._sls_stiffnesses) is not None:
            setup['sls_stiffnesses'] = sls_stiffnesses
        if (detailing := self._detailing) is not None:
            setup['detailing'] = detailing
        if (m_n_kappa_diagram := self._m_n_kappa_diagram) is not None:
            setup['m_n_kappa_diagram'] = m_n_kappa_diagram
        if (fatigue := self._fatigue) is not None:
            setup['fatigue'] = fatigue
        if (cross_section_characteristics := self._cross_section_characteristics) is not None:
            setup['cross_section_characteristics'] = cross_section_characteristics
        return setup


class ConcreteMemberData(_OpenObject, ABC):
    """ Abstract base class of all concrete member data. """

    @abstractmethod
    def __init__(self, element: _ReferenceElement, member_type: MemberType, two_way_slab_type: TwoWaySlabType,
                 calculation_setup: CalculationSetup = None) -> None:
        self._element = element
        self._member_type = member_type
        self._two_way_slab_type = two_way_slab_type
        self._calculation_setup = calculation_setup if calculation_setup else CalculationSetup()

    def _serialize(self) -> dict:
        return {
            'element': self._element,
            'member_type': self._member_type,
            'two_way_slab_type': self._two_way_slab_type,
            'calculation_setup': self._calculation_setup,
        }


class ExposureClassEc2Carbonation(Enum):
    XC1: 'ExposureClassEc2Carbonation' = 1
    XC2: 'ExposureClassEc2Carbonation' = 2
    XC3: 'ExposureClassEc2Carbonation' = 3
    XC4: 'ExposureClassEc2Carbonation' = 4


class ExposureClassEc2Chlorides(Enum):
    XD1: 'ExposureClassEc2Chlorides' = 1
    XD2: 'ExposureClassEc2Chlorides' = 2
    XD3: 'ExposureClassEc2Chlorides' = 3


class ExposureClassEc2ChloridesFromSea(Enum):
    XS1: 'ExposureClassEc2ChloridesFromSea' = 1
    XS2: 'ExposureClassEc2ChloridesFromSea' = 2
    XS3: 'ExposureClassEc2ChloridesFromSea' = 3


class ExposureClassEc2FreezeAttack(Enum):
    XF1: 'ExposureClassEc2FreezeAttack' = 1
    XF2: 'ExposureClassEc2FreezeAttack' = 2
    XF3: 'ExposureClassEc2FreezeAttack' = 3
    XF4: 'ExposureClassEc2FreezeAttack' = 4


class ExposureClassEc2ChemicalAttack(Enum):
    XA1: 'ExposureClassEc2ChemicalAttack' = 1
    XA2: 'ExposureClassEc2ChemicalAttack' = 2
    XA3: 'ExposureClassEc2ChemicalAttack' = 3


class ExposureClassesDataEc2(_OpenObject):

    def __init__(self, *, carbonation: ExposureClassEc2Carbonation = None,
                 chlorides: ExposureClassEc2Chlorides = None,
                 chlorides_from_sea: ExposureClassEc2ChloridesFromSea = None,
                 freeze_attack: ExposureClassEc2FreezeAttack = None,
                 chemical_attack: ExposureClassEc2ChemicalAttack = None) -> None:
        """Exposure Classes Ec2.

        :param carbonation: Carbonation (default: None).
        :param chlorides: Chlorides (default: None).
        :param chlorides_from_sea: Chlorides from sea (default: None).
        :param freeze_attack: Freeze/Thaw Attack (default: None).
        :param chemical_attack: Chemical Attack (default: None).
        """
        self._carbonation = carbonation
        self._chlorides = chlorides
        self._chlorides_from_sea = chlorides_from_sea
        self._freeze_attack = freeze_attack
        self._chemical_attack = chemical_attack

    def _serialize(self) -> dict:
        exposure_classes = {}
        if carbonation := self._carbonation:
            exposure_classes['carbonation'] = carbonation
        if chlorides := self._chlorides:
            exposure_classes['chlorides'] = chlorides
        if chlorides_from_sea := self._chlorides_from_sea:
            exposure_classes['chlorides_from_sea'] = chlorides_from_sea
        if freeze_attack := self._freeze_attack:
            exposure_classes['freeze_attack'] = freeze_attack
        if chemical_attack := self._chemical_attack:
            exposure_classes['chemical_attack'] = chemical_attack
        return exposure_classes


class ConcreteMemberDataEc2(ConcreteMemberData):

    def __init__(self, element: _ReferenceElement, member_type: MemberType, two_way_slab_type: TwoWaySlabType,
                 calculation_setup: CalculationSetup = None, coeff_kx_for_wmax: float = None,
                 exposure_class_data: ExposureClassesDataEc2 = None, creep_coefficient: float = None,
                 relative_humidity: float = None) -> None:
        """
        Do not use this __init__ directly, but create the object by :meth:`~.idea_rcs.OpenModel.add_member_data_ec2`.
        """
        super().__init__(element, member_type, two_way_slab_type, calculation_setup)
        self._coeff_kx_for_wmax = coeff_kx_for_wmax
        self._exposure_class_data = exposure_class_data if exposure_class_data else ExposureClassesDataEc2()
        self._creep_coefficient = creep_coefficient
        self._relative_humidity = relative_humidity

    def _serialize(self) -> dict:
        member_data = {**super()._serialize(), 'exposure_class_data': self._exposure_class_data}
        if (coeff_kx_for_wmax := self._coeff_kx_for_wmax) is not None:
            member_data['coeff_kx_for_wmax'] = coeff_kx_for_wmax
        if (creep_coefficient := self._creep_coefficient) is not None:
            member_data['creep_coefficient'] = creep_coefficient
        if (relative_humidity := self._relative_humidity) is not None:
            member_data['relative_humidity'] = relative_humidity
        return member_data
