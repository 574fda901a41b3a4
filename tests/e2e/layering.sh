#!/usr/bin/env bash
# Only platform/ (and the GTK and Win32 front ends, by nature) include
# operating-system headers; the layers above it stay portable.
root=$(cd "$(dirname "$0")/../.." && pwd)
os_headers='#[[:space:]]*include[[:space:]]*<(unistd|fcntl|termios|poll|dlfcn|netdb|io|conio|windows|winsock2?|ws2tcpip|signal|(sys|arpa|netinet)/[^>]*)\.h>'
if found=$(grep -rnE "$os_headers" "$root"/{app,passthru,services,link} --include='*.cpp' --include='*.h' |
  grep -vE "^$root/app/(gtk|win32)/"); then
  echo "OS headers above platform/:"; echo "$found"; exit 1
fi
echo "layering: no OS header above platform/"
