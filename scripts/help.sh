# Sourced by every script before it does anything: with -h or --help as the first argument,
# prints the script's header comment (what it does and its arguments) and exits.
case "${1:-}" in
  -h | --help)
    sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
    exit 0
    ;;
esac
