"""kovrant's benchmarks; run each one as a module from the repository root, e.g.

    .venv/bin/python -m bench.bench_fit

so that it finds its helpers (bench.timing) and the offline tools (tools).
See bench/README.md for what each one measures.
"""
