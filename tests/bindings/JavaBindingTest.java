// The Java binding against the built library: what is not a model is refused
// before the call, "{0}" is filled, a long call stops through its abort
// argument or an interruption of the calling thread, and expected rewards
// reach the library. Exit code 0 when every
// check holds; each failure prints a line.
import com.sun.jna.ptr.IntByReference;
import intervaliteration.IntervalIteration;
import intervaliteration.IntervalIteration.Api;
import intervaliteration.IntervalIteration.IterationOptions;
import intervaliteration.IntervalIteration.Result;
import intervaliteration.IntervalIteration.SparseMdp;
import intervaliteration.IntervalIteration.TransitionValue;
import java.util.List;
import java.util.Map;

public final class JavaBindingTest {
    private static int failures = 0;

    private static void check(boolean holds, String what) {
        if (!holds) {
            failures++;
            System.out.println("FAILED: " + what);
        }
    }

    private static void refused(Runnable action, String what) {
        try {
            action.run();
            check(false, what + " is refused");
        } catch (IllegalArgumentException expected) {
            check(!expected.getMessage().isEmpty(), what + " names its fault");
        }
    }

    // State 0 stays with probability 1 - 2^-40 and reaches the target, state 1,
    // otherwise: the lower bound needs about 2^40 iterations to meet epsilon 0.
    private static SparseMdp slowModel() {
        TransitionValue[] values = TransitionValue.array(2);
        values[0].fraction((1L << 40) - 1, 1L << 40);
        values[1].fraction(1, 1L << 40);
        return IntervalIteration.model(new long[] {0, 1, 1}, new long[] {0, 2},
                new long[] {0, 1}, values, new long[] {1L << 1}, null);
    }

    public static void main(String[] arguments) {
        Api library = IntervalIteration.load(arguments[0]);
        TransitionValue value = TransitionValue.array(1)[0];
        // A zero denominator would be read as a stored value with the numerator's bits.
        Map<String, Runnable> notProbabilities = Map.of(
                "fraction 1/0", () -> value.fraction(1, 0),
                "stored NaN", () -> value.stored(Double.NaN),
                "stored infinity", () -> value.stored(Double.POSITIVE_INFINITY),
                "stored -0.5", () -> value.stored(-0.5));
        notProbabilities.forEach((what, action) -> refused(action, what));
        value.stored(-0.0);
        value.fraction(0, -1);

        IterationOptions nan = new IterationOptions();
        nan.Epsilon = Double.NaN;
        refused(() -> IntervalIteration.compute(library, slowModel(), nan), "epsilon NaN");

        IterationOptions options = new IterationOptions();
        options.Epsilon = 0;
        options.WarnOnAbort = 1;
        Result named = IntervalIteration.compute(library, slowModel(), options, "P=? [F \"a\"]",
                new IntByReference(1));
        check(named.status() == IntervalIteration.STATUS_STOPPED, "a raised abort flag stops the call");
        List<String> messages = named.messages();
        check(messages.stream().anyMatch(m -> m.contains("\"P=? [F \"a\"]\""))
                && messages.stream().noneMatch(m -> m.contains("{0}")),
                "the property's name fills {0}: " + messages);

        // Interrupted before the call: the wait for the library is interrupted at once.
        Thread.currentThread().interrupt();
        Result interrupted = IntervalIteration.compute(library, slowModel(), options);
        check(interrupted.status() == IntervalIteration.STATUS_STOPPED,
                "an interruption stops the call, status " + interrupted.status());
        check(Thread.interrupted(), "the interruption stays the thread's interrupt status");

        // Expected rewards: state 0 earns 1 per try and reaches the target with 1/2: 2 tries.
        TransitionValue[] halves = TransitionValue.array(2);
        halves[0].stored(0.5);
        halves[1].stored(0.5);
        SparseMdp retry = IntervalIteration.model(new long[] {0, 1, 1}, new long[] {0, 2},
                new long[] {1, 0}, halves, new long[] {1L << 1}, null);
        TransitionValue[] reward = TransitionValue.array(1);
        reward[0].fraction(1, 1);
        Result expected = IntervalIteration.computeExpectedReward(library, retry,
                IntervalIteration.rewards(retry, reward), new IterationOptions(), "R", null);
        check(expected.status() == IntervalIteration.STATUS_CONVERGED && expected.lower() <= 2
                && expected.upper() >= 2, "the expected reward 2: " + expected);
        refused(() -> IntervalIteration.rewards(retry, TransitionValue.array(2)),
                "two rewards for one choice");

        System.out.println(failures == 0 ? "JavaBindingTest: all checks hold" : failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
