# Writes a text file for Windows users: LF line ends become CR LF, which every
# Windows editor shows. Usage: cmake -DIN=file -DOUT=file -P windows_text.cmake
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
