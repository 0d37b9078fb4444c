# The Windows test programs the Wine checks run beside the program under test, built
# once with the x86_64 MinGW compilers into build/linux/wine-probes/ (a Wine without its
# 32-bit half runs only these). The checks find them there (KQ_WINE_PROBES).
#
#   kq_wine_probe(NAME C|CXX SOURCES... [LIBS flags...])   sources relative to the repository
set(KQ_WINE_PROBES ${CMAKE_BINARY_DIR}/wine-probes)
find_program(KQ_MINGW64_CC x86_64-w64-mingw32-gcc)
find_program(KQ_MINGW64_CXX x86_64-w64-mingw32-g++-posix)
# The C++ probes compile sources of the Windows backend: any of its headers may change them.
file(GLOB KQ_PROBE_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.h ${CMAKE_SOURCE_DIR}/src/*/*.h
     ${CMAKE_SOURCE_DIR}/src/platform/win32/*.h)
set(KQ_PROBE_FILES "")
function(kq_wine_probe name language)
  cmake_parse_arguments(P "" "" "LIBS" ${ARGN})
  if(language STREQUAL CXX)
    set(compiler ${KQ_MINGW64_CXX} -std=c++17 -I${CMAKE_SOURCE_DIR}/src)
  else()
    set(compiler ${KQ_MINGW64_CC})
  endif()
  list(TRANSFORM P_UNPARSED_ARGUMENTS PREPEND ${CMAKE_SOURCE_DIR}/)
  set(out ${KQ_WINE_PROBES}/${name}.exe)
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${KQ_WINE_PROBES}
                     COMMAND ${compiler} -O2 -o ${out} ${P_UNPARSED_ARGUMENTS} ${P_LIBS}
                     DEPENDS ${P_UNPARSED_ARGUMENTS} ${KQ_PROBE_HEADERS}
                     COMMENT "Wine test program ${name}.exe" VERBATIM)
  set(KQ_PROBE_FILES ${KQ_PROBE_FILES} ${out} PARENT_SCOPE)
endfunction()

if(KQ_MINGW64_CC AND KQ_MINGW64_CXX)
  set(E tests/e2e)
  set(W src/platform/win32)
  # The main probe: the client size, close, a posted command, a box's text, the desktop.
  kq_wine_probe(wine_probe C ${E}/wine_probe.c)
  # The MAC dialog's New: field measured against its font.
  kq_wine_probe(wine_mac_probe C ${E}/wine_mac_probe.c LIBS -lgdi32)
  # A shortcut read back through the shell's link interface.
  kq_wine_probe(wine_lnk_probe C ${E}/wine_lnk_probe.c LIBS -municode -lole32 -luuid)
  # kqclean's checks: registry keys and files as a driver installation leaves them.
  kq_wine_probe(kqclean_helper C ${E}/kqclean_helper.c LIBS -ladvapi32)
  # kqsim's interfaces as SetupDi lists them, and one exchange through CreateFile.
  kq_wine_probe(kqsim_wine_probe C ${E}/kqsim_wine_probe.c LIBS -lsetupapi)
  # The Windows backend below the seam: the record's folder, and the pipes.
  kq_wine_probe(wine_record CXX ${E}/wine_record.cpp ${W}/record_files.cpp ${W}/logfile.cpp
                LIBS -ladvapi32 -lshell32 -static)
  kq_wine_probe(wine_pipes CXX ${E}/wine_pipes.cpp ${W}/system.cpp ${W}/devices.cpp LIBS -lsetupapi -static)
  add_custom_target(wine_probes ALL DEPENDS ${KQ_PROBE_FILES})
endif()
