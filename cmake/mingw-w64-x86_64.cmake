# Cross-building for 64-bit Windows with Debian's MinGW-w64; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(npc_mingw x86_64-w64-mingw32)
# The posix thread model, whatever the system's default: GoogleTest and the test library need
# std::mutex and std::thread, which the win32 model of this compiler lacks. The host itself starts
# its worker with CreateThread either way.
set(CMAKE_C_COMPILER ${npc_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${npc_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${npc_mingw}-windres)

# Libraries, headers and CMake packages come from the MinGW tree (and the prefixes given on the
# command line, such as a cross-built Jansson), never from the Linux system.
set(CMAKE_FIND_ROOT_PATH /usr/${npc_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config, too, would otherwise offer the Linux system's packages.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${npc_mingw}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The C++ runtime and libgcc are linked in, so a Windows machine needs no MinGW DLLs beside the
# host: it imports only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

find_program(NPC_WINE wine)
if(NPC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NPC_WINE})
endif()
