# velmora.exe: GUI subsystem (no console), wWinMain, statically linked so that it imports only
# system DLLs, with its icon, version record and manifest.
enable_language(RC)

set(VELMORA_VERSION ${PROJECT_VERSION})
set(VELMORA_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(VELMORA_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(VELMORA_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(VELMORA_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
set(VELMORA_RES_DIR ${PROJECT_SOURCE_DIR}/res)
configure_file(res/velmora.rc.in ${PROJECT_BINARY_DIR}/velmora.rc @ONLY)

# Same source, same bytes: ld would otherwise stamp the link time into the PE header (and so
# into the checksum). This holds for keytrace in tools/ too.
if(NOT MSVC)
  add_link_options(-Wl,--no-insert-timestamp)
endif()

add_executable(velmora WIN32 ${PROJECT_BINARY_DIR}/velmora.rc)
set_source_files_properties(${PROJECT_BINARY_DIR}/velmora.rc PROPERTIES
  OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/res/velmora.ico;${PROJECT_SOURCE_DIR}/res/velmora.manifest")
# wWinMain lives in the app library; with MinGW, -municode makes the CRT call it and
# --undefined pulls it out of the library.
target_link_libraries(velmora PRIVATE velmora_app)
if(MSVC)
  # The manifest comes from res/velmora.rc; the linker must not add a second one.
  target_link_options(velmora PRIVATE /MANIFEST:NO)
else()
  target_link_options(velmora PRIVATE
    -municode -mwindows -static -static-libgcc -static-libstdc++ -s
    -Wl,--nxcompat -Wl,--dynamicbase -Wl,--high-entropy-va
    -Wl,--undefined=wWinMain)
endif()

# The test and measuring tools use MinGW-w64 options; they come with the cross-build.
if(MINGW AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

enable_testing()
find_program(BASH bash REQUIRED)
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/exe/check_exe.sh)
  # keytrace and velmora-check ship beside velmora.exe, so their imports are held to the same lists.
  add_test(NAME exe_resources_and_imports
    COMMAND ${BASH} ${PROJECT_SOURCE_DIR}/tests/exe/check_exe.sh $<TARGET_FILE:velmora>
            $<$<TARGET_EXISTS:keytrace>:$<TARGET_FILE:keytrace>>
            $<$<TARGET_EXISTS:velmora-check>:$<TARGET_FILE:velmora-check>>)
endif()

# The same bytes again from a copy of the source elsewhere, built later: about 30 s.
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/exe/reproducible.sh AND TARGET keytrace AND TARGET velmora-check)
  add_test(NAME reproducible_build
    COMMAND ${BASH} ${PROJECT_SOURCE_DIR}/tests/exe/reproducible.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
            ${PROJECT_BINARY_DIR}/reproducible $<TARGET_FILE:velmora> $<TARGET_FILE:keytrace>
            $<TARGET_FILE:velmora-check>)
  set_tests_properties(reproducible_build PROPERTIES TIMEOUT 600)
endif()

# burst_typer: the Wine tests' stand-in for a program that types a burst in one SendInput call.
# Test-only: it ships in no package. Static, like keytrace.
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/e2e/burst_typer.cpp)
  add_executable(burst_typer ${PROJECT_SOURCE_DIR}/tests/e2e/burst_typer.cpp)
  target_compile_definitions(burst_typer PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  target_compile_options(burst_typer PRIVATE -municode -fno-exceptions -fno-rtti)
  target_link_options(burst_typer PRIVATE -municode -static -static-libgcc -static-libstdc++)
  target_link_libraries(burst_typer PRIVATE user32)
endif()

# The real executable under Wine, observed by keytrace, and velmora-check run against it: one pytest
# run over tests/e2e (about six minutes). It writes nothing into the source tree: no cache, no
# bytecode.
find_program(PYTEST NAMES pytest-3 pytest)
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/e2e/conftest.py AND TARGET keytrace)
  add_test(NAME e2e_under_wine
    COMMAND ${PYTEST} -p no:cacheprovider -ra ${PROJECT_SOURCE_DIR}/tests/e2e)
  set_tests_properties(e2e_under_wine PROPERTIES TIMEOUT 1200 RESOURCE_LOCK wine_input
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;VELMORA_BUILD=${PROJECT_BINARY_DIR}")
endif()
