"""Aster stand-in solver program.

    aster_solver.py --input FILE.aster.inp --results FILE.json [--thf FILE.thf]
                    [--culture NAME] [--ignore-warnings]

Reads the analysis model written by AsterSolver.BuildAnalysisModel (JSON) and
writes a JSON results file.  Exit codes: 0 solved, 1 warnings not ignored,
2 bad command line, 3 missing input file, 4 input it cannot solve.
"""

import argparse
import json
import os
import sys

SOLVED, WARNINGS, MISSING, INVALID = 0, 1, 3, 4


def main(argv):
    parser = argparse.ArgumentParser(prog="aster_solver")
    parser.add_argument("--input", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--thf")
    parser.add_argument("--culture", default="")
    parser.add_argument("--ignore-warnings", action="store_true")
    args = parser.parse_args(argv)

    print("Aster stand-in solver")
    print("input: %s" % args.input)
    if not os.path.isfile(args.input):
        print("error: analysis model not found: %s" % args.input)
        return MISSING
    if args.thf and not os.path.isfile(args.thf):
        print("error: thermal file not found: %s" % args.thf)
        return MISSING
    try:
        with open(args.input, "r", encoding="utf-8") as f:
            model = json.load(f)
    except (ValueError, UnicodeDecodeError) as error:
        print("error: the analysis model is not readable: %s" % error)
        return INVALID
    if not isinstance(model, dict) or model.get("Format") != "Aster analysis model":
        print("error: not an Aster analysis model")
        return INVALID
    layers = model.get("Layers") or []
    if model.get("Model") not in ("PIPING", "STRUCTURE") or not layers:
        print("error: nothing to analyse")
        return INVALID

    warnings = []
    if not args.thf:
        warnings.append("no .thf file: ambient temperature assumed")
    for warning in warnings:
        print("warning: %s" % warning)
    if warnings and not args.ignore_warnings:
        print("stopped on warnings")
        return WARNINGS

    results = {
        "Solver": "Aster",
        "Status": "Solved",
        "Input": os.path.abspath(args.input),
        "ThermalFile": os.path.abspath(args.thf) if args.thf else None,
        "ResultFile": os.path.abspath(args.results),
        "Model": model.get("Model"),
        "QuarlFile": model.get("QuarlFile"),
        "Layers": layers,
        "Warnings": warnings,
        "Culture": args.culture,
    }
    with open(args.results, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2)
    print("solved %d layer(s): %s" % (len(layers), ", ".join(layers)))
    return SOLVED


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
