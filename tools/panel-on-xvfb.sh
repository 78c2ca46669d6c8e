# Sourced by the scripts that drive the real program on a private virtual X
# display (no window manager, so the window has no frame and sits where placed).

# An exported QT_QPA_PLATFORM (offscreen in test shells) would make the
# program draw nowhere that X can see.
unset QT_QPA_PLATFORM

# Centres of the controls in the client area, in pixels below the menu bar,
# from the layout table.
declare -A PANEL_POINT=(
  [SoundCard]="76 359" [EZLase]="76 373" [RIYA]="76 387"
  [Start]="416 288" [Stop]="296 288"
)

# Runs `bash <script> <args...>` on a new virtual display.
panel_on_xvfb() {
  xvfb-run -a -s "-screen 0 1024x768x24" bash "$@"
}

# Starts the program from its own directory and waits for its window.
# Sets panel_pid, panel_window and panel_menu (the menu bar's height).
panel_start() {
  local program=$1
  cd "$(dirname "$program")"
  "$program" 2>/dev/null &
  panel_pid=$!
  trap 'kill "$panel_pid" 2>/dev/null || true; wait "$panel_pid" 2>/dev/null || true' EXIT
  if ! panel_window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Whorlgen$' | head -n 1); then
    echo "$(basename "$0"): the window did not appear within 30 s" >&2
    exit 1
  fi
  sleep 1  # let the first paint finish
  local height
  height=$(xdotool getwindowgeometry --shell "$panel_window" | sed -n 's/^HEIGHT=//p')
  panel_menu=$((height - 599))
}

# Clicks a control named in PANEL_POINT.
panel_click() {
  local x y
  read -r x y <<<"${PANEL_POINT[$1]}"
  xdotool mousemove --window "$panel_window" "$x" $((panel_menu + y)) click 1
}
