"""Material values of EN 1992-1-1 (Eurocode 2) for the materials that OpenModel creates.

Units: stresses and moduli in MPa, strains as fractions [-], densities in kg/m³, thermal
expansion in 1/K, specific heat in J/(kg·K), thermal conductivity in W/(m·K).
"""
import math

# EN 1992-1-1, 3.1.3 (2): Ecm holds for quartzite aggregates; other aggregates scale it.
AGGREGATE_FACTORS = {"QUARTZITE": 1.0, "LIMESTONE": 0.9, "SANDSTONE": 0.7, "BASALT": 1.2}

CONCRETE_POISSON = 0.2                  # EN 1992-1-1, 3.1.3 (4), uncracked concrete
CONCRETE_UNIT_MASS = 2500.0             # EN 1991-1-1, Table A.1: reinforced normal-weight concrete, 25 kN/m³
CONCRETE_THERMAL_EXPANSION = 1e-05      # EN 1992-1-1, 3.1.3 (5)
CONCRETE_SPECIFIC_HEAT = 900.0          # EN 1992-1-2, 3.3.2 (1): dry concrete, 20 °C to 100 °C
CONCRETE_THERMAL_CONDUCTIVITY = 1.95    # EN 1992-1-2, 3.3.3 (2): upper limit at 20 °C
CONCRETE_STONE_DIAMETER = 0.016         # aggregate size dg [m]; EN 1992-1-1 leaves it to the design

STEEL_E_MODULUS = 200000.0              # EN 1992-1-1, 3.2.7 (4): Es = 200 GPa
STEEL_POISSON = 0.3                     # EN 1993-1-1, 3.2.6 (1)
STEEL_UNIT_MASS = 7850.0                # EN 1992-1-1, 3.2.7 (3)
STEEL_THERMAL_EXPANSION = 1e-05         # EN 1992-1-1, 3.1.3 (5): taken equal to that of concrete
STEEL_SPECIFIC_HEAT = 440.0             # EN 1993-1-2, 3.4.1.2: about 440 J/(kg·K) at 20 °C
STEEL_THERMAL_CONDUCTIVITY = 53.3       # EN 1993-1-2, 3.4.1.3: 54 − 3.33e-2 · 20 °C

# EN 1992-1-1, Annex C: the grade tables give epsuk in units of 0.01 % (250 means 2.5 %).
GRADE_TABLE_EPSUK_UNIT = 1e-4


def shear_modulus(e_modulus: float, poisson: float) -> float:
    """G = E / (2 (1 + ν)), in the unit of ``e_modulus``."""
    return e_modulus / (2.0 * (1.0 + poisson))


def concrete_dependent_values(fck: float, aggregate: str = "QUARTZITE") -> dict[str, float]:
    """The values of EN 1992-1-1, Table 3.1 that follow from fck [MPa].

    The keys are the keyword names of ``ConcDependentParams``: E_cm and the strengths in MPa,
    the strains as fractions and n without unit. The formulas for high-strength concrete
    apply above C50/60; at C50/60 and below the table's constant values hold. Table 3.1 ends
    at C90/105: above it the terms (98 − fcm) and (90 − fck) are held at zero, so that the
    ultimate strains and n keep their C90/105 values instead of growing again.
    """
    fcm = fck + 8.0
    high_strength = fck > 50.0
    if high_strength:
        fctm = 2.12 * math.log(1.0 + fcm / 10.0)
    else:
        fctm = 0.30 * fck ** (2.0 / 3.0)
    e_cm = 22.0 * (fcm / 10.0) ** 0.3 * 1000.0 * AGGREGATE_FACTORS[aggregate]
    eps_c1 = min(0.7 * fcm ** 0.31, 2.8)                                     # ‰
    if high_strength:
        eps_cu1 = 2.8 + 27.0 * (max(98.0 - fcm, 0.0) / 100.0) ** 4
        eps_c2 = 2.0 + 0.085 * (fck - 50.0) ** 0.53
        eps_cu2 = 2.6 + 35.0 * (max(90.0 - fck, 0.0) / 100.0) ** 4
        n_factor = 1.4 + 23.4 * (max(90.0 - fck, 0.0) / 100.0) ** 4
        eps_c3 = 1.75 + 0.55 * ((fck - 50.0) / 40.0)
        eps_cu3 = eps_cu2
    else:
        eps_cu1, eps_c2, eps_cu2, n_factor, eps_c3, eps_cu3 = 3.5, 2.0, 3.5, 2.0, 1.75, 3.5
    return {
        "E_cm": e_cm,
        "eps_c1": eps_c1 / 1000.0,
        "eps_c2": eps_c2 / 1000.0,
        "eps_c3": eps_c3 / 1000.0,
        "eps_cu1": eps_cu1 / 1000.0,
        "eps_cu2": eps_cu2 / 1000.0,
        "eps_cu3": eps_cu3 / 1000.0,
        "F_ctm": fctm,
        "F_ctk_0_05": 0.7 * fctm,
        "F_ctk_0_95": 1.3 * fctm,
        "n_factor": n_factor,
        "F_cm": fcm,
    }
