"""Benchmarks: the compiled modules against idiomatic pure-Python equivalents of the same classes.

Each operation is timed in this one process, alternating compiled and Python samples, and reported
as medians with the ratio compiled/Python (below 1 is faster). Serialisations also show a floor: the
time to make a new dict of the same interned keys by the cheapest route C has (copying a prepared
one, `prepared.copy()`), the cost that no serialiser can avoid. Import times come from fresh interpreters (median of 20), memory from
a long build-and-serialise loop.

    ./dev bench            the whole table
    ./dev bench --quick    fewer samples, for a smoke run
    ./dev bench --only R   only the operations whose name matches the regular expression R
    ./dev bench --jobs     spreadsheet job throughput on the LibreOffice engines instead (bench/jobs.py)
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import io
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent

# Goals: the highest acceptable ratio compiled/Python per kind of operation.
GOALS = {"bulk": 0.33, "construct": 0.8, "serialize": 0.8, "property": 2.0, "call": 1.0}


def load_pure(name: str):
    spec = importlib.util.spec_from_file_location(f"pure_{name}", HERE / "pure" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


@dataclass
class Op:
    name: str
    kind: str
    make: Callable  # make(module) -> a callable without arguments
    floor: bool = False  # a serialisation: show the floor for a dict of its size
    floor_of: Callable | None = None  # floor_of(compiled module) -> the same work with ideal serialisers


# ---- the objects module ------------------------------------------------------------------------


def material_kwargs(m) -> dict:
    return dict(id_=1, name="C30/37", e_modulus=33e9, g_modulus=13.75e9, poisson=0.2, unit_mass=2500.0,
                specific_heat=0.6, thermal_expansion=1e-5, thermal_conductivity=45.0, is_default=True,
                order_in_code=5, thermal_state=m.ThermalState())


def concrete_kwargs(m) -> dict:
    return dict(material_kwargs(m), fck=30e6, stone_diameter=0.016, cement_class=m.ConcCementClass.R,
                aggregate_type=m.ConcAggregateType.QUARTZITE, diagram_type=m.ConcDiagramType.PARABOLIC,
                silica_fume=False, plain_concrete_diagram=False, dep_params=None)


def steel_kwargs(m) -> dict:
    return dict(material_kwargs(m), name="B 500B", bar_surface=m.BarSurface.RIBBED, fyk=500e6, ftk_by_fyk=1.08,
                epsuk=0.05, ftk=540e6, class_=m.ReinfClass.B, type_=m.ReinfType.BARS,
                fabrication=m.ReinfFabrication.HOT_ROLLED, diagram_type=m.ReinfDiagramType.BILINEAR_INCLINED)


def dependent_kwargs(m) -> dict:
    names = ["E_cm", "eps_c1", "eps_c2", "eps_c3", "eps_cu1", "eps_cu2", "eps_cu3", "F_ctm", "F_ctk_0_05",
             "F_ctk_0_95", "n_factor", "F_cm"]
    return {name: float(i) for i, name in enumerate(names)}


def reference(m, id_=1, type_name="MatConcrete"):
    return m._ReferenceElement(id_, type_name)


def forces(m):
    return m.ResultOfInternalForces(N=-100.0, My=50.0)


# Each model class built from keywords: (name, keyword builder).
CONSTRUCTIONS: list[tuple[str, Callable]] = [
    ("ProjectData", lambda m: dict(name="P", number="1", description="d", author="a", fatigue_check=True)),
    ("CodeSettings", lambda m: dict(theta=45.0, theta_min=21.8, theta_max=45.0, n_cycles_fatigue=2.0)),
    ("CheckMember1D", lambda m: dict(id_=1, name="M1")),
    ("ThermalState", lambda m: dict(expansion=m.ThermalStateType.CODE)),
    ("MatConcreteEc2", concrete_kwargs),
    ("MatReinforcementEc2", steel_kwargs),
    ("ConcDependentParams", dependent_kwargs),
    ("CrossSectionParameter", lambda m: dict(id_=1, name="R", cross_section_type=m.CrossSectionType.RECT,
                                             material=reference(m), width=0.3, height=0.6)),
    ("CrossSectionComponent", lambda m: dict(id_=1, name="C")),
    ("ReinforcedBar", lambda m: dict(coordinates=(0.05, 0.05), diameter=0.016,
                                     material=reference(m, 2, "MatReinforcement"))),
    ("Stirrup", lambda m: dict(points=[(0.0, 0.0), (0.3, 0.0), (0.3, 0.6), (0.0, 0.6)], diameter=0.008,
                               material=reference(m, 2, "MatReinforcement"), distance=0.2, shear_check=True)),
    ("ReinforcedCrossSection", lambda m: dict(id_=1, name="RCS", cross_section=reference(m, 1, "CrossSection"))),
    ("ResultOfInternalForces", lambda m: dict(N=-100.0, Qy=1.0, Qz=2.0, Mx=3.0, My=50.0, Mz=4.0)),
    ("LoadingULS", lambda m: dict(internal_forces=forces(m), internal_forces_second_order=forces(m))),
    ("LoadingSLS", lambda m: dict(internal_forces=forces(m))),
    ("FatigueLoading", lambda m: dict(max_loading=m.LoadingULS(forces(m)), min_loading=m.LoadingULS(forces(m)))),
    ("StandardCheckSectionExtreme", lambda m: dict(fundamental=m.LoadingULS(forces(m)), description="E1")),
    ("StandardCheckSection", lambda m: dict(id_=1, description="S1", check_member=reference(m, 1, "CheckMember1D"),
                                            reinf_section=reference(m, 1, "ReinforcedCrossSection"))),
    ("CalculationSetup", lambda m: dict(uls_shear=True, uls_torsion=False, sls_crack=True, fatigue=False)),
    ("ExposureClassesDataEc2", lambda m: dict(carbonation=m.ExposureClassEc2Carbonation.XC3,
                                              freeze_attack=m.ExposureClassEc2FreezeAttack.XF1)),
    ("ConcreteMemberDataEc2", lambda m: dict(element=reference(m, 1, "CheckMember1D"),
                                             member_type=m.MemberType.BEAM,
                                             two_way_slab_type=m.TwoWaySlabType.SLAB, creep_coefficient=2.0,
                                             relative_humidity=65.0)),
]


def keyword_call(target: Callable, kwargs: dict) -> Callable:
    """A function that calls `target` with the keywords written out, as application code does."""
    names = list(kwargs)
    source = f"lambda: target({', '.join(f'{n}=v{i}' for i, n in enumerate(names))})"
    scope = {"target": target, **{f"v{i}": kwargs[n] for i, n in enumerate(names)}}
    return eval(source, scope)  # noqa: S307 - the names are our own identifiers


def construct_op(cls_name: str, kwargs_of: Callable) -> Op:
    def make(m):
        return keyword_call(getattr(m, cls_name), kwargs_of(m))

    return Op(f"{cls_name}(k=v, ...)", "construct", make)


def serialize_op(cls_name: str, kwargs_of: Callable) -> Op:
    def make(m):
        obj = getattr(m, cls_name)(**kwargs_of(m))
        return obj._serialize

    return Op(f"{cls_name}._serialize()", "serialize", make, floor=True)


def property_ops() -> list[Op]:
    def element_id(m):
        obj = m.CheckMember1D(1, "M")
        return lambda: obj.id

    def bar_coordinates(m):
        obj = m.ReinforcedBar((0.1, 0.2), 0.016, reference(m, 2, "MatReinforcement"))
        return lambda: obj.coordinates

    def stirrup_mandrel(m):
        obj = m.Stirrup([(0.0, 0.0), (0.3, 0.0)], 0.008, reference(m, 2, "MatReinforcement"), 0.2)
        return lambda: obj.mandrel_diameter_factor

    return [Op("CheckMember1D.id", "property", element_id),
            Op("ReinforcedBar.coordinates", "property", bar_coordinates),
            Op("Stirrup.mandrel_diameter_factor", "property", stirrup_mandrel)]


def steel(m):
    return m.MatReinforcementEc2(**steel_kwargs(m))


def section_with_bars(m, material):
    section = m.ReinforcedCrossSection(1, "RCS", reference(m, 1, "CrossSection"))
    section.create_bar_layer(origin=(0.05, 0.05), diameter=0.016, material=material, number_of_bars=10_000,
                             delta_y=0.2)
    return section


def section_with_extremes(m, loading):
    section = m.StandardCheckSection(1, "S1", reference(m, 1, "CheckMember1D"),
                                     reference(m, 1, "ReinforcedCrossSection"))
    for _ in range(10_000):
        section.create_extreme(fundamental=loading)
    return section


def bulk_ops() -> list[Op]:
    def bar_layer(m):
        material = steel(m)
        return lambda: section_with_bars(m, material)

    def serialize_bars(m):
        section = section_with_bars(m, steel(m))

        def run():
            data = section._serialize()
            for bar in data["bars"]:
                bar._serialize()
        return run

    def extremes(m):
        loading = m.LoadingULS(forces(m))
        return lambda: section_with_extremes(m, loading)

    def serialize_extremes(m):
        section = section_with_extremes(m, m.LoadingULS(forces(m)))

        def run():
            data = section._serialize()
            for _, extreme in data["extremes"]:
                extreme._serialize()
        return run

    # The same loops over ideal serialisers: the part of the time that is Python's own.
    def serialize_bars_floor(m):
        data = section_with_bars(m, steel(m))._serialize()
        bars = [Ideal(bar._serialize()) for bar in data["bars"]]
        prepared = dict(data, bars=None)

        def run():
            out = prepared.copy()
            out["bars"] = list(bars)
            for bar in out["bars"]:
                bar._serialize()
        return run

    def serialize_extremes_floor(m):
        data = section_with_extremes(m, m.LoadingULS(forces(m)))._serialize()
        names = [name for name, _ in data["extremes"]]
        extremes = [Ideal(extreme._serialize()) for _, extreme in data["extremes"]]
        prepared = dict(data, extremes=None)

        def run():
            out = prepared.copy()
            out["extremes"] = list(zip(names, extremes))  # new pairs, as every serialisation makes
            for _, extreme in out["extremes"]:
                extreme._serialize()
        return run

    return [Op("create_bar_layer(10,000 bars)", "bulk", bar_layer),
            Op("serialise section + 10,000 bars", "bulk", serialize_bars, floor_of=serialize_bars_floor),
            Op("create_extreme x 10,000", "bulk", extremes),
            Op("serialise section + 10,000 extremes", "bulk", serialize_extremes, floor_of=serialize_extremes_floor),
            Op("whole model: build + walk", "bulk", whole_model, floor_of=walk_floor)]


class Ideal(dict):
    """An object whose serialiser costs nothing but the new dict: a copy of itself, a prepared dict."""

    __slots__ = ()
    _serialize = dict.copy


def ideal(value):
    """The same tree of objects with ideal serialisers."""
    if hasattr(value, "_serialize"):
        return Ideal({k: ideal(v) for k, v in value._serialize().items()})
    if isinstance(value, (list, tuple)):
        return type(value)(ideal(v) for v in value)
    return value


def walk(value):
    """Expands nested objects the way the model writer does."""
    if hasattr(value, "_serialize"):
        return {k: walk(v) for k, v in value._serialize().items()}
    if isinstance(value, (list, tuple)):
        return [walk(v) for v in value]
    return value


def build_model(m) -> list:
    """Materials, a component section, 1,000 bars, 100 stirrups and 1,000 extremes."""
    concrete = m.MatConcreteEc2(**concrete_kwargs(m))
    reinforcement = steel(m)
    css = m.CrossSectionComponent(1, "CSS")
    css.create_component([(0.0, 0.0), (0.3, 0.0), (0.3, 0.6), (0.0, 0.6)], concrete)
    section = m.ReinforcedCrossSection(1, "RCS", reference(m, 1, "CrossSectionComponent"))
    for row in range(10):
        section.create_bar_layer(origin=(0.04, 0.04 + 0.05 * row), diameter=0.016, material=reinforcement,
                                 number_of_bars=100, delta_y=0.22)
    for _ in range(100):
        section.create_stirrup([(0.02, 0.02), (0.28, 0.02), ((0.28, 0.58), (0.3, 0.3)), (0.02, 0.58)], 0.008,
                               reinforcement, 0.2, shear_check=True)
    check = m.StandardCheckSection(1, "S1", reference(m, 1, "CheckMember1D"),
                                   reference(m, 1, "ReinforcedCrossSection"))
    loading = m.LoadingULS(m.ResultOfInternalForces(N=-100.0, My=50.0))
    for _ in range(1000):
        check.create_extreme(fundamental=loading, characteristic=m.LoadingSLS(m.ResultOfInternalForces()))
    return [concrete, reinforcement, css, section, check]


def whole_model(m):
    def run():
        for obj in build_model(m):
            walk(obj)
    return run


def walk_floor(m):
    """Walking the whole model alone, every serialiser ideal and nothing built."""
    tree = [ideal(obj) for obj in build_model(m)]

    def run():
        for obj in tree:
            walk(obj)
    return run


def objects_ops() -> list[Op]:
    ops = [construct_op(n, k) for n, k in CONSTRUCTIONS]
    ops += [serialize_op(n, k) for n, k in CONSTRUCTIONS]
    return ops + property_ops() + bulk_ops()


# ---- the spreadsheet module --------------------------------------------------------------------


class NoUploadAPI:
    def _upload_temporary_file(self, stream):
        return "memory://upload"

    def _generate_temporary_file_urls(self):
        return "memory://slot", {"key": "slot"}, "memory://result"


def spreadsheet_ops(compiled) -> list[Op]:
    compiled.API = NoUploadAPI  # host calls replaced by no-ops

    def cell_range(m):
        data = [[float(c) for c in range(100)] for _ in range(1000)]
        return lambda: m.InputCellRange("Sheet1", "B", 3, data).serialize()

    def evaluate_body(m):
        inputs = [m.SpreadsheetCalculationInput(f"x{i}", float(i)) for i in range(10_000)]
        if m is compiled:
            calc = m.SpreadsheetCalculation(io.BytesIO(b"workbook"), inputs)
            return lambda: calc._create_request_body(inputs, False)
        return lambda: m.create_evaluate_request_body(io.BytesIO(b"workbook"), inputs, False, NoUploadAPI())

    def fill_body(m):
        cells = [m.DirectInputCell("Sheet1", "B", row, float(row)) for row in range(1, 10_001)]
        if m is compiled:
            return lambda: m._create_fill_spreadsheet_request_body(io.BytesIO(b"template"), cells)
        return lambda: m.create_fill_request_body(io.BytesIO(b"template"), cells, NoUploadAPI())

    def fill_named(m):
        cells = [m.NamedInputCell(f"name_{i}", float(i)) for i in range(10_000)]
        if m is compiled:
            return lambda: m._create_fill_spreadsheet_request_body(io.BytesIO(b"template"), cells)
        return lambda: m.create_fill_request_body(io.BytesIO(b"template"), cells, NoUploadAPI())

    def stringify(m):
        values = [1, 2.5, "text", True, 10**20, -0.0, "x" * 20, False] * 1250
        fn = m.stringify_value
        return lambda: [fn(v) for v in values]

    def named_cell(m):
        return lambda: m.NamedInputCell("name", 1.5)

    def direct_serialize(m):
        cell = m.DirectInputCell("Sheet1", "B", 3, 1.5)
        return cell.serialize

    return [Op("InputCellRange(1,000 x 100)", "bulk", cell_range),
            Op("evaluate body, 10,000 inputs", "bulk", evaluate_body),
            Op("fill body, 10,000 direct cells", "bulk", fill_body),
            Op("fill body, 10,000 named cells", "bulk", fill_named),
            Op("stringify_value x 10,000", "bulk", stringify),
            Op("NamedInputCell(...)", "construct", named_cell),
            Op("DirectInputCell.serialize()", "serialize", direct_serialize, floor=True)]


# ---- timing ------------------------------------------------------------------------------------


def per_call(fn: Callable, loops: int) -> float:
    start = time.perf_counter()
    for _ in range(loops):
        fn()
    return (time.perf_counter() - start) / loops


def calibrate(fn: Callable, target: float) -> int:
    loops = 1
    while True:
        if per_call(fn, loops) * loops >= target:
            return loops
        loops *= 4


def measure(compiled_fn: Callable, python_fn: Callable, samples: int, target: float) -> tuple[float, float]:
    loops = calibrate(python_fn, target)
    c, p = [], []
    gc.collect()
    for _ in range(samples):  # alternating, so drift hits both sides alike
        c.append(per_call(compiled_fn, loops))
        p.append(per_call(python_fn, loops))
    return statistics.median(c), statistics.median(p)


def floor_time(size: int, samples: int, target: float) -> float:
    prepared = dict.fromkeys(sys.intern(f"key_{i}") for i in range(size))
    fn = prepared.copy
    loops = calibrate(fn, target)
    return statistics.median(per_call(fn, loops) for _ in range(samples))


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds / 1e-9:7.2f} ns"


def run_table(title: str, ops: list[Op], compiled, python, samples: int, target: float,
              only: re.Pattern | None = None) -> list[str]:
    ops = [op for op in ops if only is None or only.search(op.name)]
    if not ops:
        return []
    print(f"\n{title}")
    print(f"{'operation':40} {'compiled':>11} {'python':>11} {'ratio':>6} {'goal':>5} {'floor':>11}")
    misses = []
    for op in ops:
        c, p = measure(op.make(compiled), op.make(python), samples, target)
        ratio = c / p
        goal = GOALS[op.kind]
        floor = ""
        if op.floor:
            floor = fmt(floor_time(len(op.make(compiled)()), samples, target / 4))
        elif op.floor_of is not None:
            fn = op.floor_of(compiled)
            loops = calibrate(fn, target / 4)
            floor = fmt(statistics.median(per_call(fn, loops) for _ in range(samples)))
        mark = "" if ratio <= goal else "  <-- over goal"
        if mark:
            misses.append(op.name)
        print(f"{op.name:40} {fmt(c):>11} {fmt(p):>11} {ratio:6.2f} {goal:5.2f} {floor:>11}{mark}", flush=True)
    return misses


PRELOAD = "import abc, enum, typing, datetime, math, logging, io, os, types, inspect"


def import_time(statement: str, runs: int) -> float:
    code = (f"{PRELOAD}\nimport time, importlib.util, sys\nt = time.perf_counter()\n{statement}\n"
            f"print(time.perf_counter() - t)")
    times = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
        times.append(float(out.stdout))
    return statistics.median(times)


def load_file(name: str, path: str) -> str:
    return (f"spec = importlib.util.spec_from_file_location({name!r}, {path!r})\n"
            f"mod = importlib.util.module_from_spec(spec); spec.loader.exec_module(mod)")


def import_times(runs: int) -> list[str]:
    """Each compiled module against its pure-Python equivalent, where there is one; only the objects
    module has a goal."""
    print(f"\nimport time (fresh interpreters, standard library loaded, median of {runs})")
    rows = [("ondrel.external.idea_rcs.objects", "objects", 0.5),
            ("ondrel.external.spreadsheet", "spreadsheet_cells", None),
            ("ondrel.external.girdex", None, None)]
    misses = []
    for module_name, pure_name, goal in rows:
        try:
            compiled_path = importlib.import_module(module_name).__file__
        except ImportError:
            continue
        c = import_time(load_file(module_name, compiled_path), runs)
        if pure_name is None:
            print(f"{module_name.rsplit('.', 1)[1] + ' (compiled only)':40} {fmt(c):>11}")
            continue
        p = import_time(load_file(f"pure_{pure_name}", str(HERE / "pure" / f"{pure_name}.py")), runs)
        ratio = c / p
        mark = "  <-- over goal" if goal is not None and ratio > goal else ""
        if mark:
            misses.append(f"import {module_name}")
        goal_text = f"{goal:5.2f}" if goal is not None else f"{'':5}"
        print(f"{module_name.rsplit('.', 1)[1]:40} {fmt(c):>11} {fmt(p):>11} {ratio:6.2f} {goal_text}{mark}")
    return misses


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_growth(loops: int) -> list[str]:
    import ondrel.external.idea_rcs.objects as m
    kwargs = concrete_kwargs(m)
    cls = m.MatConcreteEc2

    def body(n):
        for _ in range(n):
            cls(**kwargs)._serialize()

    body(loops // 10)  # warm-up: allocator pools and caches settle
    gc.collect()
    before = rss()
    body(loops)
    gc.collect()
    grown = rss() - before
    print(f"\nmemory: {loops:,} MatConcreteEc2 build-and-serialise loops, RSS grew by {grown / 1024:.0f} KiB")
    return [] if grown < 1024 * 1024 else ["memory growth"]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer samples and loops (a smoke run)")
    parser.add_argument("--only", type=re.compile, help="only the operations whose name matches this expression")
    parser.add_argument("--jobs", action="store_true", help="spreadsheet job throughput instead (bench/jobs.py)")
    args = parser.parse_args(argv)
    if args.jobs:
        import jobs

        misses = jobs.main(args.quick)
        print("\nall goals met" if not misses else f"\nover goal: {', '.join(misses)}")
        return 0
    samples, target = (3, 0.005) if args.quick else (9, 0.05)

    import ondrel.external.idea_rcs.objects as compiled_objects
    print(f"CPython {platform.python_version()} on {platform.machine()}, {platform.processor() or 'cpu'}, "
          f"{os.cpu_count()} cores; ratio = compiled / python (below 1: compiled faster)")
    misses = run_table("ondrel.external.idea_rcs.objects", objects_ops(), compiled_objects, load_pure("objects"),
                       samples, target, args.only)
    try:
        import ondrel.external.spreadsheet as compiled_spreadsheet
    except ImportError:
        compiled_spreadsheet = None
    if compiled_spreadsheet is not None:
        misses += run_table("ondrel.external.spreadsheet", spreadsheet_ops(compiled_spreadsheet), compiled_spreadsheet,
                            load_pure("spreadsheet_cells"), samples, target, args.only)
    if args.only is None:
        misses += import_times(5 if args.quick else 20)
        misses += memory_growth(100_000 if args.quick else 1_000_000)
    print("\nall goals met" if not misses else f"\nover goal: {', '.join(misses)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
