# Sourced by the benchmarks, after their EXIT trap is set (which runs
# restore_memory):  keep_memory COPIES SIZE_MIB...  where one run writes COPIES
# files of the largest size.
# A VM that reports freed pages to its host (free page reporting) gives them
# back to it at once, and the next run that writes pays again for every page it
# takes: here 0.4 to 3 s per GiB, more than the work measured, and at random,
# so most of the spread between runs. Where the knobs exist (root), pages freed
# during the run stay with the VM for five minutes (min_free_ms, at its
# longest) up to four times what one run writes (max_waiting_mib: beyond it,
# and by default beyond 1 GiB, they go back at once), and the pages already
# given back are taken again once, here: the allocator takes the pages it has
# kept before those it gave back. A bench longer than five minutes would still
# meet pages given back since its start: refresh_memory MIB, before a run
# (once a minute, and before the first of a larger size), takes and frees
# twice what the run writes, outside the time measured. BENCH_KEEP_MEMORY=0
# leaves the VM as it is. memory_note says which, for the caller's table.
reporting_knob=/sys/module/page_reporting/parameters/min_free_ms
waiting_knob=/sys/module/page_reporting/parameters/max_waiting_mib
reporting_was=
waiting_was=
keep_memory() {
  local copies=$1 largest kept
  shift
  largest=$(printf '%s\n' "$@" | sort -n | tail -n1)
  kept=$((largest * copies * 4 + 1024))
  if [ "${BENCH_KEEP_MEMORY:-1}" = 1 ] && [ -w "$reporting_knob" ]; then
    reporting_was=$(cat "$reporting_knob")
    echo 300000 > "$reporting_knob"
    # However long they have been free, no more than this many MiB wait.
    if [ -w "$waiting_knob" ]; then
      waiting_was=$(cat "$waiting_knob")
      echo "$kept" > "$waiting_knob"
    fi
    export BENCH_MEMORY_KEPT=1
    touch_memory "$kept"
  fi
}
touch_memory() {
  python3 -c 'import sys; b = bytearray(int(sys.argv[1]) << 20); b[::4096] = bytes(len(b) // 4096)' "$1"
}
# Once a minute, or at once for a larger run: the pages taken then are kept
# for five more minutes.
memory_refreshed=$SECONDS
memory_refreshed_mib=0
refresh_memory() {
  local wanted=$(($1 * 2))
  if [ "${BENCH_MEMORY_KEPT:-0}" = 1 ] &&
    { [ $((SECONDS - memory_refreshed)) -ge 60 ] || [ "$wanted" -gt "$memory_refreshed_mib" ]; }; then
    touch_memory "$wanted"
    memory_refreshed=$SECONDS memory_refreshed_mib=$wanted
  fi
}
restore_memory() {
  if [ -n "$reporting_was" ]; then echo "$reporting_was" > "$reporting_knob"; fi
  if [ -n "$waiting_was" ]; then echo "$waiting_was" > "$waiting_knob"; fi
}
memory_note() {
  if [ -n "$reporting_was" ]; then
    echo "Freed pages kept from the VM's host during the run ($reporting_knob: 300000 instead of $reporting_was${waiting_was:+; max_waiting_mib: $(cat "$waiting_knob") instead of $waiting_was})."
  elif [ -e "$reporting_knob" ]; then
    echo "Freed pages went back to the VM's host as they were freed (BENCH_KEEP_MEMORY=0 or not root)."
  fi
}
