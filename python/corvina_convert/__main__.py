"""Lets `python -m corvina_convert` run the converter where no console script was installed."""

from corvina_convert.cli import run

run()
