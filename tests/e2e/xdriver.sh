# Driving the real program's windows from outside with xdotool: sourced by
# the journeys. $WID is the window clicks and typing go to.

# The visible window of the given size (536x245 connection, 512x529 selection).
window_of_size() {
  local want="$1" wid
  for _ in $(seq 1 100); do
    for wid in $(xdotool search --onlyvisible --name '^Norvale$' 2>/dev/null); do
      eval "$(xdotool getwindowgeometry --shell "$wid")"
      if [ "${WIDTH}x${HEIGHT}" = "$want" ]; then echo "$wid"; return 0; fi
    done
    sleep 0.1
  done
  return 1
}
click() { xdotool mousemove --window "$WID" "$1" "$2" click 1; sleep 0.3; }
type_into() {  # x y text: click the box, replace its text
  click "$1" "$2"
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 5 "$3"
  sleep 0.2
}
# The X server may still be tidying up after the last program closed; start
# the next one only once the display takes connections again.
display_ready() {
  for _ in $(seq 1 100); do xdotool getmouselocation >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# About one start in a hundred opens the maker's web site through xdg-open,
# and a machine without it answers with an error box that would stand in the
# journey's way: the program finds a browser that opens nothing.
NORVALE_BROWSER_STUB="$(mktemp -d /tmp/norvale-browser.XXXXXX)"
printf '#!/bin/sh\nexit 0\n' > "$NORVALE_BROWSER_STUB/xdg-open"
chmod +x "$NORVALE_BROWSER_STUB/xdg-open"
export PATH="$NORVALE_BROWSER_STUB:$PATH"
