"""Instance attributes written by the constructors and read by the serialisers behave exactly as
the attributes of a Python class, whatever a subclass or a caller does to the class or the object."""

import gc

import pytest

import ondrel.external.idea_rcs.objects as objects

REF = objects._ReferenceElement(2, "MatReinforcement")


def bar(cls=objects.ReinforcedBar, diameter=0.016):
    return cls((0.1, 0.2), diameter, REF)


def expected(diameter=0.016):
    return {"coordinates": (0.1, 0.2), "diameter": diameter, "material": REF}


def warm(cls=objects.ReinforcedBar):
    """Serialises instances of `cls` until the serialiser reads them the short way it learns per class."""
    for _ in range(2):
        assert bar(cls)._serialize() == expected()


class TestPlainInstances:
    def test_attributes_land_in_the_instance_dict_in_store_order(self):
        for _ in range(3):  # the first instance teaches the class its keys; later ones take the short way
            b = bar()
            assert vars(b) == {"_coordinates": (0.1, 0.2), "_diameter": 0.016, "_material": REF}
            assert list(vars(b)) == ["_coordinates", "_diameter", "_material"]
            assert b._serialize() == expected()

    def test_changes_through_setattr_and_dict_are_seen(self):
        warm()
        b = bar()
        b._diameter = 0.02
        assert b._serialize() == expected(0.02)
        vars(b)["_diameter"] = 0.025  # the instance now has a real __dict__
        assert b._serialize() == expected(0.025)
        b.__init__((0.1, 0.2), 0.03, REF)  # stores once the __dict__ exists
        assert vars(b)["_diameter"] == 0.03 and b._serialize() == expected(0.03)

    def test_a_replaced_instance_dict_is_the_one_read_and_written(self):
        warm()
        b = bar()
        b.__dict__ = {"_coordinates": (0.1, 0.2), "_diameter": 9.0, "_material": REF}
        assert b._serialize() == expected(9.0)
        b.__init__((0.1, 0.2), 0.5, REF)
        assert b.__dict__["_diameter"] == 0.5 and b._serialize() == expected(0.5)

    def test_a_deleted_attribute_raises_and_a_class_attribute_fills_in(self):
        warm()
        b = bar()
        del b._diameter
        with pytest.raises(AttributeError, match="_diameter"):
            b._serialize()

        class WithDefault(objects.ReinforcedBar):
            _diameter = 0.5

        warm(WithDefault)
        c = bar(WithDefault)
        del c._diameter
        assert c._serialize() == expected(0.5)
        c.__init__((0.1, 0.2), 0.04, REF)  # stored again after the delete
        assert c._serialize() == expected(0.04) and list(vars(c))[-1] == "_diameter"

    def test_many_other_attributes_on_the_instance(self):
        warm()
        b = bar()
        for i in range(40):  # more names than a class shares among its instances
            setattr(b, f"extra_{i}", i)
        b._diameter = 0.02
        assert b._serialize() == expected(0.02)
        assert bar()._serialize() == expected()


class TestSubclasses:
    def test_setattr_override_sees_every_store(self):
        seen = []

        class Recording(objects.ReinforcedBar):
            def __setattr__(self, name, value):
                seen.append(name)
                super().__setattr__(name, value)

        assert bar(Recording)._serialize() == expected()
        assert seen == ["_coordinates", "_diameter", "_material"]

    def test_getattribute_override_sees_every_read(self):
        class Doubling(objects.ReinforcedBar):
            def __getattribute__(self, name):
                value = super().__getattribute__(name)
                return value * 2 if name == "_diameter" else value

        assert bar(Doubling)._serialize() == expected(0.032)

    def test_a_property_of_a_stored_name_handles_store_and_read(self):
        class Millimetres(objects.ReinforcedBar):
            @property
            def _diameter(self):
                return self._mm / 1000

            @_diameter.setter
            def _diameter(self, value):
                self._mm = value * 1000

        b = bar(Millimetres)
        assert "_diameter" not in vars(b) and b._mm == pytest.approx(16.0)
        assert b._serialize()["diameter"] == pytest.approx(0.016)

    def test_class_changed_after_use(self):
        class Later(objects.ReinforcedBar):
            pass

        warm(Later)
        b = bar(Later)
        assert b._serialize() == expected()
        Later._diameter = property(lambda self: 1.0)  # now shadows the instance value
        assert b._serialize() == expected(1.0)
        del Later._diameter
        assert b._serialize() == expected()

    def test_class_of_an_instance_reassigned(self):
        class A(objects.ReinforcedBar):
            pass

        class B(objects.ReinforcedBar):
            _diameter = property(lambda self: 2.0)

        warm(A)
        a = bar(A)
        assert a._serialize() == expected()
        a.__class__ = B
        assert a._serialize() == expected(2.0)
        a.__class__ = A
        assert a._serialize() == expected()

    def test_many_subclasses_alternating_through_one_base_serialiser(self):
        kinds = [type(f"Steel{i}", (objects.MatReinforcementEc2,), {}) for i in range(7)]
        kinds.append(objects.MatReinforcementEc2)
        made = [k(1, "B 500B", 200e9, 80e9, 0.3, 7850.0, 0.5, 1.2e-5, 50.0, True, 1, objects.ThermalState(),
                  objects.BarSurface.RIBBED, 500e6, 1.08, 0.05, 540e6, objects.ReinfClass.B,
                  objects.ReinfType.BARS, objects.ReinfFabrication.HOT_ROLLED,
                  objects.ReinfDiagramType.BILINEAR_INCLINED)
                for k in kinds]
        for _ in range(3):
            for i, m in enumerate(made):
                m._e_modulus = 200e9 + i
                data = m._serialize()
                assert data["e_modulus"] == 200e9 + i and data["name"] == "B 500B" and data["fyk"] == 500e6

    def test_classes_freed_and_made_again(self):
        for i in range(20):  # a new class may reuse the memory of a freed one
            shadow = {"_diameter": property(lambda self: 3.0, lambda self, value: None)}
            cls = type("Short", (objects.ReinforcedBar,), shadow if i % 2 else {})
            assert bar(cls)._serialize() == expected(3.0 if i % 2 else 0.016)
            del cls
            gc.collect()
