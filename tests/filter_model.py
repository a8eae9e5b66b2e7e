"""The benchmark's name for the model's filter (bench/bench_filter.py imports it)."""

from model import filter_results  # noqa: F401
