"""Build a reinforced-concrete T beam for IDEA StatiCa RCS and write the file IDEA imports.

The beam is the one of IDEA's own RCS sample: a C30/37 T section (0.8 m flange, 0.7 m deep)
with B 500B bars and two stirrups, one check section S1 with one extreme.

    python examples/idea_beam.py [path]      (default: ./beam.xml)

Import the file in IDEA StatiCa RCS (Project > Import > IDEA OpenModel). Beside it,
section.svg draws the reinforced section; open it in a browser.
"""
import datetime
import sys

from ondrel.external.idea_rcs import OpenModel, section_svg
from ondrel.external.idea_rcs.objects import (
    CalculationSetup, ConcreteMaterial, CrossSectionType, ExposureClassEc2Carbonation, ExposureClassEc2Chlorides,
    ExposureClassesDataEc2, LoadingSLS, LoadingULS, MemberType, NationalAnnex, ProjectData,
    ReinforcementMaterial, ResultOfInternalForces, TwoWaySlabType,
)


def build_beam() -> OpenModel:
    """The T beam of IDEA's sample, through OpenModel. Lengths in m, forces in N, moments in N·m."""
    model = OpenModel(project_data=ProjectData(name="TBeam_RCS", date=datetime.date(2022, 12, 7),
                                               national_annex=NationalAnnex.NO_ANNEX, design_working_life=50))

    # Materials: every value follows from the grade by EN 1992-1-1.
    concrete = model.create_matconcrete_ec2(ConcreteMaterial.C30_37)
    steel = model.create_matreinforcement_ec2(ReinforcementMaterial.B_500B)

    # A T section: 0.8 m wide flange, 0.16 m deep; 0.25 m web; 0.7 m overall.
    section = model.create_cross_section_parameter("Tsection", CrossSectionType.TG, concrete,
                                                   Height=0.7, Width=0.8, TopFlangeWidth=0.16, WallWidth=0.25)
    beam = model.create_reinforced_cross_section("R1", section)

    # Bars, (y, z) in the section plane: four in the top of the flange...
    for y in (0.346, 0.071, -0.071, -0.346):
        beam.create_bar((y, 0.2157), 0.012, steel)
    # ...two of 20 mm in the bottom of the web, and one bar at each flange tip, as layers...
    beam.create_bar_layer(origin=(-0.071, -0.3923), diameter=0.020, material=steel, number_of_bars=2,
                          delta_y=0.142)
    beam.create_bar_layer(origin=(-0.346, 0.1437), diameter=0.012, material=steel, number_of_bars=2,
                          delta_y=0.692)
    # ...and four in the sides of the web.
    for y, z in ((-0.079, -0.0063), (-0.079, -0.2343), (0.079, -0.2343), (0.079, -0.0063)):
        beam.create_bar((y, z), 0.012, steel)

    # Two closed stirrups of 8 mm every 0.15 m: one round the web, one in the flange.
    web = [(-0.091, 0.2257), (-0.091, -0.4063), (0.091, -0.4063), (0.091, 0.2257), (-0.091, 0.2257)]
    flange = [(-0.366, 0.2257), (-0.366, 0.1337), (0.366, 0.1337), (0.366, 0.2257), (-0.366, 0.2257)]
    beam.create_stirrup(web, 0.008, steel, 0.15, shear_check=True, torsion_check=True,
                        mandrel_diameter_factor=4.0, anchorage_length=0.0)
    beam.create_stirrup(flange, 0.008, steel, 0.15, shear_check=True, torsion_check=False,
                        mandrel_diameter_factor=4.0, anchorage_length=0.0)

    # The member, what to check on it, and its exposure.
    member = model.create_check_member1d()
    model.add_member_data_ec2(
        member, MemberType.BEAM, TwoWaySlabType.SHELL_AS_PLATE,
        calculation_setup=CalculationSetup(
            uls_response=True, uls_diagram=True, uls_shear=True, uls_torsion=True, uls_interaction=True,
            sls_crack=True, sls_stress_limitation=True, detailing=True, m_n_kappa_diagram=False, fatigue=True,
            cross_section_characteristics=False, sls_stiffnesses=False),
        coeff_kx_for_wmax=1.0,
        exposure_class_data=ExposureClassesDataEc2(carbonation=ExposureClassEc2Carbonation.XC3,
                                                   chlorides=ExposureClassEc2Chlorides.XD1),
        relative_humidity=65.0,
    )

    # Section S1 with one extreme: ULS fundamental, SLS characteristic and quasi-permanent.
    check = model.add_check_section("S1", member, beam)
    check.create_extreme(
        fundamental=LoadingULS(ResultOfInternalForces(N=0.0, Qy=5000.0, Qz=50000.0, Mx=0.0, My=150000.0,
                                                      Mz=20000.0)),
        characteristic=LoadingSLS(ResultOfInternalForces(My=80000.0, Mz=7000.0)),
        quasi_permanent=LoadingSLS(ResultOfInternalForces()),
    )
    return model


def main(path: str = "beam.xml") -> None:
    model = build_beam()
    written = model.write(path)
    concrete, = model.concrete_materials
    steel, = model.reinforcement_materials
    beam, = model.reinforced_cross_sections
    check, = model.check_sections
    concrete_values = concrete._serialize()["dep_params"]._serialize()
    steel_values = steel._serialize()
    print(f"Wrote {written.resolve()} ({written.stat().st_size} bytes), an IDEA StatiCa RCS OpenModel:")
    print(f"  concrete {concrete._serialize()['name']}: fcm {concrete_values['Fcm']:.0f} MPa, "
          f"fctm {concrete_values['Fctm']:.2f} MPa, Ecm {concrete_values['Ecm']:.0f} MPa")
    print(f"  steel {steel_values['name']}: fyk {steel_values['fyk']:.0f} MPa, ftk {steel_values['ftk']:.0f} MPa, "
          f"epsuk {steel_values['epsuk']:.3f}")
    print(f"  section R1: {len(beam.bars)} bars, {len(beam.stirrups)} stirrups")
    print(f"  check section {check._serialize()['description']}: "
          + ", ".join(extreme.description for extreme in check.extremes))
    drawing = written.with_name("section.svg")
    drawing.write_text(section_svg(beam), encoding="utf-8")
    print(f"Drew section R1 in {drawing.resolve()}; open it in a browser.")


if __name__ == "__main__":
    main(*sys.argv[1:2])
