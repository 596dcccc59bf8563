// SPDX-License-Identifier: MIT (see LICENSE)
package intervaliteration;

import com.sun.jna.Callback;
import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import com.sun.jna.Structure;
import com.sun.jna.Union;
import com.sun.jna.ptr.DoubleByReference;
import com.sun.jna.ptr.IntByReference;
import com.sun.jna.ptr.LongByReference;
import java.lang.ref.Reference;
import java.util.ArrayList;
import java.util.List;

/**
 * The IntervalIteration library through JNA (Debian: libjna-java): the records of
 * IntervalIteration.h with their padding, the union of a transition value, the result
 * record returned by value, and the functions. Compile with the JNA jar on the class path;
 * load the library with {@link #load}.
 */
public final class IntervalIteration {
    private IntervalIteration() {}

    /** The option values; each constant's ordinal is its byte in IterationOptions. */
    public enum Fpu { DEFAULT, X87, SSE, AVX512 }

    public enum Precision { DOUBLE, EXTENDED, SINGLE }

    public enum Rounding { DEFAULT, SAFE }

    public static final int STATUS_CONVERGED = 0;
    public static final int STATUS_STOPPED = 1;
    public static final int STATUS_FIXED_POINT = 2;
    public static final int STATUS_ERROR = 3;

    /** The 8 bytes at offset 0 of a TransitionValue: a signed numerator, or with denominator
     * 0 the probability as a binary64 value. */
    public static class NumeratorOrValue extends Union {
        public long Numerator;
        public double Value;
    }

    /** One transition probability, 16 bytes. */
    @Structure.FieldOrder({"Probability", "Denominator"})
    public static class TransitionValue extends Structure {
        public NumeratorOrValue Probability;
        public long Denominator;

        /** count records in one block of native memory, for SparseMdp.TransitionValues. */
        public static TransitionValue[] array(int count) {
            return (TransitionValue[]) new TransitionValue().toArray(count);
        }

        /** The exact fraction numerator / denominator, divided in the working precision.
         * @throws IllegalArgumentException for denominator 0 (the record would read the
         * numerator's bits as a stored value) */
        public TransitionValue fraction(long numerator, long denominator) {
            if (denominator == 0) {
                throw new IllegalArgumentException("the fraction " + numerator + "/0 has denominator 0");
            }
            Probability.setType(long.class);
            Probability.Numerator = numerator;
            Denominator = denominator;
            write();
            return this;
        }

        /** A probability that binary64 holds exactly (0.5, 0.25), taken as it is.
         * @throws IllegalArgumentException for NaN, an infinity or a negative value (-0 is 0) */
        public TransitionValue stored(double value) {
            if (!(value >= 0 && value <= Double.MAX_VALUE)) {
                throw new IllegalArgumentException(value + " is not a probability");
            }
            Probability.setType(double.class);
            Probability.Value = value;
            Denominator = 0;
            write();
            return this;
        }
    }

    /** The model in compressed sparse layout, 80 bytes. */
    @Structure.FieldOrder({"IsRational", "Padding", "StateCount", "ZeroStates", "TargetStates",
        "StateChoiceStart", "ChoiceCount", "ChoiceTransitionStart", "TransitionCount",
        "TransitionTarget", "TransitionValues"})
    public static class SparseMdp extends Structure {
        public int IsRational;
        public int Padding;
        public long StateCount;
        public Pointer ZeroStates;
        public Pointer TargetStates;
        public Pointer StateChoiceStart;
        public long ChoiceCount;
        public Pointer ChoiceTransitionStart;
        public long TransitionCount;
        public Pointer TransitionTarget;
        public Pointer TransitionValues;
        // The native arrays the pointers lead to, alive as long as the record.
        private final List<Object> arrays = new ArrayList<>();

        private Pointer keep(Memory memory) {
            arrays.add(memory);
            return memory;
        }
    }

    /** Rewards for ExpectedRewardIteration, 16 bytes: one per choice of the model. */
    @Structure.FieldOrder({"ChoiceRewards", "ChoiceCount"})
    public static class SparseRewards extends Structure {
        public Pointer ChoiceRewards;
        public long ChoiceCount;
        // The native array the pointer leads to, alive as long as the record.
        private Object values;
    }

    /** Options of one call, 24 bytes (fields in the first 20). */
    @Structure.FieldOrder({"Epsilon", "MaxIterations", "Maximize", "Relative", "WarnOnAbort",
        "ReturnBoundsOnFailure", "Fpu", "Precision", "Rounding", "Sequential", "Padding"})
    public static class IterationOptions extends Structure {
        public double Epsilon = 1e-6;
        public int MaxIterations;
        public byte Maximize = 1;
        public byte Relative;
        public byte WarnOnAbort;
        public byte ReturnBoundsOnFailure;
        public byte Fpu = (byte) IntervalIteration.Fpu.SSE.ordinal();
        public byte Precision = (byte) IntervalIteration.Precision.DOUBLE.ordinal();
        public byte Rounding = (byte) IntervalIteration.Rounding.SAFE.ordinal();
        public byte Sequential;
        public int Padding;

        public IterationOptions variant(IntervalIteration.Fpu fpu,
                IntervalIteration.Precision precision, IntervalIteration.Rounding rounding,
                boolean sequential) {
            Fpu = (byte) fpu.ordinal();
            Precision = (byte) precision.ordinal();
            Rounding = (byte) rounding.ordinal();
            Sequential = (byte) (sequential ? 1 : 0);
            return this;
        }
    }

    /** What IntervalIteration returns, 24 bytes, by value. */
    @Structure.FieldOrder({"Lower", "Upper", "Status", "Padding"})
    public static class IterationResult extends Structure {
        public double Lower;
        public double Upper;
        public int Status;
        public int Padding;

        public static class ByValue extends IterationResult implements Structure.ByValue {}
    }

    /** Receives every message of a call, during the call (on the thread that runs it). */
    public interface MessageCallback extends Callback {
        void invoke(long context, String text, long severity);
    }

    /** The library's nine functions. */
    public interface Api extends Library {
        IterationResult.ByValue IntervalIteration(SparseMdp model, IterationOptions options,
                LongByReference iterationCount, DoubleByReference achievedPrecision,
                IntByReference warnedFlag, MessageCallback callback, IntByReference abortFlag);

        IterationResult.ByValue ExpectedRewardIteration(SparseMdp model, SparseRewards rewards,
                IterationOptions options, LongByReference iterationCount,
                DoubleByReference achievedPrecision, IntByReference warnedFlag,
                MessageCallback callback, IntByReference abortFlag);

        int MaximalEndComponents(Pointer model, Pointer output, Pointer reserved,
                MessageCallback callback, IntByReference abortFlag);

        String PrecisionToString(byte value);

        String FpuToString(byte value);

        String RoundingToString(byte value);

        int GetSizeOfSizeType();

        int GetNativeSupportMask();

        int GetCpuVendor(byte[] buffer, long length);
    }

    /** The library at path (or by name through the loader's search), checked against the
     * layout of these records. */
    public static Api load(String path) {
        int[] sizes = {new TransitionValue().size(), new SparseMdp().size(),
            new IterationOptions().size(), new IterationResult().size(), new SparseRewards().size()};
        if (sizes[0] != 16 || sizes[1] != 80 || sizes[2] != 24 || sizes[3] != 24 || sizes[4] != 16) {
            throw new IllegalStateException("record sizes " + java.util.Arrays.toString(sizes)
                    + " differ from 16, 80, 24, 24, 16");
        }
        Api library = Native.load(path, Api.class);
        if (library.GetSizeOfSizeType() != 8) {
            throw new IllegalStateException(path + ": the size type is not 64 bits wide");
        }
        return library;
    }

    private static Memory words(long[] values) {
        Memory memory = new Memory(8L * Math.max(values.length, 1));
        memory.write(0, values, 0, values.length);
        return memory;
    }

    /**
     * The record of a model given as a CSR matrix whose rows are the choices: the choices of
     * state s are rows stateChoiceStart[s] up to stateChoiceStart[s + 1], the entries of row
     * c are choiceTransitionStart[c] up to choiceTransitionStart[c + 1], with their successor
     * states in transitionTarget and their probabilities in values (from
     * TransitionValue.array). Target and zero states are bitsets of ceil(n / 64) words; zero
     * may be null. The library takes the arrays' lengths on trust: they are checked here.
     */
    public static SparseMdp model(long[] stateChoiceStart, long[] choiceTransitionStart,
            long[] transitionTarget, TransitionValue[] values, long[] targetStates,
            long[] zeroStates) {
        int states = stateChoiceStart.length - 1;
        int words = (states + 63) / 64;
        if (states < 1) {
            throw new IllegalArgumentException("stateChoiceStart needs one entry per state and one more");
        }
        long choices = stateChoiceStart[states];
        if (choices < 0 || choices >= choiceTransitionStart.length) {
            throw new IllegalArgumentException("stateChoiceStart ends at choice " + choices
                    + ", but choiceTransitionStart has " + choiceTransitionStart.length + " entries");
        }
        if (values.length != transitionTarget.length || (values.length > 0
                && !values[values.length - 1].getPointer().equals(
                        values[0].getPointer().share(16L * (values.length - 1))))) {
            throw new IllegalArgumentException(
                    "values must be one TransitionValue.array with an entry per transition target");
        }
        if (targetStates.length < words || (zeroStates != null && zeroStates.length < words)) {
            throw new IllegalArgumentException(states + " states need " + words
                    + " words in each state set");
        }
        SparseMdp model = new SparseMdp();
        model.IsRational = 1;
        model.StateCount = states;
        model.ZeroStates = zeroStates == null ? null : model.keep(words(zeroStates));
        model.TargetStates = model.keep(words(targetStates));
        model.StateChoiceStart = model.keep(words(stateChoiceStart));
        model.ChoiceCount = choices;
        model.ChoiceTransitionStart = model.keep(words(choiceTransitionStart));
        model.TransitionCount = transitionTarget.length;
        model.TransitionTarget = model.keep(words(transitionTarget));
        model.TransitionValues = values.length == 0 ? null : values[0].getPointer();
        model.arrays.add(values);
        return model;
    }

    /**
     * The rewards of a model's choices, one per choice in the order of its choices (from
     * TransitionValue.array, made with fraction or stored): what taking the choice earns, the
     * state's own reward and the choice's expected transition reward included.
     * @throws IllegalArgumentException when the count differs from the model's number of choices
     */
    public static SparseRewards rewards(SparseMdp model, TransitionValue[] values) {
        if (values.length != model.ChoiceCount || (values.length > 0
                && !values[values.length - 1].getPointer().equals(
                        values[0].getPointer().share(16L * (values.length - 1))))) {
            throw new IllegalArgumentException("the rewards must be one TransitionValue.array with "
                    + model.ChoiceCount + " entries, one per choice, not " + values.length);
        }
        SparseRewards rewards = new SparseRewards();
        rewards.ChoiceRewards = values.length == 0 ? null : values[0].getPointer();
        rewards.ChoiceCount = values.length;
        rewards.values = values;
        return rewards;
    }

    /** One call's answer: the returned record, the output locations and the messages. */
    public record Result(double lower, double upper, int status, long iterations,
            double achievedPrecision, List<String> messages) {}

    /** {@link #compute(Api, SparseMdp, IterationOptions, String, IntByReference)} with an
     * empty property name and no abort flag of the caller's. */
    public static Result compute(Api library, SparseMdp model, IterationOptions options) {
        return compute(library, model, options, "", null);
    }

    /**
     * Calls IntervalIteration with fresh output locations and collects the messages as
     * "severity: text" (0 error, 1 warning, 2 information), with "{0}" replaced by
     * propertyName. The call stops with STATUS_STOPPED once abort (may be null) is set to
     * nonzero, or once the calling thread is interrupted: the library then runs on a worker
     * thread while this one waits; an interruption raises the abort flag, waits for the
     * library to stop at its next poll, and is kept as the thread's interrupt status.
     * @throws IllegalArgumentException for an Epsilon that is NaN or negative
     */
    public static Result compute(Api library, SparseMdp model, IterationOptions options,
            String propertyName, IntByReference abort) {
        return run(options, propertyName, abort, (iterations, achieved, callback, flag) ->
                library.IntervalIteration(model, options, iterations, achieved,
                        new IntByReference(0), callback, flag));
    }

    /**
     * Calls ExpectedRewardIteration: bounds on the minimal or maximal expected total reward
     * earned from state 0 until a target is reached, with rewards from {@link #rewards}. The
     * host has removed the states whose expected reward is infinite and, for a minimum,
     * collapsed the end components that earn nothing. Until the library certifies an upper
     * bound the upper bound is infinite; an information message says when it does. Messages,
     * abort and interruption as for
     * {@link #compute(Api, SparseMdp, IterationOptions, String, IntByReference)}.
     * @throws IllegalArgumentException for an Epsilon that is NaN or negative
     */
    public static Result computeExpectedReward(Api library, SparseMdp model, SparseRewards rewards,
            IterationOptions options, String propertyName, IntByReference abort) {
        return run(options, propertyName, abort, (iterations, achieved, callback, flag) ->
                library.ExpectedRewardIteration(model, rewards, options, iterations, achieved,
                        new IntByReference(0), callback, flag));
    }

    /** One call of the library with fresh output locations. */
    private interface Call {
        IterationResult.ByValue run(LongByReference iterations, DoubleByReference achieved,
                MessageCallback callback, IntByReference abort);
    }

    private static Result run(IterationOptions options, String propertyName,
            IntByReference abort, Call call) {
        if (!(options.Epsilon >= 0)) {
            throw new IllegalArgumentException("Epsilon must be a number >= 0, not " + options.Epsilon);
        }
        String name = propertyName == null ? "" : propertyName;
        List<String> messages = new ArrayList<>();
        MessageCallback callback = (context, text, severity) -> messages.add(
                (severity == 0 ? "error" : severity == 1 ? "warning" : "information") + ": "
                        + text.replace("{0}", name));
        LongByReference iterations = new LongByReference();
        DoubleByReference achieved = new DoubleByReference();
        IntByReference flag = abort != null ? abort : new IntByReference(0);
        IterationResult.ByValue[] answer = new IterationResult.ByValue[1];
        Throwable[] failure = new Throwable[1];
        Thread worker = new Thread(() -> {
            try {
                answer[0] = call.run(iterations, achieved, callback, flag);
            } catch (Throwable thrown) {
                failure[0] = thrown;
            }
        }, "IntervalIteration");
        worker.setDaemon(true);
        worker.start();
        boolean interrupted = false;
        while (true) {
            try {
                worker.join();
                break;
            } catch (InterruptedException interruption) {
                interrupted = true;
                flag.setValue(1);
            }
        }
        Reference.reachabilityFence(callback);
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
        if (failure[0] != null) {
            throw new IllegalStateException("the library call failed", failure[0]);
        }
        IterationResult.ByValue result = answer[0];
        return new Result(result.Lower, result.Upper, result.Status, iterations.getValue(),
                achieved.getValue(), messages);
    }
}
