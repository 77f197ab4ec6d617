"""Timing of the check-section bulk paths: making 10,000 extremes through ``create_extreme`` and
serialising a section that holds them, compiled module against an idiomatic plain-Python equivalent.

Run with the installed package: ``python bench/bench_check_sections.py [--extremes N] [--repeat R]``.
Prints the best time of each path and the ratio plain Python / compiled (above 1: compiled is faster).
"""
from __future__ import annotations

import argparse
import timeit
from abc import ABC, abstractmethod
from typing import List

from ondrel.external.idea_rcs import objects as compiled


# -- the plain-Python equivalent, written as one would by hand ---------------------------------

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

    def _serialize(self) -> dict:
        return {'id': self._id}


class CheckSectionExtreme(_OpenObject):

    @abstractmethod
    def __init__(self, accidental=None, fatigue=None, frequent=None, fundamental=None, characteristic=None,
                 quasi_permanent=None, *, description: str):
        self.description = description
        self._accidental = accidental
        self._fatigue = fatigue
        self._frequent = frequent
        self._fundamental = fundamental
        self._characteristic = characteristic
        self._quasi_permanent = quasi_permanent

    def _serialize(self) -> dict:
        return {
            **super()._serialize(),
            'description': self.description,
            'accidental': self._accidental,
            'fatigue': self._fatigue,
            'frequent': self._frequent,
            'fundamental': self._fundamental,
            'characteristic': self._characteristic,
            'quasi_permanent': self._quasi_permanent,
        }


class StandardCheckSectionExtreme(CheckSectionExtreme):

    def __init__(self, *, accidental=None, frequent=None, fundamental=None, characteristic=None,
                 quasi_permanent=None, fatigue=None, description: str):
        super().__init__(accidental=accidental, fatigue=fatigue, frequent=frequent, fundamental=fundamental,
                         characteristic=characteristic, quasi_permanent=quasi_permanent, description=description)


class CheckSection(_OpenElementId, ABC):

    @abstractmethod
    def __init__(self, id_, description, check_member, reinf_section, extremes: List = None):
        super().__init__(id_)
        self._description = description
        self._extremes = list(extremes) if extremes else []
        self._check_member = check_member
        self._reinf_section = reinf_section

    @property
    def extremes(self) -> List[CheckSectionExtreme]:
        return list(self._extremes)

    def create_extreme(self, *, description=None, accidental=None, fatigue=None, frequent=None, fundamental=None,
                       characteristic=None, quasi_permanent=None) -> None:
        if not description:
            description = f'{self._description} - E {len(self._extremes) + 1}'
        extreme = StandardCheckSectionExtreme(accidental=accidental, fatigue=fatigue, frequent=frequent,
                                              fundamental=fundamental, characteristic=characteristic,
                                              quasi_permanent=quasi_permanent, description=description)
        self._extremes.append(extreme)

    def _serialize(self) -> dict:
        check_section = {
            **super()._serialize(),
            'description': self._description,
            'check_member': self._check_member,
            'reinf_section': self._reinf_section,
        }
        if self._extremes:
            check_section['extremes'] = [(type(extreme).__name__, extreme) for extreme in self._extremes]
        return check_section


class StandardCheckSection(CheckSection):

    def __init__(self, id_, description, check_member, reinf_section, extremes: List = None):
        super().__init__(id_, description, check_member, reinf_section, extremes)


# -- timing ------------------------------------------------------------------------------------

def build(section_class, n: int, uls, sls):
    section = section_class(1, 'S1', None, None)
    create = section.create_extreme
    for _ in range(n):
        create(fundamental=uls, characteristic=sls, quasi_permanent=sls)
    return section


def best(function, repeat: int) -> float:
    return min(timeit.repeat(function, number=1, repeat=repeat))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--extremes', type=int, default=10_000)
    parser.add_argument('--repeat', type=int, default=25)
    options = parser.parse_args()
    n, repeat = options.extremes, options.repeat

    forces = compiled.ResultOfInternalForces(N=-100.0, My=25.0)
    uls, sls = compiled.LoadingULS(forces), compiled.LoadingSLS(forces)
    implementations = {'compiled': compiled.StandardCheckSection, 'plain Python': StandardCheckSection}
    sections = {name: build(cls, n, uls, sls) for name, cls in implementations.items()}
    # Both sides do the same work: the same descriptions and the same pairs.
    made = {name: [(kind, extreme.description) for kind, extreme in section._serialize()['extremes']]
            for name, section in sections.items()}
    assert made['compiled'] == made['plain Python'], 'the two implementations disagree'

    rows = []
    for path, timed in ((f'create_extreme x {n:,}', lambda name: lambda: build(implementations[name], n, uls, sls)),
                        (f'_serialize, {n:,} extremes', lambda name: sections[name]._serialize)):
        times = {name: best(timed(name), repeat) for name in implementations}
        rows.append((path, times['compiled'], times['plain Python']))

    print(f'{"path":<28} {"compiled":>12} {"plain Python":>14} {"ratio":>7}')
    for path, t_compiled, t_plain in rows:
        print(f'{path:<28} {t_compiled * 1e3:>9.3f} ms {t_plain * 1e3:>11.3f} ms {t_plain / t_compiled:>6.2f}x')


if __name__ == '__main__':
    main()
