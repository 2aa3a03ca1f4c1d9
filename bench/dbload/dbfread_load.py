#!/usr/bin/python3
"""The peer of the database load: python3-dbfread reading the four tables'
.dbf files whole. Prints the medians of REPEAT timed reads in seconds, wall clock and CPU (after
one untimed read, so imports and first-use costs are left out).

usage: dbfread_load.py DIR [REPEAT]
"""
import statistics
import sys
import time

import dbfread

TABLES = ("nuvak", "grppre", "cam", "mon")


def read_all(directory):
    n = 0
    for name in TABLES:
        n += len(list(dbfread.DBF("%s/%s.dbf" % (directory, name), load=True)))
    return n


def main():
    directory = sys.argv[1]
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    read_all(directory)
    times, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        read_all(directory)
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    print("%.9f %.9f" % (statistics.median(times), statistics.median(cpu)))


if __name__ == "__main__":
    main()
