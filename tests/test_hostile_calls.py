"""Every public class, method and function of the compiled modules called with odd arguments, on objects changed
behind their back and with module names replaced: errors of any ordinary kind are fine, a crash, a sanitizer report
or a SystemError (the runtime misused) is not. A bounded run with fixed seeds; the suite runs it under the sanitizers
too."""

import datetime
import enum
import gc
import inspect
import io
import logging
import random
import sys
import threading
import time

import pytest

import ondrel.external.girdex as girdex
import ondrel.external.idea_rcs.objects as objects
import ondrel.external.spreadsheet as spreadsheet

MODULES = (objects, spreadsheet, girdex)


class HostUnavailable(Exception):
    """What the stand-ins for the host's platform raise: no job leaves the process."""


def unavailable(*args, **kwargs):
    raise HostUnavailable


def open_no_descriptor(file, *args, **kwargs):
    """open() for SpreadsheetTemplate.from_path, which would close a descriptor it is given, stdout among them."""
    if isinstance(file, int):
        raise HostUnavailable
    return open(file, *args, **kwargs)


class NotAnException:
    """A stand-in for a class of the host that makes something of another kind."""

    def __init__(self, *args, **kwargs):
        self.args = args


class Fuzzer:
    def __init__(self, seed):
        self.random = random.Random(seed)
        self.instances = []
        self.target = None  # what the hostile values change while they are read
        self.errors = []
        r = self.random

        class Text(str):
            def __eq__(self, other):
                return r.random() < 0.5

            def __hash__(self):
                return r.randrange(3)

            def __str__(self):
                return Text("x" * r.randrange(3))

        class Whole(int):
            def __index__(self):
                return r.choice([0, -1, 2, 10**20])

            def __eq__(self, other):
                return r.random() < 0.5

            __hash__ = int.__hash__

            def __lt__(self, other):
                return r.random() < 0.5

            def __sub__(self, other):
                return r.choice([0, 1, Whole(3), 1.5])

        class Real(float):
            def __bool__(self):
                raise ValueError("no truth")

            def __truediv__(self, other):
                return Real(2)

        class Mapping(dict):
            def __getitem__(self, key):
                if r.random() < 0.3:
                    raise KeyError(key)
                return r.choice(self.fuzzer.simple)

            def keys(self):
                return iter(["x"])

        class Rows(list):
            def __len__(self):
                return r.randrange(-1, 4)

            def __iter__(self):
                return iter([[1]] * r.randrange(3))

        fuzzer = self
        Mapping.fuzzer = self

        class Meddler:
            """Its truth, text, comparison and end change the object being read, and collect garbage."""

            def meddle(self):
                target = fuzzer.target
                for name in list(getattr(target, "__dict__", {})):
                    try:
                        if r.random() < 0.2:
                            delattr(target, name)
                        elif r.random() < 0.2:
                            setattr(target, name, r.choice(fuzzer.simple))
                    except Exception:
                        pass
                if r.random() < 0.1:
                    gc.collect()

            def __bool__(self):
                self.meddle()
                return r.random() < 0.5

            def __len__(self):
                self.meddle()
                return 1

            def __str__(self):
                self.meddle()
                return "m"

            __repr__ = __str__

            def __eq__(self, other):
                return bool(self)

            __hash__ = object.__hash__

            def __del__(self):
                self.meddle()

        class Reentrant:
            """Its text serialises the object being read, a few levels deep."""
            depth = 0

            def __str__(self):
                if Reentrant.depth < 3:
                    Reentrant.depth += 1
                    try:
                        for name in ("serialize", "_serialize", "__repr__"):
                            method = getattr(fuzzer.target, name, None)
                            if method is not None:
                                fuzzer.call(method)
                    finally:
                        Reentrant.depth -= 1
                return "r"

            __repr__ = __str__

            def __bool__(self):
                str(self)
                return True

        self.simple = [None, 0, 1, -1, 2, 3, 10**40, -10**40, 2**63, 0.0, -0.0, 1.5, float("nan"), float("inf"),
                       True, False, "", "S", "A", "\ud800", "x" * 1000, b"b", [], [1], [[1, 2], [3, 4]], [[]], (),
                       (0.0, 0.0), ((0, 0), (1, 1)), {}, {"name": "n"}, {"sheet_name": "S", "row": 1, "column": "A"},
                       object(), datetime.date(2020, 1, 2), 1j, io.BytesIO(b"book")]
        self.make_hostile = [lambda: Text("S"), lambda: Whole(3), lambda: Real(2.5), lambda: Mapping(),
                             lambda: Rows([[1]]), Meddler, Reentrant]
        self.members = [objects.ThermalStateType.NONE, objects.ReinforcementMaterial]
        self.classes, self.functions = [], []
        for module in MODULES:
            for name, value in vars(module).items():
                if getattr(value, "__module__", None) != module.__name__:
                    continue
                if isinstance(value, type):
                    if not issubclass(value, enum.Enum):
                        self.classes.append(value)
                elif callable(value):
                    self.functions.append(value)

    def value(self):
        r = self.random.random()
        if r < 0.6:
            return self.random.choice(self.simple)
        if r < 0.85:
            return self.random.choice(self.make_hostile)()
        if self.instances and r < 0.95:
            return self.random.choice(self.instances)
        return self.random.choice(self.classes + self.members)

    def instance_or_value(self):
        """Anything but a class of the modules: a method given one as self would store attributes on it for good."""
        value = self.value()
        return None if isinstance(value, type) else value

    def arguments(self, function, bound):
        """Arguments for the function's parameters, with a few too many, too few or given twice."""
        try:
            parameters = list(inspect.signature(function).parameters.values())
        except (TypeError, ValueError):
            parameters = []
        if bound and parameters:
            parameters = parameters[1:]
        args, kwargs = [], {}
        for p in parameters:
            if p.kind == p.VAR_KEYWORD:
                for _ in range(self.random.randrange(3)):
                    kwargs[self.random.choice(["b", "h", "d", "name"])] = self.value()
            elif p.default is not p.empty and self.random.random() < 0.5:
                continue
            elif p.kind == p.KEYWORD_ONLY or self.random.random() < 0.3:
                kwargs[p.name] = self.value()
            else:
                args.append(self.value())
        odd = self.random.random()
        if odd < 0.05:
            args.append(self.value())
        elif odd < 0.1 and args:
            args.pop()
        elif odd < 0.15 and parameters:
            kwargs[parameters[0].name] = None
        return args, kwargs

    def call(self, function, *args, **kwargs):
        try:
            return function(*args, **kwargs)
        except SystemError as error:  # the runtime misused: what these calls must never cause
            self.errors.append(repr(error))
        except RecursionError:
            pass
        except Exception:
            pass
        return None

    def construct(self):
        cls = self.random.choice(self.classes)
        if cls is girdex.GirdexAnalysis:
            return
        if self.random.random() < 0.3:
            overrides = self.random.choice([
                {}, {"_serialize": lambda self: {"k": 1}}, {"serialize": lambda self, *args: {}},
                {"__eq__": lambda self, other: True, "__hash__": None}, {"__getattr__": lambda self, name: 7},
                {"__setattr__": lambda self, name, value: object.__setattr__(self, name, value)},
            ])
            cls = type("Sub", (cls,), overrides)
        args, kwargs = self.arguments(cls.__init__, bound=True)
        made = self.call(cls, *args, **kwargs)
        if made is not None:
            self.instances.append(made)
            if len(self.instances) > 40:
                self.instances.pop(self.random.randrange(40))

    def step(self):
        r = self.random.random()
        if r < 0.3 or not self.instances:
            self.construct()
            return
        obj = self.target = self.random.choice(self.instances)
        if r < 0.4:
            name = self.random.choice(list(getattr(obj, "__dict__", {})) or ["x"])
            if self.random.random() < 0.5:
                self.call(delattr, obj, name)
            else:
                self.call(setattr, obj, name, self.value())
        elif r < 0.45:
            self.call(setattr, obj, "__class__", self.random.choice(self.classes))
        elif r < 0.5:
            function = self.random.choice(self.functions)
            args, kwargs = self.arguments(function, bound=False)
            self.call(function, *args, **kwargs)
        elif r < 0.55:  # a method of some class on an object of any kind
            cls = self.random.choice(self.classes)
            for function in list(vars(cls).values()):
                if inspect.isroutine(function) and self.random.random() < 0.3:
                    args, kwargs = self.arguments(function, bound=True)
                    self.call(function, self.instance_or_value(), *args, **kwargs)
        elif r < 0.6:  # a name of the object's module, which it reads at call time, replaced for a while
            module = sys.modules.get(type(obj).__module__)
            module = module if module in MODULES else self.random.choice(MODULES)
            names = [n for n, v in vars(module).items() if callable(v) and not n.startswith("__")]
            name = self.random.choice(names)
            saved = getattr(module, name)
            stand_ins = [self.value(), NotAnException, lambda *args, **kwargs: self.value()]
            setattr(module, name, self.random.choice(stand_ins))
            try:
                self.use(obj)
            finally:
                setattr(module, name, saved)
        else:
            self.use(obj)

    def use(self, obj):
        for name in dir(type(obj)):
            if name.startswith("__") and name != "__repr__" or self.random.random() >= 0.3:
                continue
            attribute = self.call(getattr, obj, name)
            if callable(attribute) and not isinstance(attribute, type):
                args, kwargs = self.arguments(attribute, bound=False)
                self.call(attribute, *args, **kwargs)
        self.call(repr, obj)


@pytest.mark.parametrize("seed", range(4))
def test_odd_calls_never_misuse_the_runtime(monkeypatch, seed):
    for name in ("API", "File", "_post_on_addon_endpoint", "render_spreadsheet", "_call_fill_spreadsheet_addon"):
        monkeypatch.setattr(spreadsheet, name, unavailable)
    monkeypatch.setattr(girdex.GirdexAnalysis, "execute", unavailable)
    monkeypatch.setattr(spreadsheet, "open", open_no_descriptor, raising=False)
    classes = {cls: dict(vars(cls)) for module in MODULES for cls in vars(module).values() if isinstance(cls, type)}
    logging.getLogger(spreadsheet.__name__).disabled = True
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(400)
    fuzzer = Fuzzer(seed)
    try:
        for _ in range(2000):
            fuzzer.step()
    finally:
        sys.setrecursionlimit(limit)
        logging.getLogger(spreadsheet.__name__).disabled = False
        fuzzer.instances.clear()
        fuzzer.target = None
        for cls, attributes in classes.items():  # whatever a call stored on a class is undone
            for name in set(vars(cls)) - set(attributes):
                delattr(cls, name)
        gc.collect()
    assert fuzzer.errors == []


def test_threads_sharing_the_caches_get_their_own_results():
    """Threads switch wherever Python code runs inside a compiled call (here: a truth test and a text that sleep),
    while other threads make and serialise objects of other classes and class versions through the same caches."""

    class Yielding:
        def __bool__(self):
            time.sleep(0)
            return True

        def __str__(self):
            time.sleep(0)
            return "yielded"

    def work(k, failures):
        sections = [type(f"Section{k}_{j}", (objects.ReinforcedCrossSection,), {}) for j in range(5)]
        for i in range(400):
            value = Yielding() if i % 2 else i
            cell = spreadsheet.DirectInputCell("S", "A", i, value)
            expected_text = "yielded" if i % 2 else str(i)
            if cell.serialize(True) != {"sheet_name": "S", "row": i, "column": "A", "value": expected_text}:
                failures.append(("cell", k, i))
            section_class = sections[i % 5]
            if i % 50 == 0:
                section_class.version = i  # a new class version: what was planned for it no longer holds
            bars = [Yielding()] if i % 3 else None
            section = section_class(i, "name", None, bars, None)
            serialised = section._serialize()
            if serialised["id"] != i or ("bars" in serialised) != bool(bars):
                failures.append(("section", k, i))
            check = objects.StandardCheckSection(i, Yielding(), None, None)
            check.create_extreme(fundamental=value)
            if check._serialize()["extremes"][0][1]._serialize()["fundamental"] is not value:
                failures.append(("extreme", k, i))

    failures = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(k, failures)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
