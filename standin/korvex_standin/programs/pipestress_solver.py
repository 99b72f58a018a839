"""PipeStress stand-in solver program.

    pipestress_solver.py --input FILE.fre --results FILE.json [--thf FILE.thf]
                         [--culture NAME] [--ignore-warnings]

Reads a .fre input file (records cut to the field length go on in the next
line after a trailing '&'), checks it, and writes a JSON results file.
Exit codes: 0 solved, 1 warnings not ignored, 2 bad command line,
3 missing input file, 4 input it cannot solve.

KORVEX_STANDIN_SOLVE_SECONDS in the environment makes a run last that many seconds more
before it writes its results, as a long solve does.
"""

import argparse
import json
import os
import sys
import time

SOLVED, WARNINGS, MISSING, INVALID = 0, 1, 3, 4


def read_records(path):
    records, pending = [], ""
    with open(path, "r", encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.endswith("&"):
                pending += line[:-1]
                continue
            records.append(pending + line)
            pending = ""
    if pending:
        records.append(pending)
    return records


def parse_fre(path):
    records = read_records(path)
    if not records or records[0] != "*KORVEX FRE 1":
        raise ValueError("not a .fre input file (missing header)")
    if records[-1] != "*END":
        raise ValueError("the input file is incomplete (no *END record)")
    options, layers = {}, []
    for record in records[1:-1]:
        if record.startswith("C "):
            continue
        if record.startswith("LAYER "):
            layers.append(record[len("LAYER "):])
        elif record.startswith("*"):
            key, _, value = record[1:].partition(" ")
            options[key] = value
        else:
            raise ValueError("unknown record %r" % record)
    return options, layers


def main(argv):
    parser = argparse.ArgumentParser(prog="pipestress_solver")
    parser.add_argument("--input", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--thf")
    parser.add_argument("--culture", default="")
    parser.add_argument("--ignore-warnings", action="store_true")
    args = parser.parse_args(argv)

    print("PipeStress stand-in solver")
    print("input: %s" % args.input)
    if not os.path.isfile(args.input):
        print("error: input file not found: %s" % args.input)
        return MISSING
    if args.thf and not os.path.isfile(args.thf):
        print("error: thermal file not found: %s" % args.thf)
        return MISSING
    try:
        options, layers = parse_fre(args.input)
    except (ValueError, UnicodeDecodeError) as error:
        print("error: %s" % error)
        return INVALID
    if options.get("MODEL") != "PIPING":
        print("error: PipeStress solves piping models only (model is %s)" % options.get("MODEL"))
        return INVALID
    if not layers:
        print("error: the model has no layer to analyse")
        return INVALID

    warnings = []
    if not args.thf:
        warnings.append("no .thf file: ambient temperature assumed")
    for warning in warnings:
        print("warning: %s" % warning)
    if warnings and not args.ignore_warnings:
        print("stopped on warnings")
        return WARNINGS

    time.sleep(float(os.environ.get("KORVEX_STANDIN_SOLVE_SECONDS") or 0))
    results = {
        "Solver": "PipeStress",
        "Status": "Solved",
        "Input": os.path.abspath(args.input),
        "ThermalFile": os.path.abspath(args.thf) if args.thf else None,
        "ResultFile": os.path.abspath(args.results),
        "Model": options.get("MODEL"),
        "Title": options.get("TITLE"),
        "Units": options.get("UNITS"),
        "Rotation": options.get("ROTATION"),
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
