# Sourced by scripts/setup and scripts/build: shows how far a long, otherwise quiet step has got.
# On a terminal one line is redrawn in place; in a log (CI) a line is printed every few seconds,
# so the output neither floods nor falls silent for minutes.

progress_last=-1000
progress_drawn=

progress_show() {
  if [ -t 2 ]; then
    printf '\r\033[K%s' "$1" >&2
    progress_drawn=1
    return
  fi
  local now
  printf -v now '%(%s)T' -1
  if ((now - progress_last >= 5)); then
    printf '%s\n' "$1" >&2
    progress_last=$now
  fi
}

progress_clear() {
  [ -n "$progress_drawn" ] && printf '\r\033[K' >&2
  progress_drawn=
}

# Reads apt's status lines (APT::Status-Fd): "dlstatus:N:PERCENT:TEXT" while fetching,
# "pmstatus:PACKAGE:PERCENT:TEXT" while unpacking and configuring. $1: how many packages come.
progress_apt() {
  local total=$1 installed=0 kind package percent text
  while IFS=: read -r kind package percent text; do
    case $kind in
      dlstatus) progress_show "downloading packages: ${percent%%.*}% (${text})" ;;
      pmstatus)
        [[ $text == Installed* ]] && installed=$((installed + 1))
        progress_show "installing packages: [${installed}/${total}] ${percent%%.*}%" ;;
    esac
  done
  progress_clear
}

# Reads a build's output, keeps all of it in the file $1 for when it fails, and shows Ninja's
# "[done/total]" steps.
progress_build() {
  local log=$1 line
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    [[ $line =~ ^\[([0-9]+/[0-9]+)\] ]] && progress_show "building: [${BASH_REMATCH[1]}]"
  done
  progress_clear
}
