# The shipped files, in dist/win32/ at the repository root (target `dist`):
#   runwarden.dll dirlaunch.dll varbridge.dll   the three DLLs, as linked
#   win32ext.h natives.h                        the public headers of runwarden
#   runwarden.dll.a                             import library for MinGW (GNU ld)
#   runwarden.lib                               import library for Visual C++ (link.exe, lld-link)
#
# The import libraries are built into the build tree (target runwarden_implibs,
# part of every build, so that tests link against this build's own copies) and
# `dist` copies them with the rest. They are made from runwarden.def, the same
# list the DLL is linked with, plus aliases that exist only in the import
# libraries and add nothing to the DLL's export table:
#   Win32Ext_GetProcessInformation@8 -> _GetProcessInformation@8
#       for callers whose <windows.h> declares KERNEL32's GetProcessInformation
#   numberOfChilds                   -> ?numberOfChilds@@YAKK@Z
#   JNU_GetFieldByName@20            -> ?JNU_GetFieldByName@@YG?ATjvalue@@...
#       the C names for callers that cannot produce Visual C++ names
#
# How each export is reached (symbol a caller references -> export name):
#   _Name@N (stdcall: natives, Win32Ext)  symbol _Name@N          -> _Name@N
#   plain (cdecl helpers)                 symbol _plain           -> plain
#   ?... (Visual C++ names)               symbol ?... (.lib only) -> ?...
# The DLL's stdcall exports keep their leading underscore (_Name@N, the form
# Visual C++ gives them), which MinGW's conventions do not produce from a plain
# .def entry, so each library gets a .def of its own, generated below:
#   - runwarden.dll.a: GNU dlltool, which takes the name to import from
#     `C-name == export-name`.
#   - runwarden.lib: lld-link given only a .def, which writes the import
#     library as Visual C++'s lib.exe does, with the .def read by Visual C++'s
#     rules (llvm-lib 14 reads no .def, and llvm-dlltool's MinGW rules can only
#     strip that leading underscore, never keep it). Its aliases are COFF weak
#     externals, as in the CRT's oldnames.lib; implib_safeseh.py marks them
#     SafeSEH-compatible (they hold no code), which LLVM 14 leaves out, so that
#     programs linked with /SAFESEH can use them.
if(NOT RW_WIN32)
  return()
endif()

if(CMAKE_DLLTOOL)
  set(RW_GNU_DLLTOOL ${CMAKE_DLLTOOL})
else()
  find_program(RW_GNU_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
endif()
find_program(RW_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(RW_PYTHON3 NAMES python3 REQUIRED)

set(RW_IMPLIB_DIR ${CMAKE_BINARY_DIR}/implib)
set(RW_IMPLIB_MINGW ${RW_IMPLIB_DIR}/runwarden.dll.a)
set(RW_IMPLIB_MSVC ${RW_IMPLIB_DIR}/runwarden.lib)
set(RW_PUBLIC_HEADERS ${CMAKE_SOURCE_DIR}/runwarden/procinfo/win32ext.h ${CMAKE_SOURCE_DIR}/runwarden/natives/natives.h)

# ---------------------------------------------------------------- the two .def files
set(rw_def ${CMAKE_SOURCE_DIR}/runwarden/runwarden.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rw_def})
# The exported names: the first word of every entry after EXPORTS (the part
# before `=` names the export, the part after it the function in the DLL).
file(STRINGS ${rw_def} rw_def_lines)
set(rw_exports "")
set(rw_in_exports OFF)
foreach(line IN LISTS rw_def_lines)
  if(line MATCHES "^[ \t]*EXPORTS[ \t]*$")
    set(rw_in_exports ON)
  elseif(rw_in_exports AND line MATCHES "^[ \t]*([^ \t=;]+)")
    list(APPEND rw_exports "${CMAKE_MATCH_1}")
  endif()
endforeach()

set(rw_aliases
  "Win32Ext_GetProcessInformation@8=_GetProcessInformation@8"
  "numberOfChilds=?numberOfChilds@@YAKK@Z"
  "JNU_GetFieldByName@20=?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z")

set(rw_mingw_def "LIBRARY runwarden.dll\nEXPORTS\n")
set(rw_msvc_def "LIBRARY runwarden.dll\nEXPORTS\n")
foreach(name IN LISTS rw_exports)
  if(name MATCHES "^_([A-Za-z0-9_]+@[0-9]+)$")      # stdcall, _Name@N
    string(APPEND rw_mingw_def "  ${CMAKE_MATCH_1} == ${name}\n")
    string(APPEND rw_msvc_def "  ${name}\n")
  elseif(name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")     # cdecl, plain
    string(APPEND rw_mingw_def "  ${name}\n")
    string(APPEND rw_msvc_def "  ${name}\n")
  elseif(name MATCHES "^\\?")                        # Visual C++ name: the aliases below give MinGW a C name
    string(APPEND rw_msvc_def "  ${name}\n")
  else()
    message(FATAL_ERROR "runwarden.def: export ${name} has a form the import libraries do not handle")
  endif()
endforeach()
foreach(pair IN LISTS rw_aliases)
  string(FIND "${pair}" "=" eq)
  string(SUBSTRING "${pair}" 0 ${eq} alias)
  math(EXPR eq "${eq} + 1")
  string(SUBSTRING "${pair}" ${eq} -1 target)
  if(NOT target IN_LIST rw_exports)
    message(FATAL_ERROR "import-library alias ${alias}: runwarden.def exports no ${target}")
  endif()
  string(APPEND rw_mingw_def "  ${alias} == ${target}\n")
  # Visual C++'s rules add the leading underscore only to names without an @.
  if(alias MATCHES "@")
    string(APPEND rw_msvc_def "  _${alias} == ${target}\n")
  else()
    string(APPEND rw_msvc_def "  ${alias} == ${target}\n")
  endif()
endforeach()
# Written only when changed, so that a re-run of cmake rebuilds nothing.
function(rw_write_if_changed path content)
  set(old "")
  if(EXISTS ${path})
    file(READ ${path} old)
  endif()
  if(NOT old STREQUAL content)
    file(WRITE ${path} "${content}")
  endif()
endfunction()
rw_write_if_changed(${RW_IMPLIB_DIR}/runwarden-mingw.def "${rw_mingw_def}")
rw_write_if_changed(${RW_IMPLIB_DIR}/runwarden-msvc.def "${rw_msvc_def}")

# ---------------------------------------------------------------- import libraries
add_custom_command(OUTPUT ${RW_IMPLIB_MINGW}
  COMMAND ${RW_GNU_DLLTOOL} --machine i386 --dllname runwarden.dll --input-def runwarden-mingw.def
          --output-lib ${RW_IMPLIB_MINGW}
  DEPENDS ${RW_IMPLIB_DIR}/runwarden-mingw.def
  WORKING_DIRECTORY ${RW_IMPLIB_DIR}
  COMMENT "Import library runwarden.dll.a (MinGW)"
  VERBATIM)
add_custom_command(OUTPUT ${RW_IMPLIB_MSVC}
  COMMAND ${RW_LLD_LINK} /nologo /machine:x86 /def:runwarden-msvc.def /out:${RW_IMPLIB_MSVC}
  COMMAND ${RW_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/implib_safeseh.py ${RW_IMPLIB_MSVC}
  DEPENDS ${RW_IMPLIB_DIR}/runwarden-msvc.def ${CMAKE_SOURCE_DIR}/cmake/implib_safeseh.py
  WORKING_DIRECTORY ${RW_IMPLIB_DIR}
  COMMENT "Import library runwarden.lib (Visual C++)"
  VERBATIM)
add_custom_target(runwarden_implibs ALL DEPENDS ${RW_IMPLIB_MINGW} ${RW_IMPLIB_MSVC})

# ---------------------------------------------------------------- dist/win32
set(RW_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/win32)
add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RW_DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          $<TARGET_FILE:runwarden> $<TARGET_FILE:dirlaunch> $<TARGET_FILE:varbridge>
          ${RW_PUBLIC_HEADERS} ${RW_IMPLIB_MINGW} ${RW_IMPLIB_MSVC} ${RW_DIST_DIR}
  DEPENDS runwarden dirlaunch varbridge runwarden_implibs
  COMMENT "dist/win32: DLLs, headers, import libraries"
  VERBATIM)
