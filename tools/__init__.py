"""Offline tools behind kovrant's built-in guesser networks; not part of the installed package.

Synthetic training spectra (synthetic_spectra, broad_spectra, fit_targets,
training_data), the guesser registry and the EISNN001 weight format
(guesser_registry, eisnn_format), a NumPy and a PyTorch twin of the network
(guesser_reference, guesser_torch), and the training command with its parts
(training, promotion, training_report, train_guessers).

Run its commands as modules from the repository root, with kovrant installed:

    nice -n 10 python -m tools.train_guessers --all      # PyTorch needed
    python -m tools.make_sample_spectrum                 # rewrites data/sample_randles.csv

Tests and benchmarks import it as `tools` with the repository root on the path.
"""
