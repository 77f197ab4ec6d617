"""The grade enumerations and the two tables keyed by their members."""

import pytest

import ondrel.external.idea_rcs.objects as objects
from ondrel.external.idea_rcs.objects import ConcreteMaterial, ReinforcementMaterial

CONCRETE = [("C12_15", "C12/15", 12.0), ("C16_20", "C16/20", 16.0), ("C20_25", "C20/25", 20.0),
            ("C25_30", "C25/30", 25.0), ("C30_37", "C30/37", 30.0), ("C35_45", "C35/45", 35.0),
            ("C40_50", "C40/50", 40.0), ("C45_55", "C45/55", 45.0), ("C50_60", "C50/60", 50.0),
            ("C55_67", "C55/67", 55.0), ("C60_75", "C60/75", 60.0), ("C70_85", "C70/85", 70.0),
            ("C80_95", "C80/95", 80.0), ("C90_105", "C90/105", 90.0), ("C100_115", "C100/115", 100.0)]
STEEL = [("B_400A", 400, 1.05, 250), ("B_500A", 500, 1.05, 250), ("B_600A", 600, 1.05, 250),
         ("B_400B", 400, 1.08, 500), ("B_500B", 500, 1.08, 500), ("B_600B", 600, 1.08, 500),
         ("B_400C", 400, 1.15, 750), ("B_500C", 500, 1.15, 750), ("B_600C", 600, 1.15, 750),
         ("B_550A", 550, 1.05, 250), ("B_550B", 550, 1.08, 500)]


@pytest.mark.parametrize("enumeration, names", [(ConcreteMaterial, [row[0] for row in CONCRETE]),
                                                (ReinforcementMaterial, [row[0] for row in STEEL])])
def test_grade_members_in_declaration_order(enumeration, names):
    assert [(m.name, m.value) for m in enumeration] == [(n, i) for i, n in enumerate(names, start=1)]
    assert enumeration.__annotations__ == dict.fromkeys(names, f"'{enumeration.__name__}'")


def test_tables_in_full_with_value_types():
    keys = [ConcreteMaterial[row[0]] for row in CONCRETE] + [ReinforcementMaterial[row[0]] for row in STEEL]
    expected_names = [{"name": n} for _, n, _ in CONCRETE] + [{"name": m.replace("_", " ")} for m, *_ in STEEL]
    expected_properties = ([{"fck": fck} for *_, fck in CONCRETE]
                           + [{"fyk": fyk, "ftk_by_fyk": k, "epsuk": eps} for _, fyk, k, eps in STEEL])
    for table, expected in [(objects._MATERIAL_NAMES, expected_names),
                            (objects._MATERIAL_PROPERTIES, expected_properties)]:
        assert list(table) == keys and list(table.values()) == expected
        assert all(list(row) == list(want) for row, want in zip(table.values(), expected))  # inner key order
        assert len({id(row) for row in table.values()}) == 26  # every row a dictionary of its own
    types = [[type(v) for v in row.values()] for row in objects._MATERIAL_PROPERTIES.values()]
    assert types == [[float]] * 15 + [[int, float, int]] * 11
    assert objects._MATERIAL_NAMES[ConcreteMaterial.C30_37] is not objects._MATERIAL_PROPERTIES[ConcreteMaterial.C30_37]


def test_lookup_is_by_member_only():
    assert list(objects._MATERIAL_NAMES)[15] is ReinforcementMaterial.B_400A
    assert ConcreteMaterial.C12_15 in objects._MATERIAL_NAMES and ReinforcementMaterial.B_400A in objects._MATERIAL_NAMES
    assert "B_550C" not in ReinforcementMaterial.__members__
    for key in ["C30/37", 5]:
        with pytest.raises(KeyError):
            objects._MATERIAL_PROPERTIES[key]


def test_tables_and_grades_are_placed_in_the_module():
    assert {"ConcreteMaterial", "ReinforcementMaterial"} <= set(objects.__all__)
    assert "_MATERIAL_NAMES" not in objects.__all__ and "_MATERIAL_PROPERTIES" not in objects.__all__
    # Built right after __all__, before the model classes.
    order = list(vars(objects))
    assert order.index("__all__") < order.index("ConcreteMaterial") < order.index("ReinforcementMaterial") \
        < order.index("_MATERIAL_NAMES") < order.index("_MATERIAL_PROPERTIES") < order.index("_OpenObject")
