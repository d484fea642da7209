# Makes a text readable by Windows' own programs: backspace sequences (groff's overstriking: a
# character, a backspace and the character to show) reduced to what they show, and every line
# ended with CR LF.
#   cmake -DIN=<file> -DOUT=<file> -P cmake/windows_text.cmake
file(READ "${IN}" text)
string(ASCII 8 bs)
string(ASCII 13 cr)
string(REGEX REPLACE "[^\n]${bs}" "" text "${text}")
string(REPLACE "${cr}\n" "\n" text "${text}")
string(REPLACE "\n" "${cr}\n" text "${text}")
file(WRITE "${OUT}" "${text}")
