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
