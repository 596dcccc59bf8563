# SPDX-License-Identifier: MIT (see LICENSE)
"""Sound bounds on reachability probabilities and expected rewards of Markov
decision processes.

A binding of the IntervalIteration library through ctypes: no compiler is
needed, only the shared library (libIntervalIteration.so.1), found through
the argument ``library``, else the environment variable
INTERVAL_ITERATION_LIBRARY (a path), else the dynamic loader's search
(LD_LIBRARY_PATH, the system's library folders).

    import intervaliteration as ii
    result = ii.compute((indptr, indices, data), choice_start, target=[5], zero=[6])
    result.lower, result.upper, result.status, result.iterations, result.messages
    reward = ii.compute_expected_reward((indptr, indices, data), choice_start,
                                        target=[5], rewards=[1, 2, 0, ...])

The model is a CSR matrix whose rows are the choices (a SciPy sparse matrix
or the arrays ``(indptr, indices, data)``), grouped by state through
``choice_start``; state 0 is the state whose bounds are returned.
"""
import ctypes
import enum
import fractions
import numbers
import operator
import os
import threading
from importlib import metadata
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union, cast

import numpy as np
from numpy.typing import NDArray

try:
    __version__ = metadata.version("intervaliteration")
except metadata.PackageNotFoundError:  # imported from a source tree
    __version__ = "unknown"

__all__ = ["Fpu", "Precision", "Rounding", "Severity", "Status", "Message", "Result",
           "Matrix", "compute", "compute_expected_reward", "has_avx512", "load_library"]


class Fpu(enum.IntEnum):
    DEFAULT = 0  # the portable floating-point environment
    X87 = 1
    SSE = 2
    AVX512 = 3  # only when has_avx512()


class Precision(enum.IntEnum):
    DOUBLE = 0
    EXTENDED = 1  # x87 only
    SINGLE = 2


class Rounding(enum.IntEnum):
    DEFAULT = 0  # the caller's direction: no guarantee
    SAFE = 1  # outward: the bounds hold


class Severity(enum.IntEnum):
    ERROR = 0
    WARNING = 1
    INFORMATION = 2


class Status(enum.IntEnum):
    CONVERGED = 0
    STOPPED = 1  # iteration limit or abort flag
    FIXED_POINT = 2  # no bound changed while the bounds were still apart
    ERROR = 3  # refused: see the error message


class Message(NamedTuple):
    severity: Union[Severity, int]  # an int only for a severity the library does not name
    text: str


class Result(NamedTuple):
    lower: float  # NaN when refused or stopped (see return_bounds_on_failure)
    upper: float
    status: Status
    iterations: int
    achieved_precision: float
    messages: List[Message]  # in the order the library sent them

    def encloses(self, value: Union[numbers.Rational, float]) -> bool:
        """Whether lower <= value <= upper, compared exactly (value may be a
        fractions.Fraction)."""
        if self.lower != self.lower or self.upper != self.upper:
            return False
        value = fractions.Fraction(value)
        return fractions.Fraction(self.lower) <= value <= fractions.Fraction(self.upper)


# The records of IntervalIteration.h; ctypes lays them out as the C compiler
# does (natural alignment), which the asserts below pin.
class _TransitionValue(ctypes.Structure):
    class _Value(ctypes.Union):
        _fields_ = [("Numerator", ctypes.c_int64), ("Value", ctypes.c_double)]

    _anonymous_ = ("_value",)
    _fields_ = [("_value", _Value), ("Denominator", ctypes.c_int64)]


_Words = ctypes.POINTER(ctypes.c_uint64)


class _SparseMdp(ctypes.Structure):
    _fields_ = [("IsRational", ctypes.c_uint32), ("StateCount", ctypes.c_uint64),
                ("ZeroStates", _Words), ("TargetStates", _Words),
                ("StateChoiceStart", _Words), ("ChoiceCount", ctypes.c_uint64),
                ("ChoiceTransitionStart", _Words), ("TransitionCount", ctypes.c_uint64),
                ("TransitionTarget", _Words),
                ("TransitionValues", ctypes.POINTER(_TransitionValue))]


class _SparseRewards(ctypes.Structure):
    _fields_ = [("ChoiceRewards", ctypes.POINTER(_TransitionValue)),
                ("ChoiceCount", ctypes.c_uint64)]


class _IterationOptions(ctypes.Structure):
    _fields_ = [("Epsilon", ctypes.c_double), ("MaxIterations", ctypes.c_int32),
                ("Maximize", ctypes.c_uint8), ("Relative", ctypes.c_uint8),
                ("WarnOnAbort", ctypes.c_uint8), ("ReturnBoundsOnFailure", ctypes.c_uint8),
                ("Fpu", ctypes.c_uint8), ("Precision", ctypes.c_uint8),
                ("Rounding", ctypes.c_uint8), ("Sequential", ctypes.c_uint8)]


class _IterationResult(ctypes.Structure):
    _fields_ = [("Lower", ctypes.c_double), ("Upper", ctypes.c_double),
                ("Status", ctypes.c_int32)]


assert ctypes.sizeof(_TransitionValue) == 16 and ctypes.sizeof(_SparseMdp) == 80
assert _SparseMdp.StateCount.offset == 8 and _SparseMdp.TransitionValues.offset == 72
assert ctypes.sizeof(_SparseRewards) == 16 and _SparseRewards.ChoiceCount.offset == 8
assert ctypes.sizeof(_IterationOptions) == 24 and _IterationOptions.Sequential.offset == 19
assert ctypes.sizeof(_IterationResult) == 24 and _IterationResult.Status.offset == 16

_MessageCallback = ctypes.CFUNCTYPE(None, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_uint64)

_libraries: Dict[str, ctypes.CDLL] = {}
_libraries_lock = threading.Lock()


def load_library(library: Optional[str] = None) -> ctypes.CDLL:
    """The library at the path ``library``, else at $INTERVAL_ITERATION_LIBRARY,
    else libIntervalIteration.so.1 as the dynamic loader finds it; loaded
    once per path."""
    path = library or os.environ.get("INTERVAL_ITERATION_LIBRARY") or "libIntervalIteration.so.1"
    with _libraries_lock:
        if path not in _libraries:
            handle = ctypes.CDLL(path)
            outputs: List[Any] = [
                ctypes.POINTER(_IterationOptions), ctypes.POINTER(ctypes.c_int64),
                ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int32),
                _MessageCallback, ctypes.POINTER(ctypes.c_int32)]
            handle.IntervalIteration.restype = _IterationResult
            mdp: List[Any] = [ctypes.POINTER(_SparseMdp)]
            handle.IntervalIteration.argtypes = mdp + outputs
            # Since 1.2; an older library is refused only when rewards are asked for.
            if hasattr(handle, "ExpectedRewardIteration"):
                handle.ExpectedRewardIteration.restype = _IterationResult
                handle.ExpectedRewardIteration.argtypes = (
                    mdp + [ctypes.POINTER(_SparseRewards)] + outputs)
            handle.GetSizeOfSizeType.restype = ctypes.c_int32
            handle.GetNativeSupportMask.restype = ctypes.c_int32
            if handle.GetSizeOfSizeType() != 8:
                raise OSError("%s: the size type is not 64 bits wide" % path)
            _libraries[path] = handle
        return _libraries[path]


def has_avx512(library: Optional[str] = None) -> bool:
    """Whether this processor runs the AVX-512 variants."""
    return bool(load_library(library).GetNativeSupportMask() & 2)


def _integers(values: Any, what: str) -> NDArray[Any]:
    """values as a one-dimensional integer array: floats are refused, not
    truncated."""
    array = np.asarray(values)
    if array.size == 0:
        array = array.astype(np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError("%s must be integers, not %s" % (what, array.dtype))
    if array.ndim != 1:
        raise ValueError("%s must be one-dimensional" % what)
    return array


def _exact_int64(values: NDArray[Any], what: str) -> NDArray[Any]:
    """Values that are integers fitting the library's signed 64-bit fields
    (integral floats too), as int64; others raise ValueError."""
    try:
        converted = values.astype(np.int64)
    except (TypeError, ValueError, OverflowError):
        converted = None
    if converted is None or values.dtype.kind not in "iuf" or not np.array_equal(converted, values):
        raise ValueError("%s must be integers of at most 64 signed bits" % what)
    return converted


def _words(values: Any, what: str) -> NDArray[Any]:
    array = _integers(values, what)
    if array.dtype.kind == "i" and array.size and array.min() < 0:
        raise ValueError("%s must not be negative" % what)
    return np.ascontiguousarray(array, dtype=np.uint64)


def _bitset(states: Any, state_count: int, what: str) -> NDArray[Any]:
    """A state set (a boolean mask of all states, or state indices) as the
    library's words: bit s % 64 of word s // 64."""
    states = np.asarray(states)
    if states.dtype == bool:
        if states.shape != (state_count,):
            raise ValueError("%s: a mask of %d states, not of shape %s"
                             % (what, state_count, states.shape))
        mask = states
    else:
        indices = _integers(np.asarray(states).reshape(-1), what).astype(np.int64)
        if indices.size and (indices.min() < 0 or indices.max() >= state_count):
            raise ValueError("%s: state indices must lie in 0 .. %d" % (what, state_count - 1))
        mask = np.zeros(state_count, dtype=bool)
        mask[indices] = True
    words = -(-state_count // 64)
    packed = np.zeros(words * 8, dtype=np.uint8)
    packed[:-(-state_count // 8)] = np.packbits(mask, bitorder="little")
    return packed.view("<u8").astype(np.uint64)


def _transition_values(data: Any, denominators: Any, what: str = "the matrix's data",
                       integers: bool = False, item: str = "transition") -> NDArray[Any]:
    """The probabilities (or rewards) as TransitionValue records in an (T, 2)
    int64 array: floats as stored binary64 values (denominator 0),
    fractions.Fraction or integer entries of an object array, or integer
    numerators with ``denominators``, as exact fractions. Integer data alone
    would be read as probabilities 2, 3, ...: they need their denominators,
    unless ``integers`` takes them as whole numbers (rewards)."""
    data = np.asarray(data)
    if data.ndim != 1:
        raise ValueError("%s must be one-dimensional" % what)
    if integers and denominators is None and data.size and data.dtype.kind in "iub":
        denominators = np.ones(data.shape, dtype=np.int64)
    records = np.zeros((data.size, 2), dtype=np.int64)
    if denominators is not None:
        denominators = np.asarray(denominators)
        if denominators.shape != data.shape:
            raise ValueError("denominators: %d entries for %d values"
                             % (denominators.size, data.size))
        numerators = _exact_int64(data, "with denominators, %s (the numerators)" % what)
        denominators = _exact_int64(denominators, "denominators")
        if np.any(denominators == 0):
            raise ValueError("denominators must not be 0 (%s %d)"
                             % (item, int(np.flatnonzero(denominators == 0)[0])))
        records[:, 0] = numerators
        records[:, 1] = denominators
    elif data.dtype == object:
        exact = [fractions.Fraction(value) for value in data]
        records[:, 0] = [value.numerator for value in exact]
        records[:, 1] = [value.denominator for value in exact]
    elif data.size == 0:
        pass
    elif data.dtype.kind == "f" and data.dtype.itemsize <= 8:
        records[:, 0] = np.ascontiguousarray(data, dtype="<f8").view(np.int64)
    elif data.dtype.kind in "iub":
        raise TypeError("integer data are numerators: pass their denominators, or give the "
                        "probabilities as floats or fractions.Fraction")
    else:
        raise TypeError("%s must be floats (binary64 or narrower) or fractions.Fraction, not %s"
                        % (what, data.dtype))
    return records


def _byte(value: int, what: str) -> int:
    value = operator.index(value)
    if not 0 <= value <= 255:
        raise ValueError("%s must be an option byte, 0 to 255, not %d" % (what, value))
    return value


def _call(function: Any, arguments: Tuple[Any, ...], abort_flag: ctypes.c_int32,
          keep: Tuple[Any, ...]) -> Any:
    """The library call. From the main thread it runs on a worker thread, so
    that Ctrl-C (KeyboardInterrupt) stays deliverable: it raises the abort
    flag, waits for the library to stop at its next poll and goes on. The
    worker holds every object the call reads (arguments, keep), so that the
    memory stays valid whenever the interrupt comes, even during start()."""
    if threading.current_thread() is not threading.main_thread():
        return function(*arguments)
    answer: List[Any] = []
    done = threading.Event()

    def run(_held: Tuple[Any, ...]) -> None:  # the thread holds its argument until it ends
        try:
            answer.append(function(*arguments))
        finally:
            done.set()

    worker = threading.Thread(target=run, args=(keep,), name="IntervalIteration", daemon=True)
    try:
        worker.start()
        done.wait()
    except KeyboardInterrupt:
        abort_flag.value = 1
        if worker.is_alive():
            done.wait()
        raise
    return answer[0]


Matrix = Union[Tuple[Sequence[int], Sequence[int], Sequence[Any]], Any]


def compute(matrix: Matrix, choice_start: Sequence[int], target: Sequence[Any], *,
            zero: Optional[Sequence[Any]] = None, denominators: Optional[Sequence[int]] = None,
            maximize: bool = True, epsilon: float = 1e-6, relative: bool = False,
            max_iterations: int = 0, fpu: Optional[int] = None,
            precision: int = Precision.DOUBLE, rounding: int = Rounding.SAFE,
            sequential: bool = False, return_bounds_on_failure: bool = False,
            property_name: Optional[str] = None, abort: Optional[ctypes.c_int32] = None,
            on_message: Optional[Callable[[Message], None]] = None,
            library: Optional[str] = None) -> Result:
    """Bounds on the minimal or maximal probability of reaching ``target``
    from state 0.

    matrix        the transition probabilities as a CSR matrix with one row
                  per choice and one column per state: a SciPy sparse matrix,
                  or the arrays (indptr, indices, data). Float data are taken
                  as exact binary64 values; fractions.Fraction entries (an
                  object array or a list) and integer numerators with
                  ``denominators`` (in the order of the CSR data) as exact
                  fractions.
    choice_start  n + 1 offsets: the choices of state s are rows
                  choice_start[s] up to choice_start[s + 1].
    target, zero  the target states and the states known to have
                  probability 0: boolean masks of the n states or state
                  indices (zero may be None).
    fpu           an Fpu; by default AVX512 when has_avx512(), else SSE.
    property_name put in place of "{0}" in the messages.
    epsilon       the half-width to reach, a number >= 0.
    max_iterations  the iteration limit, a 32-bit signed integer; 0: none.
    abort         a ctypes.c_int32 that another thread may set to nonzero to
                  stop the run (status STOPPED). Ctrl-C in the main thread
                  raises it too, then KeyboardInterrupt once the library has
                  stopped.
    on_message    called with each Message as the library sends it, on the
                  thread that runs the call.
    What is not a model raises before the call: lengths that do not fit
    together, negative indices, a zero denominator, an epsilon that is NaN
    or negative, a limit beyond 32 bits raise ValueError; indices that are
    not integers, integer data without denominators, complex data raise
    TypeError. What the library refuses (a value that is not a probability,
    an option value it does not know) comes back with status ERROR and an
    error message.
    """
    return _compute(matrix, choice_start, target, None, None, zero=zero,
                    denominators=denominators, maximize=maximize, epsilon=epsilon,
                    relative=relative, max_iterations=max_iterations, fpu=fpu,
                    precision=precision, rounding=rounding, sequential=sequential,
                    return_bounds_on_failure=return_bounds_on_failure,
                    property_name=property_name, abort=abort, on_message=on_message,
                    library=library)


def compute_expected_reward(matrix: Matrix, choice_start: Sequence[int], target: Sequence[Any],
                            rewards: Sequence[Any], *,
                            reward_denominators: Optional[Sequence[int]] = None,
                            **options: Any) -> Result:
    """Bounds on the minimal or maximal expected total reward earned from
    state 0 until ``target`` is reached (the library's
    ExpectedRewardIteration).

    rewards       one reward per choice (row of the matrix), in the order of
                  the rows: what taking the choice earns, the state's own
                  reward and the choice's expected transition reward
                  included. Floats are exact binary64 values, integers whole
                  numbers, fractions.Fraction entries (an object array or a
                  list) and integer numerators with ``reward_denominators``
                  exact fractions.
    The other arguments are those of compute. The host has removed the
    states whose expected reward is infinite and, for a minimum, collapsed
    the end components that earn nothing. Until the library certifies an
    upper bound the upper bound is inf; an INFORMATION message says when it
    does. A number of rewards other than the number of rows, or a zero in
    ``reward_denominators``, raises ValueError before the call; a reward
    that is negative, NaN or infinite comes back with status ERROR.
    """
    return _compute(matrix, choice_start, target, rewards, reward_denominators, **options)


def _compute(matrix: Matrix, choice_start: Sequence[int], target: Sequence[Any],
             rewards: Optional[Sequence[Any]], reward_denominators: Optional[Sequence[int]], *,
             zero: Optional[Sequence[Any]] = None, denominators: Optional[Sequence[int]] = None,
             maximize: bool = True, epsilon: float = 1e-6, relative: bool = False,
             max_iterations: int = 0, fpu: Optional[int] = None,
             precision: int = Precision.DOUBLE, rounding: int = Rounding.SAFE,
             sequential: bool = False, return_bounds_on_failure: bool = False,
             property_name: Optional[str] = None, abort: Optional[ctypes.c_int32] = None,
             on_message: Optional[Callable[[Message], None]] = None,
             library: Optional[str] = None) -> Result:
    """compute, or with rewards compute_expected_reward."""
    handle = load_library(library)
    shape = getattr(matrix, "shape", None)
    if hasattr(matrix, "tocsr"):
        if denominators is not None and getattr(matrix, "format", None) != "csr":
            # Converting the format reorders the data; the denominators
            # follow the order of the CSR data as given.
            raise ValueError("denominators need the matrix in CSR format, not %s"
                             % getattr(matrix, "format", type(matrix).__name__))
        csr = cast(Any, matrix).tocsr()
        rows, columns, data = csr.indptr, csr.indices, csr.data
    else:
        rows, columns, data = matrix
    starts = _words(choice_start, "choice_start")
    indptr = _words(rows, "indptr")
    indices = _words(columns, "indices")
    values = _transition_values(data, denominators)
    if starts.size < 2:
        raise ValueError("choice_start needs one entry per state and one more")
    state_count = starts.size - 1
    if indptr.size != int(starts[-1]) + 1:
        raise ValueError("choice_start ends at %d choices, but indptr has %d entries"
                         % (starts[-1], indptr.size))
    if indices.size != values.shape[0]:
        raise ValueError("%d column indices, but %d values" % (indices.size, values.shape[0]))
    if shape is not None and shape != (indptr.size - 1, state_count):
        raise ValueError("a matrix of %d choices and %d states must have shape %s, not %s"
                         % (indptr.size - 1, state_count, (indptr.size - 1, state_count), shape))
    target_words = _bitset(target, state_count, "target")
    zero_words = None if zero is None else _bitset(zero, state_count, "zero")
    function = handle.IntervalIteration
    reward_values = None
    reward_record = None
    if rewards is not None:
        if not hasattr(handle, "ExpectedRewardIteration"):
            raise OSError("the library has no ExpectedRewardIteration (version 1.2 or later)")
        reward_values = _transition_values(rewards, reward_denominators, "rewards", True,
                                           "choice")
        if reward_values.shape[0] != indptr.size - 1:
            raise ValueError("%d rewards for %d choices" % (reward_values.shape[0], indptr.size - 1))
        reward_record = _SparseRewards(
            ChoiceRewards=reward_values.ctypes.data_as(ctypes.POINTER(_TransitionValue)),
            ChoiceCount=reward_values.shape[0])
        function = handle.ExpectedRewardIteration

    def words_pointer(array: NDArray[Any]) -> Any:
        return array.ctypes.data_as(_Words)

    model = _SparseMdp(
        IsRational=1, StateCount=state_count,
        ZeroStates=None if zero_words is None else words_pointer(zero_words),
        TargetStates=words_pointer(target_words), StateChoiceStart=words_pointer(starts),
        ChoiceCount=int(starts[-1]), ChoiceTransitionStart=words_pointer(indptr),
        TransitionCount=indices.size, TransitionTarget=words_pointer(indices),
        TransitionValues=values.ctypes.data_as(ctypes.POINTER(_TransitionValue)))
    if fpu is None:
        fpu = Fpu.AVX512 if has_avx512(library) else Fpu.SSE
    epsilon = float(epsilon)
    if not epsilon >= 0:
        raise ValueError("epsilon must be a number >= 0, not %r" % epsilon)
    max_iterations = operator.index(max_iterations)
    if not -2**31 <= max_iterations < 2**31:
        raise ValueError("max_iterations must fit 32 signed bits, not %d" % max_iterations)
    options = _IterationOptions(
        Epsilon=epsilon, MaxIterations=max_iterations, Maximize=bool(maximize),
        Relative=bool(relative),
        ReturnBoundsOnFailure=bool(return_bounds_on_failure), Fpu=_byte(fpu, "fpu"),
        Precision=_byte(precision, "precision"), Rounding=_byte(rounding, "rounding"),
        Sequential=bool(sequential))

    messages: List[Message] = []

    def receive(context: int, raw: bytes, severity: int) -> None:
        # The text is valid only during the callback: decode it now.
        text = raw.decode("utf-8", "replace")
        if property_name is not None:
            text = text.replace("{0}", property_name)
        message = Message(Severity(severity) if severity <= 2 else severity, text)
        messages.append(message)
        if on_message is not None:
            on_message(message)

    callback = _MessageCallback(receive)
    iterations, achieved = ctypes.c_int64(0), ctypes.c_double(0)
    warned = ctypes.c_int32(0)
    abort_flag = abort if abort is not None else ctypes.c_int32(0)
    records: Tuple[Any, ...] = (ctypes.byref(model),)
    if reward_record is not None:
        records += (ctypes.byref(reward_record),)
    answer = _call(function, records + (ctypes.byref(options), ctypes.byref(iterations),
                                        ctypes.byref(achieved), ctypes.byref(warned), callback,
                                        ctypes.byref(abort_flag)), abort_flag,
                   (model, options, callback, values, indices, indptr, starts, target_words,
                    zero_words, reward_record, reward_values))
    status = Status(answer.Status) if 0 <= answer.Status <= 3 else answer.Status
    return Result(answer.Lower, answer.Upper, status, iterations.value, achieved.value, messages)
