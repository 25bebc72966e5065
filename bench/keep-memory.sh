# Sourced by the benchmarks, after their EXIT trap is set (which runs
# restore_memory):  keep_memory COPIES SIZE_MIB...  where one run writes COPIES
# files of the largest size.
# A VM that reports freed pages to its host (free page reporting) gives them
# back to it at once, and the next run that writes pays again for every page it
# takes: here 0.4 to 3 s per GiB, more than the work measured, and at random,
# so most of the spread between runs. Where the knob exists (root), pages freed
# during the run stay with the VM for five minutes (the knob's longest), and
# the pages already given back are taken again once, here, four times what one
# run writes: the allocator takes the pages it has kept before those it gave
# back. BENCH_KEEP_MEMORY=0 leaves the VM as it is. memory_note says which, for
# the caller's table.
reporting_knob=/sys/module/page_reporting/parameters/min_free_ms
reporting_was=
keep_memory() {
  local copies=$1 largest
  shift
  largest=$(printf '%s\n' "$@" | sort -n | tail -n1)
  if [ "${BENCH_KEEP_MEMORY:-1}" = 1 ] && [ -w "$reporting_knob" ]; then
    reporting_was=$(cat "$reporting_knob")
    echo 300000 > "$reporting_knob"
    python3 -c 'import sys; b = bytearray(int(sys.argv[1]) << 20); b[::4096] = bytes(len(b) // 4096)' \
      "$((largest * copies * 4 + 1024))"
  fi
}
restore_memory() {
  if [ -n "$reporting_was" ]; then echo "$reporting_was" > "$reporting_knob"; fi
}
memory_note() {
  if [ -n "$reporting_was" ]; then
    echo "Freed pages kept from the VM's host during the run ($reporting_knob: 300000 instead of $reporting_was)."
  elif [ -e "$reporting_knob" ]; then
    echo "Freed pages went back to the VM's host as they were freed (BENCH_KEEP_MEMORY=0 or not root)."
  fi
}
