# Shared by the scripts that run the program in a throw-away home.

# write_settings_including_every_speaker APP STATE_DIR
# Writes a settings file that includes every output of the built-in simulated room, so that a
# self-check or a screenshot tour has a whole group to work with.
write_settings_including_every_speaker() {
  local app=$1 state=$2 sep="" uid
  mkdir -p "$state"
  {
    printf '{"include": {'
    while read -r uid; do
      printf '%s"%s": true' "$sep" "$uid"
      sep=", "
    done < <("$app" --print-room-uids)
    printf '}, "offsets": {}, "names": {}, "measured": {}}\n'
  } >"$state/offsets.json"
}
