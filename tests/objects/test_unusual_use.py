"""Unusual uses of the model classes, with plain Python as the oracle: the same results and errors, never a crash."""

import math
import subprocess
import sys
import textwrap
import types
from unittest import mock

import pytest

import ondrel.external.idea_rcs.objects as objects


def super_error(obj, cls):
    return f"super(type, obj): obj (instance of {type(obj).__name__}) is not an instance or subtype of type ({cls})."


def run_python(code):
    """Runs code in a fresh interpreter: for what changes the module's own classes for good."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


class TestBaseMethodsOnOtherObjects:
    @pytest.mark.parametrize("call, cls", [
        (lambda obj: objects.CrossSection.__init__(obj, 1, "x"), "CrossSection"),
        (lambda obj: objects.StandardCheckSection.__init__(obj, 1, "d", None, None), "StandardCheckSection"),
        (lambda obj: objects.LoadingSLS._serialize(obj), "LoadingSLS"),
        (lambda obj: objects.StandardCheckSection._serialize(obj), "CheckSection"),
    ])
    @pytest.mark.parametrize("obj", [object(), objects._OpenElementId(1)], ids=["object", "element"])
    def test_super_raises_its_own_type_error(self, call, cls, obj):
        with pytest.raises(TypeError) as raised:
            call(obj)
        assert str(raised.value) == super_error(obj, cls)

    def test_an_object_claiming_the_class_through_its_class_attribute_is_served(self):
        claimed = mock.Mock(spec=objects.CrossSection)
        assert isinstance(claimed, objects.CrossSection)
        objects.CrossSection.__init__(claimed, 3, "x")
        assert claimed._id == 3 and claimed._name == "x"

    def test_a_moved_constructor_outliving_its_class_raises_type_error(self):
        result = run_python("""
            import gc
            import ondrel.external.idea_rcs.objects as o
            init = o.StandardCheckSectionExtreme.__init__
            class Y:
                __init__ = init
            del o.StandardCheckSectionExtreme
            gc.collect()
            o.StandardCheckSectionExtreme = Y
            try:
                o.StandardCheckSection(1, "S", None, None).create_extreme()
            except TypeError as error:
                print(error)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == ("super(type, obj): obj (instance of Y) is not an instance or subtype of type "
                                         "(StandardCheckSectionExtreme).")


class TestCreateExtremeWithAnotherClass:
    def test_a_metaclass_hiding_the_constructor_from_reads_then_the_module_class_again(self, monkeypatch):
        section = objects.StandardCheckSection(1, "S", None, None)
        section.create_extreme()  # the module's class is remembered

        class Hiding(type(objects.StandardCheckSectionExtreme)):
            def __getattribute__(cls, name):
                if name == "__init__":
                    raise LookupError("not for reading")
                return super().__getattribute__(name)

        class Other(objects.StandardCheckSectionExtreme, metaclass=Hiding):
            pass

        original = objects.StandardCheckSectionExtreme
        monkeypatch.setattr(objects, "StandardCheckSectionExtreme", Other)
        section.create_extreme()  # calling the class finds __init__ as type() does
        monkeypatch.setattr(objects, "StandardCheckSectionExtreme", original)
        section.create_extreme(description="again")
        extremes = section.extremes
        assert [type(e) for e in extremes] == [original, Other, original]
        assert [e.description for e in extremes] == ["S - E 1", "S - E 2", "again"]


class TestNamesLookedUpAtEachCall:
    @pytest.mark.parametrize("name, make, attr", [
        ("CalculationSetup", lambda: objects.ConcreteMemberDataEc2(None, None, None), "_calculation_setup"),
        ("ExposureClassesDataEc2", lambda: objects.ConcreteMemberDataEc2(None, None, None), "_exposure_class_data"),
    ])
    def test_member_data_defaults(self, name, make, attr):
        sentinel = object()
        with mock.patch.object(objects, name, lambda: sentinel):
            assert getattr(make(), attr) is sentinel
        assert type(getattr(make(), attr)) is getattr(objects, name)

    def test_radians_of_the_code_settings(self):
        settings = objects.CodeSettings(theta=90.0)
        with mock.patch.object(objects, "math") as patched:
            patched.radians.return_value = "converted"
            assert settings._serialize()["theta"] == "converted"
        with mock.patch("math.radians", lambda x: -x):
            assert settings._serialize()["theta"] == -90.0
        assert settings._serialize()["theta"] == math.radians(90.0)

    def test_radians_after_the_module_dict_changes_shape(self, monkeypatch):
        settings = objects.CodeSettings(theta=180.0)
        assert settings._serialize()["theta"] == math.pi
        monkeypatch.delattr(objects, "math")
        with pytest.raises(NameError, match="name 'math' is not defined"):
            settings._serialize()
        for i in range(200):  # the module dict grows into a new key table meanwhile
            monkeypatch.setattr(objects, f"_filler_{i}", i, raising=False)
        monkeypatch.setattr(objects, "math", types.SimpleNamespace(radians=lambda x: x / 2), raising=False)
        assert settings._serialize()["theta"] == 90.0


class TestPlansFollowTheClass:
    def test_a_base_constructor_added_or_removed_later_is_used_from_then_on(self):
        class Mid(objects._OpenElementId):
            pass

        class Leaf(objects.ReinforcedCrossSection, Mid):
            pass

        calls = []
        assert [Leaf(i, "x", None)._id for i in range(3)] == [0, 1, 2]  # planned on the first call
        Mid.__init__ = lambda self, id_: calls.append(id_) or setattr(self, "_id", -id_)
        assert [Leaf(i, "x", None)._id for i in (3, 4)] == [-3, -4] and calls == [3, 4]
        del Mid.__init__
        assert Leaf(5, "x", None)._id == 5 and calls == [3, 4]

    def test_an_instance_of_another_class_after_the_plan_is_served_the_generic_way(self):
        class Other(objects.ReinforcedCrossSection):
            pass

        for cls in (objects.ReinforcedCrossSection, Other, objects.ReinforcedCrossSection, Other):
            section = cls(7, "n", None)
            assert section._serialize() == {"id": 7, "name": "n", "cross_section": None}
        claimed = mock.Mock(spec=objects.ReinforcedCrossSection)
        objects.ReinforcedCrossSection.__init__(claimed, 8, "m", None)
        assert section._serialize() == {"id": 7, "name": "n", "cross_section": None} and claimed._id == 8


class TestBaseSerialiserPatchedWhileSerialising:
    def test_the_next_serialisation_uses_the_patched_base(self, monkeypatch):
        class Section(objects.ReinforcedCrossSection):
            pass

        class PatchesOnce:
            patched = False

            def __bool__(self):
                if not PatchesOnce.patched:
                    PatchesOnce.patched = True
                    monkeypatch.setattr(objects._OpenElementId, "_serialize", lambda self: {"patched": True})
                return True

        section = Section(1, "n", None)
        section._bars = PatchesOnce()
        first = section._serialize()
        assert list(first) == ["id", "name", "cross_section", "bars"]  # super() ran before the patch
        for _ in range(3):
            assert list(section._serialize()) == ["patched", "name", "cross_section", "bars"]


class TestExtremeClassNames:
    def test_the_name_comes_from_the_class_attribute(self):
        section = objects.StandardCheckSection(1, "S", None, None)
        section.create_extreme()
        spec = mock.Mock(spec=objects.StandardCheckSectionExtreme)

        class Claiming(objects.StandardCheckSectionExtreme):
            @property
            def __class__(self):
                return objects.CheckSectionExtreme

        claiming = Claiming(description="r")
        section = objects.StandardCheckSection(1, "S", None, None, [spec, section.extremes[0], claiming, spec])
        names = [name for name, _ in section._serialize()["extremes"]]
        assert names == ["StandardCheckSectionExtreme", "StandardCheckSectionExtreme", "CheckSectionExtreme",
                         "StandardCheckSectionExtreme"]

    def test_names_keys_and_values_keep_their_references(self):
        name = "".join(["Run", "Time", "Extreme"])
        cls = type(name, (objects.StandardCheckSectionExtreme,), {})
        loading = objects.LoadingULS(objects.ResultOfInternalForces())
        section = objects.StandardCheckSection(1, "S", None, None, [cls(fundamental=loading, description="e")])
        watched = [name, loading, *section._serialize(), *cls(description="x")._serialize()]
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(1000):
            pairs = section._serialize()["extremes"]
            assert pairs[0][0] == name
            section.extremes[0]._serialize()
        del pairs
        assert [sys.getrefcount(o) for o in watched] == before
