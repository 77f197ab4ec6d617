"""Writes the ``.pyi`` stub of a compiled module from what the module declares at run time.

Editors and type checkers read signatures from stubs, not from compiled modules. The build runs this
on every compiled module it has just linked, so a stub holds exactly what ``inspect`` sees:

    python -m ondrel._stubgen ondrel.external.girdex --extension build/girdex.so -o girdex.pyi

``--extension`` loads the module from a file that is not yet installed in its package; without it the
module is imported by name. Anything that cannot be written faithfully (an annotation that does not
resolve in the module, a name whose origin cannot be found) stops the run with an error rather than
writing a stub that says less than the module.

What is written, in the module's own order: the module docstring; ``__all__``; every class defined by
the module with its bases, docstring, methods, properties, class methods and enumeration members;
the public instance attributes its constructor sets; the module's functions; its other variables,
typed from their values; and the imports that the annotations need. The declared annotations are kept
as written, except that a parameter or attribute whose default is ``None`` admits ``None``
(``name: str = None`` becomes ``name: str | None = None``), as type checkers require; and a parameter
that the function only reads through (listed in ``READ_ONLY_SEQUENCES``) is a ``Sequence[...]`` where the
module declares ``List[...]``, since a list is invariant and a caller's ``list[NamedInputCell]`` is not
a ``List[Union[...]]``.
"""

from __future__ import annotations

import argparse
import ast
import builtins
import enum
import importlib
import importlib.machinery
import importlib.util
import inspect
import io
import logging
import math
import os
import sys
import types
import typing
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

__all__ = ["StubError", "generate", "load_extension", "main"]

INDENT = "    "
LINE_LENGTH = 110
# Attributes every class has; they say nothing about the class's interface.
_CLASS_NOISE = frozenset({
    "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__abstractmethods__", "_abc_impl",
    "__annotations__", "__annotate__", "__firstlineno__", "__static_attributes__", "__orig_bases__",
    "__parameters__", "__slotnames__",
})
_NO_VALUE = object()
# Parameters declared as List[...] whose lists are only iterated, never changed or handed out again:
# (module, function's qualified name) -> parameter names.
READ_ONLY_SEQUENCES: dict[tuple[str, str], frozenset[str]] = {
    ("ondrel.external.spreadsheet", "SpreadsheetCalculation.__init__"): frozenset({"inputs"}),
    ("ondrel.external.spreadsheet", "SpreadsheetCalculation.from_path"): frozenset({"inputs"}),
    ("ondrel.external.spreadsheet", "SpreadsheetCalculation._create_request_body"): frozenset({"inputs"}),
    ("ondrel.external.spreadsheet", "render_spreadsheet"): frozenset({"cells"}),
    ("ondrel.external.spreadsheet", "_create_fill_spreadsheet_request_body"): frozenset({"cells"}),
    ("ondrel.external.spreadsheet", "SpreadsheetTemplate.__init__"): frozenset({"input_cells"}),
    ("ondrel.external.spreadsheet", "SpreadsheetTemplate.from_path"): frozenset({"input_cells"}),
}


class StubError(Exception):
    """The module declares something that a stub cannot state faithfully."""


def load_extension(name: str, path: str | os.PathLike[str]) -> types.ModuleType:
    """Imports the extension module in the file ``path`` under the full dotted ``name``.

    Its parent packages are imported by name first (from ``sys.path``), so a module built outside its
    package folder runs exactly as when it is installed.
    """
    parent, _, _ = name.rpartition(".")
    if parent:
        importlib.import_module(parent)
    loader = importlib.machinery.ExtensionFileLoader(name, os.fspath(path))
    spec = importlib.util.spec_from_file_location(name, os.fspath(path), loader=loader)
    if spec is None:
        raise StubError(f"cannot load {name} from {path}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    if parent:
        setattr(sys.modules[parent], name.rpartition(".")[2], module)
    return module


class _Imports:
    """The imports a stub needs, found from the objects that the module's names are bound to."""

    def __init__(self, module: types.ModuleType) -> None:
        self.module = module
        self.namespace = vars(module)
        self.lines: dict[str, None] = {}

    def name(self, name: str) -> None:
        """Makes ``name``, as the module's annotations use it, available in the stub."""
        if name not in self.namespace:
            if getattr(builtins, name, _NO_VALUE) is not _NO_VALUE:
                return
            raise StubError(f"{self.module.__name__}: the name {name!r} of an annotation is not bound in the module")
        obj = self.namespace[name]
        if self.defined_here(obj) and getattr(obj, "__name__", name) == name:
            return
        if getattr(builtins, name, _NO_VALUE) is obj:
            return
        self.lines[self.import_line(name, obj)] = None

    def object(self, obj: Any) -> str:
        """The text that names a class or other object in the stub, importing it when needed."""
        if obj is type(None):
            return "None"
        if self.defined_here(obj):
            return str(obj.__qualname__)
        for name, value in self.namespace.items():
            if value is obj and not name.startswith("__"):
                self.name(name)
                return name
        found = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
        if not isinstance(found, str):
            raise StubError(f"{self.module.__name__}: cannot name {obj!r} in a stub")
        name = found
        if getattr(builtins, name, _NO_VALUE) is obj:
            return name
        home = self.home(obj, name)
        self.lines[f"import {home}"] = None
        return f"{home}.{name}"

    def defined_here(self, obj: Any) -> bool:
        return isinstance(obj, type) and obj.__module__ == self.module.__name__

    def import_line(self, name: str, obj: Any) -> str:
        if isinstance(obj, types.ModuleType):
            return f"import {obj.__name__}" if obj.__name__ == name else f"import {obj.__name__} as {name}"
        real = getattr(obj, "__name__", None) or getattr(obj, "_name", None) or name
        home = self.home(obj, real)
        return f"from {home} import {real}" if real == name else f"from {home} import {real} as {name}"

    def home(self, obj: Any, name: str) -> str:
        declared = getattr(obj, "__module__", None)
        candidates = []
        if isinstance(declared, str):
            # C implementations live in private modules (_io); the public module re-exports them.
            if declared.startswith("_"):
                candidates.append(declared.lstrip("_"))
            candidates.append(declared)
        candidates += ["typing", "collections.abc", "abc", "enum"]
        for candidate in candidates:
            try:
                home = importlib.import_module(candidate)
            except ImportError:
                continue
            if getattr(home, name, _NO_VALUE) is obj:
                return candidate
        raise StubError(f"{self.module.__name__}: cannot find the module that defines {name!r} ({obj!r})")

    def render(self) -> list[str]:
        plain = sorted(line for line in self.lines if line.startswith("import "))
        froms = sorted(line for line in self.lines if line.startswith("from "))
        return plain + froms


class _Writer:
    def __init__(self, module: types.ModuleType) -> None:
        self.module = module
        self.imports = _Imports(module)
        self.namespace = vars(module)

    # Annotations -----------------------------------------------------------------------------------

    def annotation(self, text: Any, *, default: Any = _NO_VALUE, where: str) -> str:
        """The stub text of a declared annotation, with the imports it needs."""
        if text is inspect.Parameter.empty or text is inspect.Signature.empty:
            raise StubError(f"{where}: not annotated")
        if not isinstance(text, str):
            # An annotation given as an object (a class) rather than as text.
            text = self.imports.object(text) if isinstance(text, type) else repr(text)
            return self.with_none(text, default, where)
        try:
            tree = ast.parse(text, mode="eval")
        except SyntaxError as error:
            raise StubError(f"{where}: annotation {text!r} is not an expression") from error
        for node in ast.walk(tree):
            if isinstance(node, ast.Name):
                self.imports.name(node.id)
            elif isinstance(node, ast.Constant) and isinstance(node.value, str) and node is tree.body:
                raise StubError(f"{where}: annotation {text!r} is a quoted text inside a text")
        return self.with_none(ast.unparse(tree), default, where)

    def with_none(self, text: str, default: Any, where: str) -> str:
        if default is not None or self.admits_none(text, where):
            return text
        return f"{text} | None"

    def read_only_sequence(self, text: str, where: str) -> str:
        """``List[X]`` (or ``List[X] | None``) as ``Sequence[X]``, importing ``Sequence``."""
        tree = ast.parse(text, mode="eval")
        lists = [node for node in ast.walk(tree)
                 if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name) and node.value.id == "List"]
        top = [tree.body] if not isinstance(tree.body, ast.BinOp) else [tree.body.left, tree.body.right]
        if len(lists) == 0 or lists[0] not in top:
            raise StubError(f"{where}: listed as a read-only sequence but annotated {text!r}")
        lists[0].value = ast.Name("Sequence")
        self.imports.lines["from collections.abc import Sequence"] = None
        return ast.unparse(tree)

    def admits_none(self, text: str, where: str) -> bool:
        try:
            value = eval(text, dict(self.namespace))  # noqa: S307 - the module's own declared annotation
        except Exception as error:
            raise StubError(f"{where}: annotation {text!r} does not resolve in the module: {error}") from error
        if value is None or value is type(None) or value is Any or value is object:
            return True
        if typing.get_origin(value) in (typing.Union, types.UnionType):
            return type(None) in typing.get_args(value)
        return False

    def default(self, value: Any) -> str:
        if value is None or isinstance(value, bool):
            return repr(value)
        if isinstance(value, enum.Enum):
            return f"{self.imports.object(type(value))}.{value.name}"
        if isinstance(value, int) or isinstance(value, float) and math.isfinite(value):
            return repr(value)
        if isinstance(value, (str, bytes)) and len(value) <= 60:
            return repr(value)
        return "..."

    def value_type(self, value: Any) -> str:
        """A type for a module or class variable, read from its value."""
        if value is None:
            return "None"
        if isinstance(value, enum.Enum):
            return self.imports.object(type(value))
        if isinstance(value, (bool, int, float, complex, str, bytes)):
            return type(value).__name__
        if isinstance(value, (list, set, frozenset)):
            kind = type(value).__name__
            return f"{kind}[{self.join(self.value_type(v) for v in value)}]"
        if isinstance(value, dict):
            keys = self.join(self.value_type(k) for k in value)
            values = self.join(self.value_type(v) for v in value.values())
            return f"dict[{keys}, {values}]"
        if isinstance(value, tuple):
            if not value:
                return "tuple[()]"
            return f"tuple[{', '.join(self.value_type(v) for v in value)}]"
        if isinstance(value, type):
            return f"type[{self.imports.object(value)}]"
        return self.imports.object(type(value))

    @staticmethod
    def join(types_: Iterable[str]) -> str:
        found = list(dict.fromkeys(types_))
        if not found:
            return "Any"
        # int is accepted where float is expected, so a mix of the two is float.
        if "float" in found and "int" in found:
            found.remove("int")
        return " | ".join(found)

    # Functions -------------------------------------------------------------------------------------

    def function(self, func: Any, *, name: str, where: str, decorators: list[str], indent: str,
                 is_init: bool = False) -> list[str]:
        try:
            signature = inspect.signature(func)
        except (TypeError, ValueError) as error:
            raise StubError(f"{where}: no signature: {error}") from error
        read_only = READ_ONLY_SEQUENCES.get((self.module.__name__, getattr(func, "__qualname__", name)), frozenset())
        params = []
        positional_only_done = False
        star_done = False
        parameters = list(signature.parameters.values())
        for index, param in enumerate(parameters):
            if param.kind is param.KEYWORD_ONLY and not star_done:
                params.append("*")
                star_done = True
            if param.kind is param.VAR_POSITIONAL:
                star_done = True
            text = param.name
            if param.kind is param.VAR_POSITIONAL:
                text = "*" + text
            elif param.kind is param.VAR_KEYWORD:
                text = "**" + text
            if param.annotation is not param.empty:
                default = param.default if param.default is not param.empty else _NO_VALUE
                annotation = self.annotation(param.annotation, default=default, where=f"{where}({param.name})")
                if param.name in read_only:
                    annotation = self.read_only_sequence(annotation, where=f"{where}({param.name})")
                text += ": " + annotation
            if param.default is not param.empty:
                text += (" = " if param.annotation is not param.empty else "=") + self.default(param.default)
            params.append(text)
            if param.kind is param.POSITIONAL_ONLY and not positional_only_done:
                following = parameters[index + 1] if index + 1 < len(parameters) else None
                if following is None or following.kind is not param.POSITIONAL_ONLY:
                    params.append("/")
                    positional_only_done = True
        if signature.return_annotation is not signature.empty:
            returns = " -> " + self.annotation(signature.return_annotation, where=f"{where} return")
        elif is_init:
            returns = " -> None"
        else:
            returns = ""
        if getattr(func, "__isabstractmethod__", False):
            self.imports.lines["from abc import abstractmethod"] = None
            decorators = [*decorators, "abstractmethod"]
        lines = [f"{indent}@{d}" for d in decorators]
        head = f"{indent}def {name}({', '.join(params)}){returns}:"
        if len(head) > LINE_LENGTH:
            # One parameter a line, as a formatter would write it.
            inner = indent + INDENT
            head = "\n".join([f"{indent}def {name}(", *(f"{inner}{p}," for p in params), f"{indent}){returns}:"])
        return lines + self.body(head, getattr(func, "__doc__", None), indent)

    def body(self, head: str, doc: str | None, indent: str) -> list[str]:
        if not doc or not doc.strip():
            return [head + " ..."]
        return [head, *self.docstring(doc, indent + INDENT)]

    @staticmethod
    def docstring(doc: str, indent: str) -> list[str]:
        text = inspect.cleandoc(doc)
        if '"""' in text or "\\" in text or text.endswith('"'):
            return [indent + repr(text)]
        lines = text.splitlines()
        if len(lines) == 1:
            return [f'{indent}"""{text}"""']
        out = [f'{indent}"""{lines[0]}']
        out += [(indent + line) if line.strip() else "" for line in lines[1:]]
        out.append(f'{indent}"""')
        return out

    # Classes ---------------------------------------------------------------------------------------

    def classes_and_attributes(self) -> dict[type, dict[str, str]]:
        """The public instance attributes each class's constructor sets, found by building one."""
        found: dict[type, list[str]] = {}
        own_init: dict[type, Any] = {}
        classes = [v for v in self.namespace.values() if self.imports.defined_here(v)]
        previous = logging.root.manager.disable
        logging.disable(logging.CRITICAL)  # sample values must not log
        try:
            for cls in classes:
                if issubclass(cls, enum.Enum):
                    continue
                init_owner = next((c for c in cls.__mro__ if "__init__" in vars(c)), object)
                if not self.imports.defined_here(init_owner):
                    continue
                attributes = self.probe(cls)
                if attributes is not None:
                    found[cls] = attributes
                    own_init[cls] = init_owner.__init__
        finally:
            logging.disable(previous)
        result: dict[type, dict[str, str]] = {}
        for cls, names in found.items():
            inherited = {name for base in cls.__mro__[1:] for name in found.get(base, ())}
            typed = {}
            signature = inspect.signature(own_init[cls])
            for attr in (name for name in names if name not in inherited):
                param = signature.parameters.get(attr) or signature.parameters.get(attr + "_")
                if param is None or param.annotation is param.empty:
                    self.imports.lines["from typing import Any"] = None
                    typed[attr] = "Any"
                else:
                    default = param.default if param.default is not param.empty else _NO_VALUE
                    typed[attr] = self.annotation(param.annotation, default=default, where=f"{cls.__name__}.{attr}")
            result[cls] = typed
        return result

    def probe(self, cls: type) -> list[str] | None:
        """Builds an instance from sample arguments and reads the public attributes it holds."""
        target = cls
        if getattr(cls, "__abstractmethods__", None):
            target = type(cls)(cls.__name__, (cls,), {"__module__": cls.__module__})
            target.__abstractmethods__ = frozenset()  # type: ignore[attr-defined]
        try:
            signature = inspect.signature(cls)
            kwargs = {}
            for param in signature.parameters.values():
                if param.default is param.empty and param.kind in (param.POSITIONAL_OR_KEYWORD, param.KEYWORD_ONLY):
                    kwargs[param.name] = self.sample(param.annotation)
            instance = target(**kwargs)
        except Exception:
            return None
        return [name for name in getattr(instance, "__dict__", {}) if not name.startswith("_")]

    def sample(self, annotation: Any, depth: int = 0) -> Any:
        if isinstance(annotation, str):
            try:
                annotation = eval(annotation, dict(self.namespace))  # noqa: S307 - the module's own annotation
            except Exception:
                return None
        if depth > 4:
            return None
        simple = {str: "x", int: 1, float: 1.0, bool: True, bytes: b"x"}
        if annotation in simple:
            return simple[annotation]
        if isinstance(annotation, type) and issubclass(annotation, enum.Enum):
            return next(iter(annotation), None)
        if annotation is io.BytesIO:
            return io.BytesIO()
        origin, args = typing.get_origin(annotation), typing.get_args(annotation)
        if origin in (typing.Union, types.UnionType):
            return self.sample(next((a for a in args if a is not type(None)), None), depth + 1)
        if origin is typing.Literal:
            return args[0]
        if origin is tuple:
            return tuple(self.sample(a, depth + 1) for a in args if a is not Ellipsis)
        if origin in (list, typing.Sequence, typing.MutableSequence, typing.Iterable) or (
                isinstance(origin, type) and origin.__module__ == "collections.abc"):
            item = self.sample(args[0], depth + 1) if args else None
            return [item, item, item]
        if origin is dict:
            return {}
        return None

    def enum_class(self, cls: type[enum.Enum]) -> list[str]:
        bases = ", ".join(self.imports.object(b) for b in cls.__bases__)
        lines = [f"class {cls.__name__}({bases}):"]
        if cls.__doc__ and cls.__doc__.strip() and cls.__doc__ != enum.Enum.__doc__:
            lines += self.docstring(cls.__doc__, INDENT)
        for member in cls:
            lines.append(f"{INDENT}{member.name} = {member.value!r}")
        if len(lines) == 1:
            lines[0] += " ..."
        return lines

    def klass(self, cls: type, attributes: dict[str, str]) -> list[str]:
        if issubclass(cls, enum.Enum):
            return self.enum_class(cls)
        bases = [self.imports.object(b) for b in cls.__bases__ if b is not object]
        head = f"class {cls.__name__}({', '.join(bases)}):" if bases else f"class {cls.__name__}:"
        lines = [head]
        if cls.__doc__ and cls.__doc__.strip():
            lines += self.docstring(cls.__doc__, INDENT)
        for attr, text in attributes.items():
            lines.append(f"{INDENT}{attr}: {text}")
        for name, value in vars(cls).items():
            if name in _CLASS_NOISE:
                continue
            where = f"{cls.__name__}.{name}"
            if isinstance(value, property):
                lines += self.property(name, value, where)
            elif isinstance(value, classmethod):
                lines += self.function(value.__func__, name=name, where=where, decorators=["classmethod"],
                                       indent=INDENT)
            elif isinstance(value, staticmethod):
                lines += self.function(value.__func__, name=name, where=where, decorators=["staticmethod"],
                                       indent=INDENT)
            elif isinstance(value, type):
                raise StubError(f"{where}: nested classes are not supported")
            elif callable(value):
                lines += self.function(value, name=name, where=where, decorators=[], indent=INDENT,
                                       is_init=name == "__init__")
            else:
                lines.append(f"{INDENT}{name}: {self.value_type(value)}")
        if len(lines) == 1:
            lines[0] += " ..."
        return lines

    def property(self, name: str, prop: property, where: str) -> list[str]:
        if prop.fget is None:
            raise StubError(f"{where}: a property without a getter")
        doc = prop.__doc__ if prop.__doc__ != getattr(prop.fget, "__doc__", None) else None
        lines = self.function(prop.fget, name=name, where=where, decorators=["property"], indent=INDENT)
        if doc:
            raise StubError(f"{where}: a property docstring apart from its getter's")
        if prop.fset is not None:
            lines += self.function(prop.fset, name=name, where=f"{where} setter", decorators=[f"{name}.setter"],
                                   indent=INDENT)
        if prop.fdel is not None:
            lines += self.function(prop.fdel, name=name, where=f"{where} deleter", decorators=[f"{name}.deleter"],
                                   indent=INDENT)
        return lines

    # The module ------------------------------------------------------------------------------------

    def write(self) -> str:
        module = self.module
        blocks: list[list[str]] = []
        if "__all__" in self.namespace:
            exported = list(self.namespace["__all__"])
            missing = [n for n in exported if n not in self.namespace]
            if missing:
                raise StubError(f"{module.__name__}: __all__ names what the module lacks: {missing}")
            blocks.append(["__all__ = ["] + [f"{INDENT}{n!r}," for n in exported] + ["]"])
        attributes = self.classes_and_attributes()
        variables: list[str] = []
        for name, value in self.namespace.items():
            if name.startswith("__") and name.endswith("__"):
                continue
            if isinstance(value, types.ModuleType):
                continue
            if self.imports.defined_here(value):
                if value.__name__ != name:
                    raise StubError(f"{module.__name__}.{name}: an alias of {value.__name__}")
                blocks.append(self.klass(value, attributes.get(value, {})))
            elif isinstance(value, type) or self.foreign(value):
                continue  # imported; the stub imports what its annotations need
            elif callable(value) and getattr(value, "__module__", None) == module.__name__:
                blocks.append(self.function(value, name=name, where=f"{module.__name__}.{name}", decorators=[],
                                            indent=""))
            else:
                variables.append(f"{name}: {self.value_type(value)}")
        if variables:
            blocks.insert(1 if "__all__" in self.namespace else 0, variables)
        head = ["# Written by ondrel._stubgen from the compiled module when the package was built; do not edit."]
        if module.__doc__ and module.__doc__.strip():
            head += self.docstring(module.__doc__, "")
        imports = self.imports.render()
        parts = [head]
        if imports:
            parts.append(imports)
        parts += blocks
        return "\n\n".join("\n".join(p) for p in parts) + "\n"

    def foreign(self, value: Any) -> bool:
        """True for an object imported from elsewhere (a function, a typing form) rather than made here."""
        home = getattr(value, "__module__", None)
        if not isinstance(home, str) or home == self.module.__name__:
            return False
        return callable(value) or isinstance(value, (typing.TypeVar, type(typing.Any), type(typing.Union)))


def generate(module: types.ModuleType) -> str:
    """The stub text of ``module``."""
    return _Writer(module).write()


def main(argv: list[str] | None = None, *, out: Callable[[str], object] = print) -> int:
    parser = argparse.ArgumentParser(prog="python -m ondrel._stubgen", description=__doc__.splitlines()[0])
    parser.add_argument("module", help="full dotted name of the module")
    parser.add_argument("--extension", help="the built extension file, when it is not yet installed")
    parser.add_argument("-o", "--output", help="the .pyi file to write (default: standard output)")
    args = parser.parse_args(argv)
    try:
        if args.extension:
            module = load_extension(args.module, args.extension)
        else:
            module = importlib.import_module(args.module)
        text = generate(module)
    except StubError as error:
        print(f"stubgen: {error}", file=sys.stderr)
        return 1
    if args.output:
        path = Path(args.output)
        path.parent.mkdir(parents=True, exist_ok=True)
        temporary = path.with_name(path.name + ".tmp")
        temporary.write_text(text, encoding="utf-8")
        temporary.replace(path)
    else:
        out(text.rstrip("\n"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
