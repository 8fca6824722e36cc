# The release shape of the Windows build: byte-for-byte reproducible outputs
# and a small Dormex.dll that brings no C runtime into the host's process.

# --- Reproducible bytes ------------------------------------------------------
# The checkout's and the build's directories never reach a binary, and the
# linker writes no build time into the PE header.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-fno-ident>")
add_link_options(-Wl,--no-insert-timestamp -Wl,--build-id=none)

# --- The version, set once by project() ---------------------------------------
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
  ${CMAKE_BINARY_DIR}/generated/dormex_version.h @ONLY)

# Gives `dll` (built from the objects of `core` and its own sources) the
# release shape: -Os with link-time optimisation, unused sections dropped, our
# own entry point instead of the C runtime's start-up, and only the system
# DLLs the plug-in calls itself. Hardened for the host's process: stack cookies
# against the DLL's own guard, no SEH handlers (flagged NO_SEH, so there is no
# SafeSEH table to keep), and the GUI subsystem, as the DLL has no console.
# Its header names Windows XP (5.1), the oldest Windows that has every function
# it imports.
function(dormex_small_dll dll core)
  set(flags -Os -flto -ffunction-sections -fdata-sections
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fstack-protector-strong
    # Arrays at the alignment the ABI asks, not padded to 32 bytes for vector code
    # the DLL never runs.
    -malign-data=abi
    # No frame pointer: a stack walk in a crash dump of the host has nothing of
    # ours to go by anyway (the DLL is stripped), and it keeps the DLL within its size.
    -fomit-frame-pointer)
  target_compile_options(${core} PRIVATE ${flags})
  target_compile_options(${dll} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${flags}>)
  target_sources(${dll} PRIVATE
    ${PROJECT_SOURCE_DIR}/src/platform/entry_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/memory_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/crt_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/stack_guard_win32.cpp)
  # The C functions and the cookie's guard must stay plain symbols the linker
  # can always resolve.
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/platform/crt_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/stack_guard_win32.cpp PROPERTIES
    COMPILE_OPTIONS "-fno-lto;-fno-tree-loop-distribute-patterns")
  target_include_directories(${dll} PRIVATE ${CMAKE_BINARY_DIR}/generated)
  # No runtime start-up means no pseudo-relocations either: refuse any at link time.
  # Link-time optimisation generates the code at link time, so the flags that
  # shape it are given again there (not -fdata-sections: the zeroed data would
  # then take room in the file).
  target_link_options(${dll} PRIVATE -Os -flto -ffunction-sections -malign-data=abi -fomit-frame-pointer -nostartfiles -nodefaultlibs
    -Wl,--gc-sections -Wl,-e,_DllMainCRTStartup@12 -Wl,--disable-runtime-pseudo-reloc
    -Wl,--no-seh -Wl,--subsystem,windows:5.1 -Wl,--major-os-version,5 -Wl,--minor-os-version,1)
  # The release DLL is stripped; the map beside it in the build tree says
  # where each function lies, for tools/check-dll.sh.
  target_link_options(${dll} PRIVATE
    -Wl,-Map,$<TARGET_FILE_DIR:${dll}>/$<TARGET_FILE_BASE_NAME:${dll}>.map)
  target_link_libraries(${dll} PRIVATE kernel32 user32 shell32 ole32 gcc)

endfunction()

# Fails the configuration unless the Windows headers, asked for Windows XP as
# the DLL's sources ask, refuse a function XP lacks: the guard that keeps the
# DLL's calls to XP's own would otherwise be gone without a sound.
function(dormex_expect_xp_headers)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_DEFINITIONS -D_WIN32_WINNT=0x0501 -DWINVER=0x0501)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles("#include <windows.h>
int main() { return static_cast<int>(GetTickCount64()); }" DORMEX_XP_HEADERS_LET_VISTA_IN)
  if(DORMEX_XP_HEADERS_LET_VISTA_IN)
    message(FATAL_ERROR "The Windows headers declare GetTickCount64 (Vista) for _WIN32_WINNT 0x0501: "
      "they no longer keep the DLL to the functions Windows XP has")
  endif()
endfunction()
