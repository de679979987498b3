"""A user's script over the public API; type-checked with mypy --strict by the tests."""
import numpy as np

import kovrant
import kovrant_tools as kt

frequencies = np.logspace(4, -2, 30)
cell = kovrant.Circuit("R0-(R1,CPE1)").with_values([0.02, 0.05, 1.5, 0.9])
spectrum = kt.Spectrum(frequencies, cell.impedance(frequencies), {"source": "synthetic"})

report: kt.FitReport = kt.fit(spectrum, "R0-(R1,CPE1)", fixed={"R0.r": 0.02}, method="levenberg_marquardt")
value: float = report.params["R1.r"]
errors: dict[str, float] | None = report.stderr
fitted: kovrant.Circuit = report.circuit
again = kt.FitReport.from_json(report.to_json())
prediction = again.predict([1.0, 10.0])
ranking = kt.rank_circuits(spectrum, ["rc", "rq"], criterion="bic")
best_name, best_report = ranking[0]
print(value, errors, fitted, prediction, best_name, best_report.aic)
