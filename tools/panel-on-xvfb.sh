# Sourced by the scripts that drive the real program on a private virtual X
# display (no window manager, so the window has no frame and sits where placed).

# An exported QT_QPA_PLATFORM (offscreen in test shells) would make the
# program draw nowhere that X can see.
unset QT_QPA_PLATFORM

# Centres of the controls in the client area, in pixels below the menu bar,
# read from the layout table by whorlgen-layout (built beside the program).
# A list box's rows are "<list>:<row>"; the DACs and the two buttons also go
# by their captions.
declare -A PANEL_POINT
panel_client_height=0
panel_load_layout() {
  local layout=$1 name left top width height rows row
  while read -r name left top width height rows; do
    PANEL_POINT[$name]="$((left + width / 2)) $((top + height / 2))"
    for ((row = 0; row < rows; ++row)); do
      PANEL_POINT[$name:$row]="$((left + width / 2)) $((top + height * (2 * row + 1) / (2 * rows)))"
    done
    [[ $name == client ]] && panel_client_height=$height
  done < <("$layout")
  PANEL_POINT[SoundCard]=${PANEL_POINT[lstDACSelect:0]}
  PANEL_POINT[EZLase]=${PANEL_POINT[lstDACSelect:1]}
  PANEL_POINT[RIYA]=${PANEL_POINT[lstDACSelect:2]}
  PANEL_POINT[Start]=${PANEL_POINT[cmdStart]}
  PANEL_POINT[Stop]=${PANEL_POINT[cmdStop]}
}

# Runs `bash <script> <args...>` on a new virtual display.
panel_on_xvfb() {
  xvfb-run -a -s "-screen 0 1024x768x24" bash "$@"
}

# Starts the program from its own directory and waits for its window.
# Sets panel_pid, panel_window and panel_menu (the menu bar's height).
panel_start() {
  local program=$1
  panel_load_layout "$(dirname "$program")/whorlgen-layout"
  cd "$(dirname "$program")"
  "$program" 2>/dev/null &
  panel_pid=$!
  trap 'kill "$panel_pid" 2>/dev/null || true; wait "$panel_pid" 2>/dev/null || true' EXIT
  # The title carries a note after a dash while there is one ("Whorlgen — 2 projectors").
  panel_window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Whorlgen($| —)' 2>/dev/null | head -n 1)
  if [[ -z $panel_window ]]; then
    echo "$(basename "$0"): the window did not appear within 30 s" >&2
    exit 1
  fi
  sleep 1  # let the first paint finish
  local height
  height=$(xdotool getwindowgeometry --shell "$panel_window" | sed -n 's/^HEIGHT=//p')
  panel_menu=$((height - panel_client_height))
}

# Clicks a control named in PANEL_POINT.
panel_click() {
  local x y
  read -r x y <<<"${PANEL_POINT[$1]}"
  xdotool mousemove --window "$panel_window" "$x" $((panel_menu + y)) click 1
}

# Measures the program's CPU time over `seconds` of wall time and prints
# "<label>: <cpu> s CPU in <wall> s = <share> % of one core".
panel_cpu_share() {
  local label=$1 seconds=$2
  local ticks_per_s start_ticks end_ticks start_ns end_ns
  ticks_per_s=$(getconf CLK_TCK)
  start_ticks=$(awk '{ print $14 + $15 }' "/proc/$panel_pid/stat")
  start_ns=$(date +%s%N)
  sleep "$seconds"
  end_ticks=$(awk '{ print $14 + $15 }' "/proc/$panel_pid/stat")
  end_ns=$(date +%s%N)
  awk -v t=$((end_ticks - start_ticks)) -v hz="$ticks_per_s" -v ns=$((end_ns - start_ns)) \
    -v label="$label" 'BEGIN {
      cpu = t / hz; wall = ns / 1e9
      printf "%s: %.2f s CPU in %.2f s = %.2f %% of one core\n", label, cpu, wall, 100 * cpu / wall
    }'
}
