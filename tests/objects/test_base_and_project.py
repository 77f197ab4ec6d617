"""Module namespace, the three roots, project data and code settings."""

import datetime
import inspect
import math

import pytest

import ondrel.external.idea_rcs.objects as objects


BUILD_ORDER = [
    "datetime", "math", "ABC", "abstractmethod", "Enum", "List", "Tuple", "Any", "Union", "Sequence", "Optional",
    "Literal", "ConcreteMaterial", "ReinforcementMaterial", "_MATERIAL_NAMES", "_MATERIAL_PROPERTIES",
    "_OpenObject", "_OpenElementId", "_ReferenceElement", "NationalAnnex", "ProjectData",
    "EvaluationInteractionDiagram", "NoResistanceConcreteTension1d", "TypeSLSCalculation", "CodeSettings",
    "CheckMember", "CheckMember1D", "ThermalStateType", "ThermalState", "_Material", "ReinfClass", "ReinfType",
    "BarSurface", "ReinfDiagramType", "ReinfFabrication", "MatReinforcement", "MatReinforcementEc2",
    "ConcDiagramType", "ConcAggregateType", "ConcCementClass", "MatConcrete", "ConcDependentParams",
    "MatConcreteEc2", "CrossSectionType", "CrossSection", "CrossSectionParameter", "CrossSectionComponent",
    "_CssComponent", "ReinforcedBar", "Stirrup", "ReinforcedCrossSection", "ResultOfInternalForces", "LoadingULS",
    "LoadingSLS", "FatigueLoading", "CheckSectionExtreme", "StandardCheckSectionExtreme", "CheckSection",
    "StandardCheckSection", "MemberType", "TwoWaySlabType", "CalculationSetup", "ConcreteMemberData",
    "ExposureClassEc2Carbonation", "ExposureClassEc2Chlorides", "ExposureClassEc2ChloridesFromSea",
    "ExposureClassEc2FreezeAttack", "ExposureClassEc2ChemicalAttack", "ExposureClassesDataEc2",
    "ConcreteMemberDataEc2",
]


class TestNamespace:
    def test_names_are_bound_in_build_order(self):
        names = list(vars(objects))
        assert [n for n in names if not n.startswith("__")] == BUILD_ORDER
        assert names.index("__all__") < names.index("ConcreteMaterial")

    def test_all_exports_the_public_names_sorted(self):
        private = {"datetime", "math", "ABC", "abstractmethod", "Enum", "List", "Tuple", "Any", "Union", "Sequence",
                   "Optional", "Literal", "ConcreteMemberData"}
        expected = sorted(n for n in BUILD_ORDER if not n.startswith("_") and n not in private)
        assert len(expected) == 50
        assert objects.__all__ == expected
        assert type(objects.__all__) is list


class TestRoots:
    @pytest.mark.parametrize("make", [lambda: objects._OpenElementId(7), lambda: objects._OpenElementId(id_=7)])
    def test_element_id(self, make):
        element = make()
        assert element._serialize() == {"id": 7}
        assert element.id == 7
        with pytest.raises(AttributeError):
            element.id = 8

    def test_reference_keys_in_order(self):
        ref = objects._ReferenceElement(3, "MatConcrete")
        assert list(ref._serialize().items()) == [("type_name", "MatConcrete"), ("id", 3)]
        assert ref.id == 3

    def test_each_serialisation_is_a_new_dict(self):
        element = objects._OpenElementId(1)
        first, second = element._serialize(), element._serialize()
        assert first == second and first is not second
        first["id"] = 2
        assert element._serialize() == {"id": 1}

    @pytest.mark.parametrize("value", ["text", None, 1.5])
    def test_ids_are_not_converted(self, value):
        assert objects._OpenElementId(value)._serialize()["id"] is value

    def test_open_object_base_returns_an_empty_dict(self):
        assert objects._OpenObject._serialize(None) == {}
        assert objects._OpenObject.__init__(None) is None
        assert objects._OpenObject.__doc__ == " Abstract base class of all IDEA OpenModel objects. "


class TestProjectData:
    def test_defaults_write_only_fatigue_check(self):
        assert objects.ProjectData()._serialize() == {"fatigue_check": False}
        assert objects.ProjectData(fatigue_check=None)._serialize() == {}

    def test_all_keys_in_header_order(self):
        project = objects.ProjectData(
            national_annex=objects.NationalAnnex.DUTCH, fatigue_check=True, name="n", number="1",
            description="d", author="a", date=datetime.date(2023, 1, 9), design_working_life=75,
        )
        data = project._serialize()
        assert list(data) == ["name", "number", "description", "author", "date", "national_annex",
                              "fatigue_check", "design_working_life"]
        assert data["date"] == "2023-01-09"
        assert data["national_annex"] is objects.NationalAnnex.DUTCH
        assert project.date == datetime.date(2023, 1, 9)

    def test_attributes_in_assignment_order_and_read_at_call_time(self):
        project = objects.ProjectData(name="a")
        assert list(vars(project)) == ["national_annex", "fatigue_check", "name", "number", "description",
                                       "author", "date", "design_working_life"]
        project.name = ""
        project.design_working_life = 0
        assert project._serialize() == {"name": "", "fatigue_check": False, "design_working_life": 0}

    def test_date_goes_through_strftime(self):
        class Day:
            def strftime(self, fmt):
                return f"formatted {fmt}"

        assert objects.ProjectData(date=Day())._serialize()["date"] == "formatted %Y-%m-%d"
        with pytest.raises(AttributeError):
            objects.ProjectData(date="2024-03-05")._serialize()

    def test_docstring_lists_parameters(self):
        doc = objects.ProjectData.__init__.__doc__
        assert doc.startswith(" Project data.")
        order = ["name", "number", "description", "author", "date", "national_annex", "fatigue_check",
                 "design_working_life"]
        positions = [doc.index(f":param {name}:") for name in order]
        assert positions == sorted(positions)
        assert ":param date: Date (default: today) ::version(v14.6.0)" in doc
        assert objects.ProjectData.__init__.__annotations__["date"] == "datetime.date"
        assert "return" not in objects.ProjectData.__init__.__annotations__


class TestCodeSettings:
    def test_angles_in_radians(self):
        assert objects.CodeSettings(theta=45)._serialize() == {"theta": 0.7853981633974483}
        assert objects.CodeSettings(theta=0)._serialize() == {"theta": 0.0}
        data = objects.CodeSettings(theta_min=21.8, theta_max=45.0)._serialize()
        assert data == {"theta_min": math.radians(21.8), "theta_max": math.radians(45.0)}

    def test_only_set_values_in_argument_order(self):
        settings = objects.CodeSettings(
            type_sls_calculation=objects.TypeSLSCalculation.BOTH, n_cycles_fatigue=2,
            evaluation_interaction_diagram=objects.EvaluationInteractionDiagram.N_MU_MU,
            no_resistance_concrete_tension_1d=objects.NoResistanceConcreteTension1d.ALWAYS,
        )
        assert list(settings._serialize().items()) == [
            ("evaluation_interaction_diagram", objects.EvaluationInteractionDiagram.N_MU_MU),
            ("n_cycles_fatigue", 2),
            ("no_resistance_concrete_tension_1d", objects.NoResistanceConcreteTension1d.ALWAYS),
            ("type_sls_calculation", objects.TypeSLSCalculation.BOTH),
        ]
        assert objects.CodeSettings()._serialize() == {}

    def test_bad_angle_fails_in_serialise(self):
        with pytest.raises(TypeError):
            objects.CodeSettings(theta="45")._serialize()

    def test_docstring_continues_long_texts_under_the_text(self):
        doc = objects.CodeSettings.__init__.__doc__
        assert doc.startswith(" Code and calculation settings.")
        assert ("        :param theta: angle [deg] between the concrete compression strut and the beam axis "
                "perpendicular to the\n                      shear force (default: set by IDEA)\n") in doc
        assert ":param n_cycles_fatigue: number of fatigue cycles (* 10⁶) (default: set by IDEA)" in doc


@pytest.mark.parametrize(
    ("enumeration", "members"),
    [
        (objects.NationalAnnex, {"NO_ANNEX": "NoAnnex", "DUTCH": "Dutch", "BELGIUM": "Belgian"}),
        (objects.EvaluationInteractionDiagram, {"NU_MU_MU": 0, "NU_M_M": 1, "N_MU_MU": 2}),
        (objects.NoResistanceConcreteTension1d, {"EXTREME": 0, "SECTION": 1, "ALWAYS": 2}),
        (objects.TypeSLSCalculation, {"BOTH": 0, "SHORT_TERM": 1, "LONG_TERM": 2}),
    ],
)
def test_project_enumerations(enumeration, members):
    assert {m.name: m.value for m in enumeration} == members


def test_signature_of_code_settings():
    params = inspect.signature(objects.CodeSettings).parameters
    assert list(params) == ["evaluation_interaction_diagram", "theta", "theta_min", "theta_max",
                            "n_cycles_fatigue", "no_resistance_concrete_tension_1d", "type_sls_calculation"]
    assert all(p.default is None and p.kind is p.KEYWORD_ONLY for p in params.values())
