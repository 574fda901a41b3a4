#!/usr/bin/env bash
# Mutation sample: five of the named single-point mutations in
# tests/mutants/mutants.txt, a window that moves with the CI run number so
# that every mutant is tried over successive runs, must each make the unit
# tests fail. A mutant whose text no longer appears in its file fails the
# step too: the table is kept in step with the code.
set -euo pipefail
cd "$(dirname "$0")/../.."
tests/mutants/run.sh --sample "${MUTANT_SAMPLE:-5}"
