# shellcheck shell=bash
# Quiet stages for scripts/test and scripts/demo: one line per stage, the
# stage's full output in a log file, the end of that log shown when the stage
# fails, and a progress line whenever a stage has been silent for a while.
# Sourced by the scripts.
#
# Environment: TRKLIB_PROGRESS_INTERVAL_S (seconds of silence before a
# progress line, default 20).

trklib_progress_interval_s=${TRKLIB_PROGRESS_INTERVAL_S:-20}
# Lines of a stage's log shown when the stage fails.
trklib_failure_tail_lines=40

# Microseconds since the epoch: finer than $SECONDS, whose whole seconds can
# tick a moment after a stage began.
trklib_now_us() {
    echo "${EPOCHREALTIME//[!0-9]/}"
}

# True when the interval has passed since the time LAST_US.
trklib_interval_passed() {
    (($(trklib_now_us) - $1 >= trklib_progress_interval_s * 1000000))
}

# trklib_run_logged LOG COMMAND...: runs the command (a program or a shell
# function) with its output appended to LOG. Meanwhile, after every
# interval without a progress line, prints the latest build step of the log
# (a line starting with "[ NN%]", else the log's last line). On failure,
# prints the end of LOG. Returns the command's status.
trklib_run_logged() {
    local log=$1
    shift
    "$@" >>"$log" 2>&1 &
    local pid=$! last status=0 step
    last=$(trklib_now_us)
    while kill -0 "$pid" 2>/dev/null; do
        sleep 0.5
        if trklib_interval_passed "$last"; then
            step=$(grep -E '^\[ *[0-9]+%\]' "$log" | tail -n 1 || true)
            [[ -n $step ]] || step=$(tail -n 1 "$log")
            echo "   ... ${step:0:110}"
            last=$(trklib_now_us)
        fi
    done
    wait "$pid" || status=$?
    if ((status != 0)); then
        echo "   failed (exit status $status); the last $trklib_failure_tail_lines lines of $log:"
        tail -n "$trklib_failure_tail_lines" "$log" | sed 's/^/   | /'
    fi
    return "$status"
}

# trklib_watch_tests: copies ctest's output (standard input) to standard
# output and, after every interval without a line, names the tests that have
# started and not finished, with their running times. Reads ctest's
# "Start N: NAME" and "N/M Test #N: NAME ..." lines.
trklib_watch_tests() {
    local -A started=()
    local line='' partial='' status last name running
    last=$(trklib_now_us)
    while :; do
        status=0
        IFS= read -r -t 1 line || status=$?
        if ((status > 128)); then
            # Timed out: keep what came of an unfinished line.
            partial+=$line
            if ((${#started[@]} > 0)) && trklib_interval_passed "$last"; then
                running=''
                for name in "${!started[@]}"; do
                    running+="${running:+, }$name ($((SECONDS - started[$name])) s)"
                done
                echo "   ... still running: $running"
                last=$(trklib_now_us)
            fi
            continue
        fi
        line=$partial$line
        partial=''
        if ((status != 0)) && [[ -z $line ]]; then
            return 0
        fi
        if [[ $line =~ ^\ *Start\ +[0-9]+:\ +([^ ]+) ]]; then
            started[${BASH_REMATCH[1]}]=$SECONDS
        elif [[ $line =~ ^\ *[0-9]+/[0-9]+\ +Test\ +#[0-9]+:\ +([^ ]+) ]]; then
            unset "started[${BASH_REMATCH[1]}]"
        fi
        printf '%s\n' "$line"
        last=$(trklib_now_us)
        ((status == 0)) || return 0
    done
}
