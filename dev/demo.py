"""Demo run: imports varnel and lists the bundled cases in run order."""

import varnel._varnel as engine
from varnel.cases import CASES

print("varnel._varnel members:", ", ".join(engine.__all__) or "(none yet)")
ids = sorted(CASES, key=lambda i: [int(p) if p.isdigit() else 0 for p in i.split(".")])
print(f"{len(ids)} bundled cases, in run order:")
for case_id in ids:
    print(f"  {case_id:8} {CASES[case_id].DESCRIPTION}")
