"""Cost of one trivial method call on a vintrel object against a builtin one.

Runs both on the same machine in the same run and prints the ratio:
    python bench/bench_call.py
"""

import timeit

from vintrel import H2FlowControl


def best(stmt, setup, number=2_000_000, repeat=7):
    return min(timeit.repeat(stmt, setup, number=number, repeat=repeat, globals=globals())) / number * 1e9


CASES = [
    ("fc.available()", "fc = H2FlowControl()", "n.bit_length()", "n = 1"),
    ("fc.window_size()", "fc = H2FlowControl(); fc.inc_window(5)", "n.bit_length()", "n = 1"),
    ("fc.inc_window(0)", "fc = H2FlowControl()", "n.to_bytes(1, 'big')", "n = 1"),
    ("H2FlowControl()", "", "object()", ""),
]


def main():
    print(f"{'vintrel':<24}{'ns':>8}   {'builtin':<24}{'ns':>8}   ratio")
    for ours, our_setup, theirs, their_setup in CASES:
        a = best(ours, our_setup)
        b = best(theirs, their_setup)
        print(f"{ours:<24}{a:8.1f}   {theirs:<24}{b:8.1f}   {a / b:5.2f}x")


if __name__ == "__main__":
    main()
