#!/bin/sh
# Compiles the Java binding with its test and runs the test, then the guide's
# Java host, against the built library.
#   run-java-tests.sh SOURCE_DIR LIBRARY JNA_JAR
set -eu
source=$1
library=$2
jna=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
javac -Xlint:all -Werror -d "$work/classes" -cp "$jna" \
    "$source/bindings/java/intervaliteration/IntervalIteration.java" \
    "$source/tests/bindings/JavaBindingTest.java"
java -cp "$jna:$work/classes" JavaBindingTest "$library"
sh "$source/tests/docs/run-guide-examples.sh" "$source" "$library" java "$jna"
