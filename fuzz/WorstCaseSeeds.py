#!/usr/bin/python3
"""Writes the seeds of the ExplicitModel fuzz target: its first line is
iicheck's command line, then a transitions file, a line "%%" and a labels
file. Besides small models, the worst case of each kind of input that once
took time or memory beyond the size of the input: a probability of 100 000
digits, one choice of 40 000 fractions over distinct primes near 2^62, a
header of ten million states over a body of one line, a header of 100 000
states over a body of 100 000 bytes, 20 000 labels.

Run from the top of the repository: fuzz/WorstCaseSeeds.py
"""
import os

FOLDER = "fuzz/corpus/ExplicitModel"
TARGET_LABELS = '0="init" 1="target"\n0: 0\n1: 1\n'


def is_prime(n):
    if n < 2:
        return False
    witnesses = (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37)
    for p in witnesses:
        if n % p == 0:
            return n == p
    d, s = n - 1, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    for a in witnesses:  # deterministic below 3.3 * 10^24
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def primes_below(n, count):
    found = []
    n -= 1
    while len(found) < count:
        if is_prime(n):
            found.append(n)
        n -= 1
    return found


def write(name, options, transitions, labels):
    with open(os.path.join(FOLDER, name), "w") as out:
        out.write(options + "\n" + transitions + "%%\n" + labels)


def main():
    with open("host/models/bundled.tra") as tra, open("host/models/bundled.lab") as lab:
        bundled = (tra.read(), lab.read())
    write("bundled", "", *bundled)
    write("bundled-min-avoid", "--min --target target|trap --avoid deadlock", *bundled)
    write("malformed", "", "2 1 1\n0 0 5 0.5\n", '0="init"\n0: 0\n')
    write("tiny", "--sum-tolerance 1", "2 2 3\n0 0 1 0.5\n0 1 1 1/3\n0 1 0 2/3\n", TARGET_LABELS)
    write("sum-above-one", "--sum-tolerance 1",
          "4 3 5\n0 0 1 0.9\n0 0 2 0.9\n1 0 1 1\n2 0 1 0.9\n2 0 3 0.1\n", TARGET_LABELS)
    write("long-probability", "", "2 1 1\n0 0 1 0." + "3" * 100000 + "\n", TARGET_LABELS)
    primes = primes_below(2**62, 40000)
    write("many-fractions", "", "2 1 40000\n" + "".join("0 0 1 1/%d\n" % p for p in primes),
          TARGET_LABELS)
    write("lying-header", "", "10000000 1 1\n0 0 0 1\n", '0="init"\n0: 0\n')
    write("large-header", "--min", "100000 1 1\n# " + "x" * 100000 + "\n0 0 99999 1\n",
          '0="init" 1="target"\n0: 0\n99999: 1\n')
    write("many-labels", "--target l19999",
          "2 1 1\n0 0 1 1\n",
          '0="init"' + "".join(' %d="l%d"' % (i, i) for i in range(1, 20000)) + "\n0: 0\n1: 19999\n")


if __name__ == "__main__":
    main()
