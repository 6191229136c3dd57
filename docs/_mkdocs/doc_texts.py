"""Griffe extension: the doc texts the built module carries, for what its stubs leave bare.

The reference reads the signatures from the stubs, which a compiled module cannot give, and
the doc texts from the module itself, which the stubs do not repeat; so each is written once.
"""

from __future__ import annotations

import importlib
from typing import Any

import griffe


def runtime_object(module: Any, path: str) -> Any:
    found = module
    for part in path.split('.')[1:]:
        found = getattr(found, part, None)
        if found is None:
            return None
    return found


class DocTexts(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        try:
            from_stubs = pkg.filepath.suffix == '.pyi'
        except griffe.BuiltinModuleError:
            from_stubs = False
        if not from_stubs:
            return
        try:
            module = importlib.import_module(pkg.name)
        except ImportError:
            return
        self.add_overloaded(pkg)
        self.fill(pkg, module)

    def add_overloaded(self, pkg: griffe.Module) -> None:
        # A stub spells a function that takes several argument types as overloads with no body
        # beside them, which the loader keeps apart from the module's members: without this the
        # reference would leave such a function out.
        for name, overloads in pkg.overloads.items():
            if name in pkg.members or not overloads:
                continue
            first = overloads[0]
            parameters = griffe.Parameters(*(
                griffe.Parameter(parameter.name, kind=parameter.kind, default=parameter.default,
                                 annotation=' | '.join(dict.fromkeys(
                                     str(overload.parameters[index].annotation)
                                     for overload in overloads)))
                for index, parameter in enumerate(first.parameters)))
            function = griffe.Function(name, lineno=first.lineno, endlineno=overloads[-1].endlineno,
                                       parameters=parameters, returns=first.returns)
            function.overloads = list(overloads)
            pkg.set_member(name, function)

    @staticmethod
    def readable(member: griffe.Object, doc: str) -> str:
        # A field's getter carries the bare key it is read from (the writer looks keys up
        # there); on the page that reads better as a sentence.
        if 'property' in member.labels and doc.isalnum():
            return f'Read from the statement key `{doc}`.'
        return doc

    def fill(self, obj: griffe.Object, module: Any) -> None:
        for member in obj.members.values():
            if member.is_alias or member.name.startswith('_'):
                continue
            if member.docstring is None:
                doc = getattr(runtime_object(module, member.path), '__doc__', None)
                inherited = getattr(type(runtime_object(module, member.path)), '__doc__', None)
                if isinstance(doc, str) and doc.strip() and doc != inherited:
                    member.docstring = griffe.Docstring(self.readable(member, doc), parent=member)
            if member.is_class:
                self.fill(member, module)
