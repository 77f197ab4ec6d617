"""Cross-sections: the section types, parametric sections and sections built from polygon components."""
import inspect
from abc import ABC
from types import SimpleNamespace

import pytest

from ondrel.external.idea_rcs import objects as o

OUTLINE_MESSAGE = "'outline' of subcomponent of CrossSectionComponent should have at least three points"
OPENINGS_MESSAGE = "'openings' of subcomponent of CrossSectionComponent should have at least three points"
TRIANGLE = [(0.0, 0.0), (0.3, 0.0), (0.0, 0.5)]
CONCRETE = SimpleNamespace(id=4)  # any object with an id stands for a material


def test_section_types_skip_nine_and_end_with_two_far_values():
    values = [member.value for member in o.CrossSectionType]
    assert values == [*range(9), *range(10, 90), 101, 1001]
    names = [member.name for member in o.CrossSectionType]
    assert names[7:10] == ["ROLLED_DOUBLE_UO", "ROLLED_DOUBLE_UC", "ROLLED_DOUBLE_LT"]
    assert (names[0], names[26], names[88]) == ("ONE_COMPONENT_CSS", "RECT", "BEAM_SHAPE_L_DEGEN")
    assert o.CrossSectionType(101) is o.CrossSectionType.CHS_PAR
    assert o.CrossSectionType(1001) is o.CrossSectionType.UNIQUE_NAME
    with pytest.raises(ValueError):
        o.CrossSectionType(9)
    assert o.CrossSectionType.__annotations__ == dict.fromkeys(names, "'CrossSectionType'")


def test_what_python_sees_of_the_classes():
    assert o.CrossSection.__bases__ == (o._OpenElementId, ABC)
    assert o.CrossSection.__doc__ == " Abstract base class of all cross-sections. "
    assert o._CssComponent.__bases__ == (o._OpenElementId,)
    with pytest.raises(TypeError, match="abstract"):
        o.CrossSection(1, "section")
    assert str(inspect.signature(o.CrossSection.__init__)) == "(self, id_: 'int', name: 'str')"
    assert str(inspect.signature(o.CrossSectionParameter.__init__, eval_str=True)) == (
        "(self, id_: int, name: str, cross_section_type: ondrel.external.idea_rcs.objects.CrossSectionType, "
        "material: ondrel.external.idea_rcs.objects._ReferenceElement, **parameters: Any) -> None")
    assert str(inspect.signature(o.CrossSectionComponent.create_component)) == (
        "(self, outline: 'Sequence[Tuple[float, float]]', material: 'MatConcrete', *, "
        "openings: 'Sequence[Sequence[Tuple[float, float]]]' = None) -> 'None'")
    if hasattr(o, "MatConcrete"):  # built by the materials area
        annotations = inspect.signature(o.CrossSectionComponent.create_component, eval_str=True).parameters
        assert annotations["material"].annotation is o.MatConcrete
    assert str(inspect.signature(o._CssComponent.__init__)) == (
        "(self, id_: 'int', material: '_ReferenceElement', outline: 'Sequence[Tuple[float, float]]', "
        "openings: 'Optional[Sequence[Sequence[Tuple[float, float]]]]')")
    for cls, factory in [(o.CrossSectionParameter, "create_cross_section_parameter"),
                         (o.CrossSectionComponent, "create_cross_section_component")]:
        assert cls.__init__.__doc__ == ("\n        Do not use this __init__ directly, but create the object by "
                                        f":meth:`~.idea_rcs.OpenModel.{factory}`.\n        ")
    assert o.CrossSectionComponent.create_component.__doc__.startswith(
        " Create a component to build up the cross-section.\n\n        :param outline: ")


@pytest.mark.parametrize("parameters", [{}, {"a": 1, "b": 2}, {"b": 2, "a": 1, "id": 5}])
def test_parametric_section_keeps_extra_keywords_in_a_new_dictionary(parameters):
    material = o._ReferenceElement(4, "MatConcrete")
    section = o.CrossSectionParameter(1, "beam", o.CrossSectionType.RECT, material, **parameters)
    data = section._serialize()
    assert list(data) == ["id", "name", "cross_section_type", "material", "parameters"]
    assert data["cross_section_type"] is o.CrossSectionType.RECT and data["material"] is material
    assert list(data["parameters"].items()) == list(parameters.items())
    assert data["parameters"] is not parameters and section._serialize()["parameters"] is data["parameters"]


def test_components_are_numbered_and_keep_the_callers_polygons():
    section = o.CrossSectionComponent(7, "slab")
    openings = [[(0.1, 0.1), (0.2, 0.1), (0.1, 0.2)]]
    assert section.create_component(TRIANGLE, CONCRETE) is None
    section.create_component(TRIANGLE, SimpleNamespace(id=5), openings=openings)
    section.create_component(TRIANGLE, CONCRETE, openings=[])
    data = section._serialize()
    assert list(data) == ["id", "name", "components"] and data["id"] == 7 and data["name"] == "slab"
    assert data["components"] is section._serialize()["components"]
    first, second, third = (component._serialize() for component in data["components"])
    assert list(first) == ["id", "material", "outline", "openings"]
    assert [first["id"], second["id"], third["id"]] == [1, 2, 3]
    assert first["outline"] is TRIANGLE and first["openings"] is None
    assert second["openings"] is openings and third["openings"] == []
    assert [(c["material"]._serialize()) for c in (first, second)] == [
        {"type_name": "MatConcrete", "id": 4}, {"type_name": "MatConcrete", "id": 5}]


@pytest.mark.parametrize("outline, material, openings, error, message", [
    (TRIANGLE[:2], CONCRETE, None, ValueError, OUTLINE_MESSAGE),
    (TRIANGLE[:2], CONCRETE, [[(0, 0)]], ValueError, OUTLINE_MESSAGE),  # the outline is checked first
    (TRIANGLE, CONCRETE, [TRIANGLE + [(1, 1)], TRIANGLE, TRIANGLE[:2]], ValueError, OPENINGS_MESSAGE),
    ([], object(), None, AttributeError, "id"),  # the material is read before any check
    (5, CONCRETE, None, TypeError, "has no len"),
])
def test_a_refused_component_leaves_no_trace(outline, material, openings, error, message):
    section = o.CrossSectionComponent(1, "slab")
    section.create_component(TRIANGLE, CONCRETE)
    with pytest.raises(error, match=message):
        section.create_component(outline, material, openings=openings)
    section.create_component(TRIANGLE, CONCRETE)
    assert [component.id for component in section._serialize()["components"]] == [1, 2]


def test_openings_are_keyword_only():
    with pytest.raises(TypeError, match=r"takes 3 positional arguments but 4 were given"):
        o.CrossSectionComponent(1, "slab").create_component(TRIANGLE, CONCRETE, None)
