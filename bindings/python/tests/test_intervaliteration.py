"""Tests of the Python binding against the built library (the path in
INTERVAL_ITERATION_LIBRARY): every input form marshals the same model, every
option reaches the library, and lengths that do not fit are refused before
the library could read outside an array."""
import ctypes
from fractions import Fraction

import numpy as np
import pytest

import intervaliteration as ii

# iicheck's bundled model as iicheck hands it to the library (maximum; exact
# answer 10/21): state 0 initial, 1 the collapsed end component, 5 the
# target, 6 the states that cannot reach it.
CHOICE_START = [0, 1, 3, 4, 6, 7, 7, 7]
INDPTR = [0, 2, 4, 6, 8, 10, 11, 14]
INDICES = [1, 3, 5, 6, 2, 6, 5, 1, 5, 4, 4, 3, 5, 6]
FRACTIONS = [Fraction(1, 3), Fraction(2, 3), Fraction(1, 5), Fraction(4, 5), Fraction(2, 3),
             Fraction(1, 3), Fraction(1, 2), Fraction(1, 2), Fraction(1, 10), Fraction(9, 10),
             Fraction(1), Fraction(1, 3), Fraction(1, 4), Fraction(5, 12)]
ANSWER = Fraction(10, 21)


def bundled(**options):
    return ii.compute((INDPTR, INDICES, np.array(FRACTIONS, dtype=object)), CHOICE_START,
                      target=[5], zero=[6], **options)


def safe_variants():
    variants = [(fpu, precision) for fpu in (ii.Fpu.DEFAULT, ii.Fpu.SSE, ii.Fpu.X87)
                for precision in (ii.Precision.DOUBLE, ii.Precision.SINGLE)]
    variants.append((ii.Fpu.X87, ii.Precision.EXTENDED))
    if ii.has_avx512():
        variants.append((ii.Fpu.AVX512, ii.Precision.DOUBLE))
    return variants


@pytest.mark.parametrize("sequential", [False, True])
@pytest.mark.parametrize("fpu,precision", safe_variants())
def test_every_safe_variant_encloses_the_answer(fpu, precision, sequential):
    result = bundled(fpu=fpu, precision=precision, sequential=sequential)
    assert result.status == ii.Status.CONVERGED
    assert result.encloses(ANSWER) and result.upper - result.lower <= 2e-6
    assert result.iterations > 0 and result.achieved_precision <= 1e-6
    # The option bytes reached the library: it announces the variant.
    announced = [m.text for m in result.messages if m.severity == ii.Severity.INFORMATION]
    layout = "sequential" if sequential else "interleaved"
    assert announced == ["Using the %s instruction set for floating-point calculations at %s "
                         "precision with safe rounding in %s interval iteration."
                         % (ii_name(fpu), precision.name.lower(), layout)]


def ii_name(fpu):
    return {ii.Fpu.DEFAULT: "default", ii.Fpu.X87: "x87", ii.Fpu.SSE: "SSE",
            ii.Fpu.AVX512: "AVX-512"}[fpu]


def test_every_input_form_gives_the_same_bounds():
    """Fractions, numerators with denominators, SciPy matrices, masks and
    index lists are one model: the same bounds to the last bit."""
    numerators = [f.numerator for f in FRACTIONS]
    denominators = [f.denominator for f in FRACTIONS]
    mask = np.zeros(7, dtype=bool)
    mask[5] = True
    reference = bundled(fpu=ii.Fpu.SSE)
    forms = [
        dict(matrix=(np.array(INDPTR), np.array(INDICES, dtype=np.int32), np.array(numerators)),
             denominators=denominators, target=mask),
        dict(matrix=(INDPTR, INDICES, FRACTIONS), target=np.array([5], dtype=np.int64)),
    ]
    scipy_sparse = pytest.importorskip("scipy.sparse")
    for build in (scipy_sparse.csr_matrix, scipy_sparse.csr_array):
        matrix = build((np.array(numerators), INDICES, INDPTR), shape=(7, 7))
        forms.append(dict(matrix=matrix, denominators=denominators, target=[5]))
        # Another format would reorder the data away from the denominators.
        with pytest.raises(ValueError, match="CSR format"):
            ii.compute(matrix.tocsc(), CHOICE_START, target=[5], denominators=denominators)
    for form in forms:
        matrix = form.pop("matrix")
        result = ii.compute(matrix, CHOICE_START, zero=[6], fpu=ii.Fpu.SSE, **form)
        assert (result.lower, result.upper, result.iterations) == (
            reference.lower, reference.upper, reference.iterations)


def test_floats_are_stored_values_and_fractions_are_divided():
    # State 0 reaches the target, state 1, with probability p: a float is
    # taken as its binary64 value, a fraction is divided outward.
    for p, lower, upper in [(0.1, 0.1, 0.1), (Fraction(1, 10), np.nextafter(0.1, 0), 0.1)]:
        result = ii.compute(([0, 1], [1], [p]), [0, 1, 1], target=[1], epsilon=1e-3)
        assert (result.status, result.lower, result.upper) == (ii.Status.CONVERGED, lower, upper)


@pytest.mark.parametrize("arguments,complaint", [
    (dict(choice_start=[0]), "choice_start"),
    (dict(matrix=(INDPTR[:-1], INDICES, FRACTIONS)), "indptr"),
    (dict(matrix=(INDPTR, INDICES[:-1], FRACTIONS)), "values"),
    (dict(matrix=(INDPTR, INDICES, [1, 2]), denominators=[3]), "denominators"),
    (dict(matrix=(INDPTR, INDICES, [0.5] * 14), denominators=[2] * 14), "integer"),
    (dict(target=np.ones(6, dtype=bool)), "mask of 7 states"),
    (dict(target=[7]), "state indices"),
    (dict(zero=[-1]), "state indices"),
])
def test_lengths_that_do_not_fit_are_refused_before_the_call(arguments, complaint):
    call = dict(matrix=(INDPTR, INDICES, FRACTIONS), choice_start=CHOICE_START, target=[5])
    call.update(arguments)
    with pytest.raises(ValueError, match=complaint):
        ii.compute(call.pop("matrix"), call.pop("choice_start"), **call)


def test_refusals_limits_and_abort_come_back_as_statuses():
    refused = bundled(fpu=ii.Fpu.SSE, precision=ii.Precision.EXTENDED)
    assert refused.status == ii.Status.ERROR and np.isnan(refused.lower)
    assert refused.messages[-1] == (
        ii.Severity.ERROR, "Unsupported combination of FPU instruction set and rounding behaviour.")

    named = bundled(property_name='Pmax=? [F "target"]')
    warnings = [m.text for m in named.messages if m.severity == ii.Severity.WARNING]
    assert warnings and all('"Pmax=? [F "target"]"' in text and "{0}" not in text
                            for text in warnings)

    limited = bundled(max_iterations=2, return_bounds_on_failure=True)
    assert limited.status == ii.Status.STOPPED
    assert limited.encloses(ANSWER) and limited.upper - limited.lower > 1e-3

    stopped = bundled(abort=ctypes.c_int32(1))
    assert stopped.status == ii.Status.STOPPED and np.isnan(stopped.upper)

    # The minimum over the choices of the same model: the end component
    # leaves by the try with 1/5, state 3 skips: 1/3 * 1/5 + 2/3 * 3/8.
    minimum = bundled(maximize=False)
    assert minimum.status == ii.Status.CONVERGED and minimum.encloses(Fraction(19, 60))


@pytest.mark.parametrize("arguments,error,complaint", [
    # Integers would be taken as probabilities 2, 3, ...; a zero denominator
    # as the bits of a stored double; complex parts would be dropped.
    (dict(matrix=(INDPTR, INDICES, list(range(1, 15)))), TypeError, "denominators"),
    (dict(matrix=(INDPTR, INDICES, [1] * 14), denominators=[0] + [2] * 13), ValueError, "not be 0"),
    (dict(matrix=(INDPTR, INDICES, [1] * 14), denominators=[2.5] * 14), ValueError, "denominators"),
    (dict(matrix=(INDPTR, INDICES, np.full(14, 0.5 + 0.5j))), TypeError, "complex"),
    # Indices would be truncated or wrapped.
    (dict(matrix=(INDPTR, np.array(INDICES) + 0.25, FRACTIONS)), TypeError, "indices"),
    (dict(target=[5.7]), TypeError, "target"),
    (dict(choice_start=[-1] + CHOICE_START[1:]), ValueError, "negative"),
    # Options that no call means: a limit that would wrap to "none", a
    # precision that never converges, a byte that would wrap.
    (dict(max_iterations=2**80), ValueError, "32 signed bits"),
    (dict(epsilon=float("nan")), ValueError, "epsilon"),
    (dict(epsilon=-1e-6), ValueError, "epsilon"),
    (dict(precision=258), ValueError, "option byte"),
])
def test_what_is_not_a_model_is_refused_before_the_call(arguments, error, complaint):
    call = dict(matrix=(INDPTR, INDICES, FRACTIONS), choice_start=CHOICE_START, target=[5])
    call.update(arguments)
    with pytest.raises(error, match=complaint):
        ii.compute(call.pop("matrix"), call.pop("choice_start"), **call)


def test_ctrl_c_stops_a_long_call():
    """SIGINT while the library iterates raises the abort flag; the call
    stops and KeyboardInterrupt follows. The signal is sent from the
    library's first message, so it arrives while the call runs."""
    import os
    import signal
    # Lower bound 1 - p^k: about 2^40 iterations to converge.
    slow = ([0, 2], [0, 1], [Fraction(2**40 - 1, 2**40), Fraction(1, 2**40)])
    stopped = ctypes.c_int32(0)
    with pytest.raises(KeyboardInterrupt):
        ii.compute(slow, [0, 1, 1], target=[1], abort=stopped, epsilon=0,
                   on_message=lambda message: os.kill(os.getpid(), signal.SIGINT))
    assert stopped.value == 1


# Expected rewards: state 0 retries until it reaches the target 1, with a
# coin (1/2, reward 1: expected 2) or a die (1/3, reward 1/2: expected 3/2).
RETRY = ([0, 2, 4], [1, 0, 1, 0], [Fraction(1, 2), Fraction(1, 2), Fraction(1, 3), Fraction(2, 3)])


@pytest.mark.parametrize("sequential", [False, True])
@pytest.mark.parametrize("fpu,precision", safe_variants())
def test_expected_rewards_in_every_safe_variant(fpu, precision, sequential):
    for maximize, rewards, answer in [(True, [1, Fraction(1, 2)], 2),
                                      (False, np.array([1.0, 0.5]), Fraction(3, 2))]:
        result = ii.compute_expected_reward(RETRY, [0, 2, 2], [1], rewards, maximize=maximize,
                                            fpu=fpu, precision=precision, sequential=sequential)
        assert result.status == ii.Status.CONVERGED and result.encloses(answer)
        assert any("certified an upper bound" in m.text for m in result.messages)


def test_rewards_that_are_not_rewards_are_refused():
    with pytest.raises(ValueError, match="3 rewards for 2 choices"):
        ii.compute_expected_reward(RETRY, [0, 2, 2], [1], [1, 1, 1])
    with pytest.raises(ValueError, match=r"not be 0 \(choice 1\)"):
        ii.compute_expected_reward(RETRY, [0, 2, 2], [1], [1, 1], reward_denominators=[1, 0])
    refused = ii.compute_expected_reward(RETRY, [0, 2, 2], [1], [1.0, -1.0])
    assert refused.status == ii.Status.ERROR and refused.messages[-1] == (
        ii.Severity.ERROR,
        "The model is malformed: choice 1 has a negative value, which is not a reward.")
