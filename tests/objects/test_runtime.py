"""What Python sees of the compiled classes: functions, signatures, errors, enums, abstract classes."""

import abc
import copy
import enum
import gc
import pickle
import inspect
import math
import tracemalloc
import weakref
import datetime

import pytest

import ondrel.external.idea_rcs.objects as objects
import ondrel.external.spreadsheet as spreadsheet

MODULE = "ondrel.external.idea_rcs.objects"


def python_error(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    raise AssertionError("no TypeError")


class TestFunctions:
    def test_method_metadata_reads_like_a_python_function(self):
        init = objects._OpenElementId.__init__
        assert init.__name__ == "__init__"
        assert init.__qualname__ == "_OpenElementId.__init__"
        assert init.__module__ == MODULE
        assert init.__annotations__ == {"id_": "int"}
        assert init.__defaults__ is None and init.__kwdefaults__ is None
        assert init.__globals__ is vars(objects)
        assert objects._OpenElementId._serialize.__annotations__ == {"return": "dict"}
        assert objects._OpenElementId._serialize.__doc__ is None

    def test_methods_bind_to_instances(self):
        element = objects._OpenElementId(4)
        bound = element._serialize
        assert bound.__self__ is element
        assert bound.__func__ is objects._OpenElementId.__dict__["_serialize"]
        assert bound() == {"id": 4}
        assert objects._OpenElementId._serialize(element) == {"id": 4}

    def test_signature_matches_declaration(self):
        sig = inspect.signature(objects.ProjectData)
        assert all(p.kind is p.KEYWORD_ONLY for p in sig.parameters.values())
        assert str(inspect.signature(objects._ReferenceElement.__init__)) == (
            "(self, id_: 'int', type_name: 'str')"
        )

    def test_signature_evaluates_string_annotations(self):
        sig = inspect.signature(objects.ProjectData.__init__, eval_str=True)
        assert sig.parameters["national_annex"].annotation is objects.NationalAnnex
        assert sig.parameters["date"].annotation is objects.datetime.date
        assert sig.parameters["design_working_life"].annotation == objects.Literal[50, 75, 100]
        assert sig.parameters["fatigue_check"].default is False

    def test_bound_method_signature_drops_self(self):
        assert str(inspect.signature(objects._OpenElementId(1)._serialize)) == "() -> 'dict'"

    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda: objects._ReferenceElement(), "_ReferenceElement.__init__() missing 2 required positional "
             "arguments: 'id_' and 'type_name'"),
            (lambda: objects._ReferenceElement(1), "_ReferenceElement.__init__() missing 1 required positional "
             "argument: 'type_name'"),
            (lambda: objects._ReferenceElement(1, 2, 3), "_ReferenceElement.__init__() takes 3 positional "
             "arguments but 4 were given"),
            (lambda: objects._ReferenceElement(1, "a", x=2), "_ReferenceElement.__init__() got an unexpected "
             "keyword argument 'x'"),
            (lambda: objects._ReferenceElement(1, id_=2), "_ReferenceElement.__init__() got multiple values "
             "for argument 'id_'"),
            (lambda: objects.ProjectData(1), "ProjectData.__init__() takes 1 positional argument but 2 were given"),
            (lambda: objects.CodeSettings(1, theta=2), "CodeSettings.__init__() takes 1 positional argument but "
             "2 positional arguments (and 1 keyword-only argument) were given"),
        ],
    )
    def test_argument_errors_use_the_interpreters_wording(self, call, message):
        assert python_error(call) == message

    def test_argument_errors_match_an_equivalent_python_function(self):
        def __init__(self, id_, type_name):  # noqa: N807 - mirrors the compiled constructor
            pass

        __init__.__qualname__ = "_ReferenceElement.__init__"
        for args in [(), (None,), (None, 1, 2, 3)]:
            assert python_error(objects._ReferenceElement.__init__, *args) == python_error(__init__, *args)

    def test_repeated_keyword_calls_bind_as_the_first(self):
        # One call site passes the same tuple of keyword names every time; the same names also come
        # with other positional counts, from other sites and from dicts built at run time.
        def build(id_, name):
            return objects.CheckMember1D(id_=id_, name=name)

        def by_position(id_, name):
            return objects.CheckMember1D(id_, name=name)

        def shuffled(id_, name):
            return objects.CheckMember1D(name=name, id_=id_)

        def same_names_two_counts(i):  # both calls pass the one tuple ('name',) of this code object
            made = objects.CheckMember1D(i, name="a")
            try:
                objects.CheckMember1D(name="b")
            except TypeError as e:
                return made._serialize(), str(e)

        for i in range(4):
            for maker in (build, by_position, shuffled):
                assert maker(i, f"M{i}")._serialize() == {"id": i, "name": f"M{i}"}
            literal = {"id_": i, "name": f"L{i}"}  # a new tuple of the same names on every call
            assert objects.CheckMember1D(**literal)._serialize() == {"id": i, "name": f"L{i}"}
            kwargs = {"na" + "me": f"N{i}", "id_": i}  # names equal to the parameters, not the same objects
            assert objects.CheckMember1D(**kwargs)._serialize() == {"id": i, "name": f"N{i}"}
            assert objects.CodeSettings(theta=10.0)._serialize()["theta"] == pytest.approx(math.radians(10.0))
            assert objects.CodeSettings(theta_min=1.0)._serialize() == objects.CodeSettings(theta_min=1.0)._serialize()
            assert same_names_two_counts(i) == ({"id": i, "name": "a"}, "CheckMember1D.__init__() missing 1 "
                                                 "required positional argument: 'id_'")
            assert python_error(lambda: objects.CheckMember1D(1, id_=2)) == (
                "CheckMember1D.__init__() got multiple values for argument 'id_'")
            assert python_error(lambda: objects.CheckMember1D(name="x")) == (
                "CheckMember1D.__init__() missing 1 required positional argument: 'id_'")

    def test_abstractmethod_marks_native_functions(self):
        assert objects._OpenObject.__init__.__isabstractmethod__ is True
        assert objects._OpenObject.__abstractmethods__ == frozenset({"__init__", "_serialize"})
        with pytest.raises(TypeError, match="Can't instantiate abstract class _OpenObject"):
            objects._OpenObject()

    @pytest.mark.parametrize("function", [
        objects._ReferenceElement.__init__, objects.CheckSection.create_extreme, spreadsheet.stringify_value,
        spreadsheet.NamedInputCell.serialize_for_fill_spreadsheet,
    ], ids=["init", "method", "module function", "other module"])
    def test_functions_pickle_and_copy_by_reference_as_python_functions_do(self, function):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function
        assert copy.copy(function) is function and copy.deepcopy(function) is function
        holder = {"callbacks": [function]}
        assert copy.deepcopy(holder)["callbacks"][0] is function

    def test_functions_and_bound_methods_take_weak_references(self):
        section = objects.StandardCheckSection(1, "S", None, None)
        method = weakref.WeakMethod(section.create_extreme)
        method()()
        assert len(section.extremes) == 1
        del section
        gc.collect()
        assert method() is None
        alive = weakref.ref(objects.CheckSection.create_extreme)
        assert alive() is objects.CheckSection.create_extreme

    def test_calls_and_failed_calls_do_not_leak(self):
        def loop():
            for _ in range(2000):
                objects._ReferenceElement(1, "x")._serialize()
                objects.ProjectData(name="n", date=datetime.date(2024, 3, 5))._serialize()
                for bad in (lambda: objects._ReferenceElement(1), lambda: objects._ReferenceElement(1, 2, x=3)):
                    try:
                        bad()
                    except TypeError:
                        pass

        loop()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            loop()
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        assert grown < 20_000

    def test_instances_are_released(self):
        element = objects._ReferenceElement(1, "x")
        element._serialize()
        ref = weakref.ref(element)
        del element
        assert ref() is None


class TestClasses:
    def test_classes_are_ordinary_python_classes(self):
        assert type(objects._OpenObject) is abc.ABCMeta
        assert objects._OpenObject.__bases__ == (abc.ABC,)
        assert objects._ReferenceElement.__bases__ == (object,)
        assert type(objects._ReferenceElement) is type
        for cls in (objects._OpenObject, objects._OpenElementId, objects.ProjectData):
            assert cls.__module__ == MODULE
            assert cls.__qualname__ == cls.__name__

    def test_python_subclasses_inherit_and_extend(self):
        class Named(objects._OpenElementId):
            def __init__(self, id_, name):
                super().__init__(id_)
                self.name = name

            def _serialize(self):
                return {**super()._serialize(), "name": self.name}

        assert Named(3, "n")._serialize() == {"id": 3, "name": "n"}
        assert isinstance(Named(3, "n"), objects._OpenElementId)

    def test_state_lives_in_the_instance_dict(self):
        element = objects._ReferenceElement(3, "MatConcrete")
        assert vars(element) == {"_id": 3, "_type_name": "MatConcrete"}
        element._id = 9
        assert element._serialize() == {"type_name": "MatConcrete", "id": 9}
        del element._type_name
        with pytest.raises(AttributeError):
            element._serialize()


class TestEnums:
    def test_enums_are_plain_enums_with_string_annotations(self):
        assert issubclass(objects.NationalAnnex, enum.Enum)
        assert not issubclass(objects.TypeSLSCalculation, int)
        assert objects.NationalAnnex.__annotations__ == {
            "NO_ANNEX": "'NationalAnnex'", "DUTCH": "'NationalAnnex'", "BELGIUM": "'NationalAnnex'",
        }
        assert objects.NationalAnnex.__module__ == MODULE
        assert objects.NationalAnnex.__qualname__ == "NationalAnnex"
