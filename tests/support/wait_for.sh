# Sourced by the test scripts: wait_for SECONDS COMMAND... runs COMMAND every 0.1 s until it
# succeeds (0) or SECONDS have passed (1), so that every wait of a script has its bound.
wait_for() {
  local tries=$(($1 * 10)); shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}
