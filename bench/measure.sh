# Sourced by the benchmark scripts. Needs $work (a scratch folder) and
# $runs set by the caller.
#
# Runs "$@" RUNS times; prints "best_wall_s max_rss_mb best_cpu_s" (cpu =
# user + system, which other load on the machine disturbs less than wall).
measure() {
  local best="" cpu="" rss=0 log="$work/time.log"
  for _ in $(seq "$runs"); do
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$work/stderr.log" || {
      echo "failed: $*" >&2; cat "$work/stderr.log" >&2; exit 1; }
    local wall kb c
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$log")
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    c=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$log")
    if [ -z "$cpu" ] || awk "BEGIN{exit !($c < $cpu)}"; then cpu=$c; fi
    if [ -z "$best" ] || awk "BEGIN{exit !($wall < $best)}"; then best=$wall; fi
    [ "$kb" -gt "$rss" ] && rss=$kb
  done
  echo "$best $((rss / 1024)) $cpu"
}
