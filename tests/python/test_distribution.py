"""The installed distribution: what pip, PyPI and a user's code read about the package."""

from __future__ import annotations

import importlib.metadata
import pathlib
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope='module')
def distribution() -> importlib.metadata.Distribution:
    return importlib.metadata.distribution('corvina_py')


class TestDistribution:
    def test_version_is_the_one_written_in_pyproject(
            self, distribution: importlib.metadata.Distribution) -> None:
        with open(ROOT / 'pyproject.toml', 'rb') as f:
            written = tomllib.load(f)['project']['version']
        assert importlib.metadata.version('corvina_py') == distribution.version == written

    def test_license_is_declared_and_its_text_installed(
            self, distribution: importlib.metadata.Distribution) -> None:
        assert distribution.metadata['License-Expression'] == 'MIT'
        installed = [f for f in distribution.files or () if f.name == 'LICENSE']
        assert len(installed) == 1
        assert installed[0].read_text() == (ROOT / 'LICENSE').read_text()
