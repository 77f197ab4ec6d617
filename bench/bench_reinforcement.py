"""Bar layers of 10,000 bars: the compiled reinforced cross-section against plain Python.

Three paths are timed:

- layer:   ``create_bar_layer`` placing 10,000 bars on a fresh reinforced cross-section;
- section: the ``_serialize()`` of a section that holds them (its dictionary holds the section's own
           bar list, so this does not grow with the number of bars);
- expand:  the section's ``_serialize()`` followed by each bar's ``_serialize()``, as the model writer
           expands the nested bars.

Each is run against the compiled ``ondrel.external.idea_rcs.objects`` and against the plain-Python
classes below, written the way a Python developer would write them by hand. The ratio is the plain
time divided by the compiled time (above 1: the compiled module is faster).

    python bench/bench_reinforcement.py [--bars N] [--runs R]
"""
from __future__ import annotations

import argparse
import gc
import statistics
import sys
import time
import types
from abc import ABC, abstractmethod
from typing import List, Tuple


# -- the plain-Python equivalent -----------------------------------------------------------------

class _OpenObject(ABC):

    @abstractmethod
    def __init__(self) -> None:
        pass

    @abstractmethod
    def _serialize(self) -> dict:
        return {}


class _OpenElementId(ABC):

    def __init__(self, id_: int):
        self._id = id_

    @property
    def id(self) -> int:
        return self._id

    def _serialize(self) -> dict:
        return {'id': self._id}


class _ReferenceElement:

    def __init__(self, id_: int, type_name: str):
        self._id = id_
        self._type_name = type_name

    @property
    def id(self) -> int:
        return self._id

    def _serialize(self) -> dict:
        return {'type_name': self._type_name, 'id': self._id}


class ReinforcedBar(_OpenObject):

    def __init__(self, coordinates: Tuple[float, float], diameter: float, material: _ReferenceElement):
        self._coordinates = coordinates
        self._diameter = diameter
        self._material = material

    @property
    def coordinates(self) -> Tuple[float, float]:
        return self._coordinates

    def _serialize(self) -> dict:
        return {'coordinates': self._coordinates, 'diameter': self._diameter, 'material': self._material}


class ReinforcedCrossSection(_OpenElementId):

    def __init__(self, id_: int, name: str, cross_section: _ReferenceElement, bars: List[ReinforcedBar] = None,
                 stirrups: list = None):
        super().__init__(id_)
        self._name = name
        self._cross_section = cross_section
        self._bars = list(bars) if bars else []
        self._stirrups = list(stirrups) if stirrups else []

    @property
    def bars(self) -> List[ReinforcedBar]:
        return list(self._bars)

    def create_bar_layer(self, *, origin, diameter, material, number_of_bars, delta_y=None, delta_z=None) -> None:
        if number_of_bars < 2:
            raise ValueError("'number_of_bars' should be > 1")
        if delta_y is None and delta_z is None:
            raise ValueError("Either 'delta_y' or 'delta_z' should be defined")
        material_ref = _ReferenceElement(material.id, 'MatReinforcement')
        step_y = 0.0 if delta_y is None else delta_y / (number_of_bars - 1)
        step_z = 0.0 if delta_z is None else delta_z / (number_of_bars - 1)
        for i in range(number_of_bars):
            coordinates = (origin[0] + step_y * i, origin[1] + step_z * i)
            self._bars.append(ReinforcedBar(coordinates, diameter, material_ref))

    def _serialize(self) -> dict:
        section = {**super()._serialize(), 'name': self._name, 'cross_section': self._cross_section}
        if self._bars:
            section['bars'] = self._bars
        if self._stirrups:
            section['stirrups'] = self._stirrups
        return section


plain = sys.modules[__name__]  # this module, holding the plain classes


# -- the timed work -------------------------------------------------------------------------------

MATERIAL = types.SimpleNamespace(id=2)


def empty_section(module):
    return module.ReinforcedCrossSection(1, 'beam', module._ReferenceElement(1, 'CrossSectionComponent'))


def add_layer(section, bars: int) -> None:
    section.create_bar_layer(origin=(-0.25, 0.05), diameter=0.016, material=MATERIAL, number_of_bars=bars,
                             delta_y=0.5, delta_z=0.125)


def full_section(module, bars: int):
    section = empty_section(module)
    add_layer(section, bars)
    return section


def expand(section) -> list:
    """What the model writer does: the section's dictionary, then each bar's."""
    return [bar._serialize() for bar in section._serialize()['bars']]


def timed(prepare, work, runs: int, inner: int = 1) -> float:
    """Median seconds of one `work(prepared)` call. Preparing and freeing the results are not timed,
    and the collector stays off while timing (as with timeit)."""
    times = []
    for _ in range(runs):
        prepared = [prepare() for _ in range(inner)]
        results = []
        gc.disable()
        start = time.perf_counter()
        for item in prepared:
            results.append(work(item))
        elapsed = time.perf_counter() - start
        gc.enable()
        del results, prepared
        times.append(elapsed / inner)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--bars', type=int, default=10_000)
    parser.add_argument('--runs', type=int, default=41)
    options = parser.parse_args()
    bars, runs = options.bars, options.runs

    from ondrel.external.idea_rcs import objects as compiled

    # Both sides place the very same bars and write the same dictionaries.
    compiled_section, plain_section = full_section(compiled, bars), full_section(plain, bars)
    full_sections = {compiled: compiled_section, plain: plain_section}
    assert [b.coordinates for b in compiled_section.bars] == [b.coordinates for b in plain_section.bars]
    assert [list(d) for d in expand(compiled_section)] == [list(d) for d in expand(plain_section)]

    paths = {
        'layer': lambda module: timed(lambda: empty_section(module), lambda s: add_layer(s, bars), runs),
        # The section's own dictionary holds its bar list itself: it costs the same for any number of bars.
        'section': lambda module: timed(lambda: full_sections[module], lambda s: s._serialize(), runs, 1000),
        'expand': lambda module: timed(lambda: full_section(module, bars), expand, runs),
    }
    print(f"{bars} bars, median of {runs} runs")
    print(f"{'path':<8} {'plain [us]':>11} {'compiled [us]':>14} {'ratio':>7}")
    for name, measure in paths.items():
        plain_time, compiled_time = measure(plain), measure(compiled)
        print(f"{name:<8} {plain_time * 1e6:>11.1f} {compiled_time * 1e6:>14.1f} {plain_time / compiled_time:>7.2f}")


if __name__ == '__main__':
    main()
