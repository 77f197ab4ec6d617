"""The attributes the cells and jobs store and read behave as the attributes of a Python class, whatever a
subclass or a caller does to the class or the object."""

import io

import pytest

import ondrel.external.spreadsheet as ss


def fill(cells):
    return ss._create_fill_spreadsheet_request_body(io.BytesIO(b"t"), cells)


class TestPlainInstances:
    @pytest.mark.parametrize("make, attributes", [
        (lambda: ss.NamedInputCell("n", 1.5), {"name": "n", "value": 1.5, "_stringified_value": "1.5"}),
        (lambda: ss.SpreadsheetCalculationInput("n", 2), {"name": "n", "value": 2, "_stringified_value": "2"}),
        (lambda: ss.NamedOutputCell("n"), {"name": "n", "_result_value": None}),
        (lambda: ss.DirectInputCell("S", "B", 3, True),
         {"sheet_name": "S", "column": "B", "row": 3, "value": True, "_stringified_value": "True"}),
        (lambda: ss.DirectOutputCell("S", "B", 3), {"sheet_name": "S", "column": "B", "row": 3, "_result_value": None}),
        (lambda: ss.InputCellRange("S", "B", 3, [[1]]),
         {"_sheet_name": "S", "_left_column": "B", "_top_row": 3, "_data": [[1]]}),
        (lambda: ss.SpreadsheetResult(values={"a": 1}), {"_values": {"a": 1}, "_file": None}),
        (lambda: ss.SpreadsheetTemplate(io.BytesIO(b"t"), []), None),
    ])
    def test_attributes_land_in_the_instance_dict_in_store_order(self, make, attributes):
        for _ in range(3):  # the first instance teaches the class its keys; later ones take the short way
            cell = make()
            if attributes is None:
                assert list(vars(cell)) == ["_file", "_input_cells", "_result"]
            else:
                assert vars(cell) == attributes and list(vars(cell)) == list(attributes)

    def test_changes_through_setattr_and_dict_are_seen(self, host):
        cell = ss.DirectInputCell("S", "B", 3, 1)
        cell.row = 4
        assert cell.serialize() == {"sheet_name": "S", "row": 4, "column": "B", "value": 1}
        vars(cell)["value"] = 2  # the instance now has a real __dict__
        assert cell.serialize(True) == {"sheet_name": "S", "row": 4, "column": "B", "value": "2"}
        assert cell.serialize() == {"sheet_name": "S", "row": 4, "column": "B", "value": 2}
        cell.__init__("T", "C", 5, 6)  # stores once the __dict__ exists
        assert vars(cell)["value"] == 6
        assert fill([cell])["direct_cells"] == [{"sheet_name": "T", "row": 5, "column": "C", "value": 6}]
        named = ss.NamedInputCell("n", 1)
        named.extra = 1
        del named.value
        with pytest.raises(AttributeError, match="value"):
            named.serialize()
        with pytest.raises(AttributeError, match="value"):
            fill([named])


class TestSubclasses:
    def test_setattr_and_getattribute_overrides_see_every_access(self, host):
        seen = []

        class Recording(ss.DirectInputCell):
            def __setattr__(self, name, value):
                seen.append(("set", name))
                super().__setattr__(name, value)

            def __getattribute__(self, name):
                value = super().__getattribute__(name)
                seen.append(("get", name))
                return value * 2 if name == "row" else value

        cell = Recording("S", "B", 3, 1.5)
        assert seen == [("set", "sheet_name"), ("set", "column"), ("set", "row"), ("set", "value"),
                        ("set", "_stringified_value")]
        seen.clear()
        assert fill([cell])["direct_cells"] == [{"sheet_name": "S", "row": 6, "column": "B", "value": 1.5}]
        # isinstance reads __class__; then the address, the method and what the method reads.
        assert seen == [("get", "__class__"), ("get", "sheet_name"), ("get", "row"), ("get", "column"), ("get", "serialize"),
                        ("get", "sheet_name"), ("get", "row"), ("get", "column"), ("get", "value")]

    def test_properties_and_class_attributes_of_the_same_names(self, host):
        reads = []

        class Computed(ss.SpreadsheetCalculationInput):
            @property
            def name(self):
                reads.append("name")
                return "computed"

            @name.setter
            def name(self, value):
                reads.append(("stored", value))

        cell = Computed("given", 4)
        assert reads == [("stored", "given")] and "name" not in vars(cell)
        assert cell.serialize() == {"name": "computed", "value": 4}
        calculation = ss.SpreadsheetCalculation(io.BytesIO(b"w"), [cell])
        assert calculation._create_request_body([cell], False)["input"] == {"computed": 4}
        reads.clear()
        assert fill([cell])["named_cells"] == {"computed": {"value": 4}}
        assert reads == ["name", "name"]  # once by the method, once for the duplicate check

        class Unhashable(ss.NamedInputCell):
            @property
            def name(self):
                reads.append("unhashable")
                return ["n"]

            @name.setter
            def name(self, value):
                pass

        reads.clear()
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            fill([Unhashable("n", 1)])
        assert reads == ["unhashable"]  # the method's own dictionary fails before the second read

        class WithDefault(ss.NamedOutputCell):
            _result_value = 5

        output = WithDefault("n")
        del output._result_value
        assert output.result == 5

    def test_methods_replaced_on_the_class_or_the_instance_are_called(self, host):
        class Flat(ss.NamedInputCell):
            def serialize_for_fill_spreadsheet(self):
                return {self.name: "flat"}

        shadowed = ss.NamedInputCell("b", 2)
        shadowed.serialize_for_fill_spreadsheet = lambda: {"b": "from the instance"}
        direct = ss.DirectInputCell("S", "A", 1, 1)
        direct.serialize = lambda: {"direct": "from the instance"}
        body = fill([Flat("a", 1), shadowed, ss.NamedInputCell("c", 3), direct])
        assert body["named_cells"] == {"a": "flat", "b": "from the instance", "c": {"value": 3}}
        assert body["direct_cells"] == [{"direct": "from the instance"}]

    def test_duplicate_names_are_found_before_the_value_is_read(self, host):
        class Failing(ss.SpreadsheetCalculationInput):
            @property
            def value(self):
                raise LookupError("value read")

            @value.setter
            def value(self, value):
                pass

        compared = []

        class Key(str):  # a name whose comparisons are Python code, colliding with every "z"
            def __eq__(self, other):
                compared.append(other)
                return str.__eq__(self, other)

            def __hash__(self):
                return hash("z")

        missing = ss.SpreadsheetCalculationInput("x", 2)
        del missing.value
        body = ss.SpreadsheetCalculation(io.BytesIO(b"w"), [])._create_request_body
        for second in (Failing("x", 2), missing):
            with pytest.raises(ss.SpreadsheetError, match="two equal named cell input names for name: x"):
                body([ss.SpreadsheetCalculationInput("x", 1), second], False)
            with pytest.raises((LookupError, AttributeError), match="value"):
                body([ss.SpreadsheetCalculationInput("y", 1), second], False)
        inputs = [ss.SpreadsheetCalculationInput(Key("k"), 1), ss.SpreadsheetCalculationInput("z", 3)]
        assert "z" not in {Key("k"): 1}
        one_lookup = list(compared)  # the comparisons of one lookup (the probes may meet the key again)
        assert one_lookup and set(one_lookup) == {"z"}
        compared.clear()
        values = body(inputs, False)["input"]
        assert compared == one_lookup * 2  # by the check, then by the insertion, as in Python
        assert list(map(str, values)) == ["k", "z"] and list(values.values()) == [1, 3]
        compared.clear()
        fill([ss.NamedInputCell(Key("k"), 1), ss.NamedInputCell("z", 2)])
        assert compared == one_lookup * 2
        with pytest.raises(ss.SpreadsheetError, match="name: z"):
            body(inputs + [ss.SpreadsheetCalculationInput(Key("z"), 4)], False)
        with pytest.raises(ss.SpreadsheetError, match="two equal named cells for name: z"):
            fill([ss.NamedInputCell("z", 1), ss.NamedInputCell(Key("z"), 2)])


def own_direct(cell):
    return {"sheet_name": cell.sheet_name, "row": cell.row, "column": cell.column, "value": cell.value}


class TestMethodsFoundAgain:
    """The fill body remembers where it found a class's serialize (serialize_for_fill_spreadsheet); a
    change made between two cells of one class, to the class or to one instance, shows at the next cell."""

    class Changer(ss.DirectInputCell):
        """A cell whose serialize makes a change, then returns its row."""

        def __init__(self, row, change):
            super().__init__("changes", "A", row, 0)
            self.change = change

        def serialize(self, convert_value_to_str=False):
            self.change()
            return {"changer": self.row}

    def test_direct_cells(self, host):
        class Plain(ss.DirectInputCell):
            pass

        class Fresh(ss.DirectInputCell):  # no instance has ever held a serialize
            pass

        unset = Plain("S", "A", 2, 2)
        unset.serialize = lambda: {"unset": 2}
        del unset.serialize  # the name stays in the class's key table, without a value for this instance
        shadowed = Plain("S", "A", 3, 3)
        shadowed.serialize = lambda: {"shadowed": 3}
        later = Plain("S", "A", 5, 5)
        fresh = [Fresh("F", "A", row, row) for row in range(3)]
        materialised = Plain("S", "A", 10, 10)
        vars(materialised)  # an instance dict over the same values
        diverged = Plain("S", "A", 11, 11)
        vars(diverged)[0] = "a key of another kind"  # the instance dict now holds the values on its own
        vars(diverged)["serialize"] = lambda: {"diverged": 11}
        fresh_diverged = Fresh("F", "A", 11, 11)
        vars(fresh_diverged)[0] = "a key of another kind"
        vars(fresh_diverged)["serialize"] = lambda: {"fresh_diverged": 11}
        base = ss.DirectInputCell("S", "A", 12, 12)
        cells = [Plain("S", "A", 1, 1), unset, shadowed,
                 self.Changer(4, lambda: setattr(later, "serialize", lambda: {"later": 5})), later,
                 fresh[0], self.Changer(6, lambda: setattr(fresh[1], "serialize", lambda: {"fresh": 1})), fresh[1],
                 fresh[2], self.Changer(7, lambda: setattr(Plain, "serialize", lambda self: {"class": self.row})),
                 Plain("S", "A", 8, 8), self.Changer(9, lambda: delattr(Plain, "serialize")), Plain("S", "A", 9, 9),
                 materialised, diverged, Fresh("F", "A", 20, 20), fresh_diverged, base]
        assert fill(cells)["direct_cells"] == [
            own_direct(cells[0]), own_direct(unset), {"shadowed": 3}, {"changer": 4}, {"later": 5},
            own_direct(fresh[0]), {"changer": 6}, {"fresh": 1}, own_direct(fresh[2]), {"changer": 7}, {"class": 8},
            {"changer": 9}, own_direct(cells[12]), own_direct(materialised), {"diverged": 11},
            own_direct(cells[15]), {"fresh_diverged": 11}, own_direct(base)]

    def test_more_classes_than_are_remembered(self, host):
        def make(name, overrides):
            namespace = {"serialize": lambda self, convert_value_to_str=False: {name: self.row}} if overrides else {}
            return type(name, (ss.DirectInputCell,), namespace)

        classes = [make(f"C{i}", i % 2 == 1) for i in range(7)]
        cells = [classes[(row * 3) % 7]("S", "A", row, row) for row in range(50)]
        expected = [{type(c).__name__: c.row} if "serialize" in vars(type(c)) else own_direct(c) for c in cells]
        assert fill(cells)["direct_cells"] == expected

    def test_named_cells(self, host):
        class Plain(ss.NamedInputCell):
            pass

        later = Plain("later", 2)
        unset = Plain("unset", 3)
        unset.serialize_for_fill_spreadsheet = lambda: {"unset": "instance"}
        del unset.serialize_for_fill_spreadsheet
        cells = [Plain("first", 1),
                 self.Changer(1, lambda: setattr(later, "serialize_for_fill_spreadsheet", lambda: {"later": "own"})),
                 later, unset,
                 self.Changer(2, lambda: setattr(Plain, "serialize_for_fill_spreadsheet", lambda self: {self.name: 0})),
                 Plain("after", 4), ss.NamedInputCell("base", 5)]
        assert fill(cells)["named_cells"] == {"first": {"value": 1}, "later": "own", "unset": {"value": 3},
                                              "after": 0, "base": {"value": 5}}

    def test_a_method_found_through_a_property_runs_after_the_address_is_read(self, host):
        class Moving(ss.DirectInputCell):
            @property
            def serialize(self):
                self.row = 99  # the address was read before, the dict is made after
                return super().serialize

        moving = Moving("S", "A", 3, 1.5)
        body = fill([moving, ss.DirectInputCell("S", "A", 99, 2)])
        assert body["direct_cells"][0] == {"sheet_name": "S", "row": 99, "column": "A", "value": 1.5}
        with pytest.raises(ss.SpreadsheetError, match=r"address: \('S', 3, 'A'\)$"):
            fill([Moving("S", "A", 3, 1.5), ss.DirectInputCell("S", "A", 3, 2)])
