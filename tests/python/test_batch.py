import math
import re
import signal
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import kovrant
from kovrant_tools import batch, fit, fit_many

FREQUENCIES = np.logspace(-1, 5, 40)
CIRCUIT = kovrant.Circuit("randles")
ID_AND_TIMING = ["spectrum", "seconds"]


def randles_series(count, seed=0):
    rng = np.random.default_rng(seed)
    spectra = []
    for i in range(count):
        values = [10.0, 50.0 * (1 + 0.05 * i), 30.0, 1e-4, 0.85]
        noise = 1 + 0.003 * rng.standard_normal(len(FREQUENCIES))
        spectra.append((FREQUENCIES, CIRCUIT.with_values(values).impedance(FREQUENCIES) * noise))
    return spectra


SPECTRA = randles_series(12)
BAD = (FREQUENCIES[:5], SPECTRA[0][1])


def results(frame):
    return frame.drop(columns=[c for c in ID_AND_TIMING if c in frame.columns]).reset_index(drop=True)


@pytest.fixture(scope="module")
def reference():
    return fit_many(SPECTRA, CIRCUIT, threads=1, progress=False)


def test_rows_are_the_single_fits_and_errors_stay_in_their_row():
    frame = fit_many([*SPECTRA[:3], BAD, SPECTRA[3]], "randles", threads=2, progress=False)
    names = CIRCUIT.param_names()
    assert list(frame.columns) == ["spectrum", *names, *(n + "_stderr" for n in names), "chi_square", "success",
                                   "impedance_evals", "seconds", "error"]
    assert list(frame["spectrum"]) == [0, 1, 2, 3, 4]
    for row, spectrum in zip(frame.drop(index=3).itertuples(index=False), SPECTRA[:4]):
        single = CIRCUIT.fit(*spectrum)
        assert [getattr(row, "_%d" % (1 + i)) for i in range(len(names))] == [single.params[n] for n in names]
        assert (row.chi_square, row.success, row.impedance_evals, row.error) == (
            single.chi_square, single.success, single.impedance_evals, None)
    bad = frame.loc[3]
    assert not bad["success"] and bad[names].isna().all() and pd.isna(bad["impedance_evals"])
    assert bad["error"].startswith("ValueError: ")


def spectrum_objects(spectra):
    return [type("Measured", (), {"frequencies": f, "impedances": z})() for f, z in spectra]


def battery_frames(spectra):
    return [pd.DataFrame({"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag})
            for f, z in spectra]


@pytest.mark.parametrize("as_input", [
    lambda spectra: iter(spectra),
    lambda spectra: spectrum_objects(spectra),
    lambda spectra: [dict(frame) for frame in battery_frames(spectra)],
    lambda spectra: {f"cell-{i}": s for i, s in enumerate(spectra)},
], ids=["iterator", "objects", "battery-data dicts", "mapping"])
def test_input_forms_give_the_same_rows(reference, as_input):
    frame = fit_many(as_input(SPECTRA), CIRCUIT, threads=2, progress=False)
    pd.testing.assert_frame_equal(results(frame), results(reference))


def test_long_frame_is_grouped_by_its_id_columns(reference):
    parts = [frame.assign(cell="A", cycle=i) for i, frame in enumerate(battery_frames(SPECTRA))]
    # A zero-frequency row is dropped, as Circuit.fit drops it from a frame.
    long = pd.concat([*parts, parts[0].iloc[:1].assign(frequency_hertz=0.0)])
    frame = fit_many(long, CIRCUIT, by=["cell", "cycle"], threads=2, progress=False)
    assert list(frame[["cell", "cycle"]].itertuples(index=False, name=None)) == [("A", i) for i in range(12)]
    pd.testing.assert_frame_equal(results(frame.drop(columns=["cell", "cycle"])), results(reference))


@pytest.mark.parametrize("threads, chunk_size", [(3, 1), (2, 5), (4, 64)])
def test_threads_and_chunks_do_not_change_results(reference, threads, chunk_size):
    frame = fit_many(SPECTRA, CIRCUIT, threads=threads, chunk_size=chunk_size, progress=False)
    pd.testing.assert_frame_equal(results(frame), results(reference))


def test_warm_start_follows_the_series_and_falls_back_on_a_poor_fit(reference):
    # A jump of three decades mid-series: the warm start from the previous fit is poor there.
    jumped = [*SPECTRA[:6], (FREQUENCIES, SPECTRA[6][1] * 1000), *SPECTRA[7:]]
    warm = fit_many(jumped, CIRCUIT, warm_start=True, threads=1, progress=False)
    cold = fit_many(jumped, CIRCUIT, threads=1, progress=False)
    assert warm["success"].all()
    np.testing.assert_allclose(warm["chi_square"], cold["chi_square"], rtol=1e-6)


def test_checkpoint_resumes_without_refitting(tmp_path, reference, monkeypatch):
    path = tmp_path / "batch.parquet"
    fit_many(SPECTRA[:7], CIRCUIT, checkpoint=path, progress=False)
    fitted = []
    original = batch._fit_one
    monkeypatch.setattr(batch, "_fit_one", lambda *args, **kwargs: fitted.append(1) or original(*args, **kwargs))
    resumed = fit_many(SPECTRA, CIRCUIT, checkpoint=path, progress=False)
    assert len(fitted) == 5
    pd.testing.assert_frame_equal(results(resumed), results(reference))
    assert len(pd.read_parquet(path)) == 12
    with pytest.raises(ValueError, match="use another file"):
        fit_many(SPECTRA, "R0-(R1,C1)", checkpoint=path, progress=False)


def test_checkpoint_refits_changed_spectra(tmp_path, reference):
    path = tmp_path / "batch.parquet"
    fit_many(SPECTRA[:6], CIRCUIT, checkpoint=path, progress=False)
    with pytest.warns(UserWarning, match="other data for 6 spectra"):
        changed = fit_many(SPECTRA[6:], CIRCUIT, checkpoint=path, progress=False)
    pd.testing.assert_frame_equal(results(changed), results(reference)[6:].reset_index(drop=True))
    assert len(pd.read_parquet(path)) == 6


@pytest.mark.parametrize("options, named", [
    ({"method": "nelder_mead"}, "method (saved 'levenberg_marquardt', now 'nelder_mead')"),
    ({"fixed": {"R0.r": 10.0}}, "fixed (saved None, now {'R0.r': 10.0})"),
    ({"seed": 3}, "options"),
    ({"circuit": CIRCUIT.with_values([10.0, 50.0, 30.0, 1e-4, 0.85])}, "settings: circuit;"),
])
def test_checkpoint_of_other_settings_is_refused(tmp_path, options, named):
    path = tmp_path / "batch.parquet"
    fit_many(SPECTRA[:2], CIRCUIT, checkpoint=path, progress=False)
    with pytest.raises(ValueError, match=re.escape(named)):
        fit_many(SPECTRA[:2], **{"circuit": CIRCUIT, **options}, checkpoint=path, progress=False)


def test_ids_that_compare_equal_keep_their_own_rows(tmp_path):
    spectra = {None: SPECTRA[0], math.nan: SPECTRA[9]}
    expected = [CIRCUIT.fit(*spectrum).params["R1.r"] for spectrum in spectra.values()]
    for _ in range(2):  # fitted, then read back from the checkpoint
        frame = fit_many(spectra, CIRCUIT, checkpoint=tmp_path / "batch.parquet", progress=False)
        assert frame["R1.r"].tolist() == expected


def test_without_pandas_nothing_is_fitted(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    monkeypatch.setattr(batch, "_fit_one", lambda *args: pytest.fail("fitted without pandas"))
    with pytest.raises(ImportError, match="fit_many needs pandas"):
        fit_many(SPECTRA[:2], CIRCUIT, threads=1)


def test_ctrl_c_raises_with_the_rows_done_and_saves_them(tmp_path):
    taken = threading.Event()

    def take_interrupt(signum, frame):  # Python's own handler, plus a note that it ran
        taken.set()
        raise KeyboardInterrupt

    class InterruptOnRead:
        """Presses Ctrl-C (once) when a worker reads it, and goes on only once
        the main thread has taken it, however busy the machine is."""

        impedances = SPECTRA[0][1]
        pressed = False

        @property
        def frequencies(self):
            if not InterruptOnRead.pressed:
                InterruptOnRead.pressed = True
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
                taken.wait(30.0)
            return FREQUENCIES

    path = tmp_path / "batch.parquet"
    spectra = [*SPECTRA[:4], InterruptOnRead(), *SPECTRA[4:]]
    previous = signal.signal(signal.SIGINT, take_interrupt)
    try:
        with pytest.raises(batch.FitManyInterrupted) as caught:
            fit_many(spectra, CIRCUIT, threads=1, chunk_size=2, checkpoint=path, progress=False)
    finally:
        signal.signal(signal.SIGINT, previous)
    done = caught.value.results
    assert isinstance(caught.value, KeyboardInterrupt)
    assert 4 <= len(done) < len(spectra) and done["success"].all()
    assert len(pd.read_parquet(path)) == len(done)


def test_an_error_that_is_not_a_spectrums_stops_the_batch_and_keeps_the_rows_done(tmp_path):
    class Broken:
        impedances = SPECTRA[0][1]

        @property
        def frequencies(self):
            raise RuntimeError("not a data problem")

    path = tmp_path / "batch.parquet"
    with pytest.raises(RuntimeError, match="not a data problem"):
        fit_many([*SPECTRA[:4], Broken(), *SPECTRA[4:]], CIRCUIT, threads=1, chunk_size=2, checkpoint=path,
                 progress=False)
    saved = set(pd.read_parquet(path)["spectrum"])
    assert {0, 1, 2, 3} <= saved and 4 not in saved


@pytest.mark.parametrize("call, error, text", [
    (lambda: fit_many(SPECTRA, CIRCUIT, threads=0), ValueError, "threads must be a positive integer, got 0"),
    (lambda: fit_many(SPECTRA, CIRCUIT, chunk_size=1.5), ValueError, "chunk_size must be"),
    (lambda: fit_many(SPECTRA, CIRCUIT, poor_fit=-1), ValueError, "poor_fit must be"),
    (lambda: fit_many(SPECTRA, CIRCUIT, method_name="x"), TypeError, "'method_name'"),
    (lambda: fit_many(battery_frames(SPECTRA)[0], CIRCUIT), ValueError, "needs by="),
    (lambda: fit_many(battery_frames(SPECTRA)[0], CIRCUIT, by="cycle"), ValueError, "'cycle'"),
    (lambda: fit_many(SPECTRA, CIRCUIT, by="cycle"), ValueError, "not one"),
    (lambda: fit_many(SPECTRA, kovrant.Series([kovrant.R(1.0), kovrant.Circuit("R0")])), ValueError, "'R0.r'"),
    (lambda: fit_many(SPECTRA, 5), TypeError, "circuit must be a notation, a model name or a kovrant.Circuit"),
    (lambda: fit_many(5, CIRCUIT), TypeError, "not int"),
    (lambda: fit_many(pd.DataFrame({"f": [1.0], "z": [2.0], "cycle": [0]}), CIRCUIT, by="cycle"), ValueError,
     r"no spectrum can be formed from the frame, whose columns are \['f', 'z', 'cycle'\]: it has no frequency column"),
    (lambda: fit_many(SPECTRA, CIRCUIT, strategy="quick"), ValueError, "unknown strategy 'quick'"),
])
def test_argument_errors(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_progress_bar_counts_spectra(capsys):
    pytest.importorskip("tqdm")
    fit_many(SPECTRA[:3], CIRCUIT, progress=True)
    assert "3/3" in capsys.readouterr().err


def test_directory_of_files(tmp_path):
    readers = pytest.importorskip("kovrant_tools.readers", reason="the file readers are not in this build")
    assert readers
    for name, frame in zip(["b.csv", "a.csv"], battery_frames(SPECTRA[:2])):
        frame.to_csv(tmp_path / name, index=False)
    (tmp_path / "c.csv").write_text("not an impedance table\n")
    frame = fit_many(tmp_path, CIRCUIT, progress=False)
    assert list(frame["file"]) == ["a.csv", "b.csv", "c.csv"]
    assert list(frame["success"]) == [True, True, False] and frame["error"][2]


def test_dask_workers_give_the_local_frame(reference):
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            frame = fit_many(SPECTRA, CIRCUIT, client=client, chunk_size=3, progress=False)
    pd.testing.assert_frame_equal(frame.drop(columns="seconds"), reference.drop(columns="seconds"))
    assert math.isfinite(frame["seconds"].sum())


def test_a_dask_client_closed_mid_run_says_where_the_rows_are(tmp_path, monkeypatch):
    distributed = pytest.importorskip("dask.distributed")
    path = tmp_path / "batch.parquet"
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster:
        client = distributed.Client(cluster)
        add = batch._RowStore.add

        def add_then_close(store, rows, bar):
            add(store, rows, bar)
            if client.status == "running":
                client.close()

        monkeypatch.setattr(batch._RowStore, "add", add_then_close)
        with pytest.raises(batch.FitManyStopped, match=re.escape(f"saved in the checkpoint {path}")) as caught:
            fit_many(SPECTRA, CIRCUIT, client=client, chunk_size=2, checkpoint=path, progress=False)
    done = caught.value.results
    assert 2 <= len(done) < len(SPECTRA) and done["success"].all()
    assert pd.read_parquet(path)["spectrum"].tolist() == done["spectrum"].tolist()


def test_thorough_strategy_gives_the_toolkit_fit_of_each_spectrum():
    # No network for this circuit: the thorough fit starts from the data instead of catalogue placeholders.
    frame = fit_many(SPECTRA[:2], "R0-(R1,CPE1)-W2", strategy="thorough", threads=1)
    for position, spectrum in enumerate(SPECTRA[:2]):
        report = fit(spectrum, "R0-(R1,CPE1)-W2")
        row = frame.iloc[position]
        assert row["chi_square"] == report.chi_square
        assert [row[name] for name in report.names] == list(report.params.values())
