# Writes the file IN as a C array named NAME into OUT, so that vkweb serves
# its style sheet and script from memory: after it has dropped its
# privileges it reads no file at all.
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}" "extern \"C\" const char ${NAME}[] = {${bytes}0x00};\n")
