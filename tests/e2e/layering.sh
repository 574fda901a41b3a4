#!/usr/bin/env bash
# The layers, checked on every source file outside the test folders:
#   app/      -> app/, platform/, the public header, and of the core only
#                its app-facing header passthru/app_core.h
#   passthru/, services/ (the core, one layer) -> the core, link/, platform/
#   link/     -> link/, platform/
#   platform/ -> platform/
#   emulator/ -> emulator/, platform/ (the platform seam it plugs into;
#                it repeats the wire vocabulary rather than include link/)
# An include in the other direction fails. Besides, only platform/ (and the
# GTK and Win32 front ends, by nature) include operating-system headers.
root=$(cd "$(dirname "$0")/../.." && pwd)
status=0

allowed() {  # LAYER -> the include prefixes it may use (a regular expression)
  case $1 in
    app) echo '^(app/|platform/|passthru/app_core\.h$)' ;;
    passthru | services) echo '^(passthru/|services/|link/|platform/)' ;;
    link) echo '^(link/|platform/)' ;;
    platform) echo '^platform/' ;;
    emulator) echo '^(emulator/|platform/)' ;;
  esac
}

for layer in app passthru services link platform emulator; do
  rule=$(allowed "$layer")
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' <<<"${rest#*:}")
    case $target in */*) ;; *) continue ;; esac  # the public header, same-folder names
    if ! grep -qE "$rule" <<<"$target"; then
      echo "upward or sideways include: ${file#"$root"/}:$line includes $target"
      status=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$root/$layer" \
    --include='*.cpp' --include='*.h' --include='*.c' | grep -vE "^$root/[^:]*/tests/")
done

os_headers='#[[:space:]]*include[[:space:]]*<(unistd|fcntl|termios|poll|dlfcn|netdb|io|conio|windows|winsock2?|ws2tcpip|signal|(sys|arpa|netinet)/[^>]*)\.h>'
if found=$(grep -rnE "$os_headers" "$root"/{app,passthru,services,link} --include='*.cpp' --include='*.h' |
  grep -vE "^$root/app/(gtk|win32)/"); then
  echo "OS headers above platform/:"; echo "$found"; status=1
fi
[ "$status" = 0 ] && echo "layering: every include points down its layer; no OS header above platform/"
exit "$status"
